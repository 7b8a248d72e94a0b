// VCF reading: the header and data-line rules shared by every VCF consumer, and VcfStream, the
// QC'd per-site reader behind VcfChunkReader and the GRM PCA.
//
// The subset of VCF understood here: UTF-8 lines; everything before the first line that starts
// with "#CHROM" is skipped; the header's columns 10 onward are the sample IDs; data lines are
// tab-separated with CHROM, POS, REF, ALT in columns 1, 2, 4, 5, FORMAT in column 9 (it must hold
// the key "GT") and one column per sample after it, whose first ":" subfield is read as the GT.
// Malformed data lines are skipped silently; a line with a different number of sample columns
// than the header has is an error (it cannot be placed).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gfcore/genotype.hpp"
#include "gfcore/line_source.hpp"
#include "module/error.hpp"

namespace korvex {

// ---- line rules ---------------------------------------------------------------------------------

// True for the characters removed from a line's end: "\n", "\r", tab, space, "\v", "\f".
constexpr bool is_line_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The line without its trailing whitespace (its terminator included).
std::string_view trim_line_end(std::string_view line);

// True when the line is empty or holds whitespace only.
bool is_blank_line(std::string_view line);

// True when the line is the header: at least 6 bytes starting with "#CHROM".
inline bool is_header_line(std::string_view line) { return line.starts_with("#CHROM"); }

// True for a line that counts as a data line (count_vcf_snps): not "#" first, not blank.
inline bool is_data_line(std::string_view line) {
  return !line.empty() && line.front() != '#' && !is_blank_line(line);
}

// The GT table: "0/0", "0|0" give 0; "0/1", "1/0", "0|1", "1|0" give 1; "1/1", "1|1" give 2;
// any other text (a missing call, a haploid call, allele indices above 1, ...) gives kMissing.
float gt_value(std::string_view gt);

// Reads lines up to and including the header and returns its sample IDs (columns 10 onward of the
// header with trailing whitespace removed, split at every tab; empty IDs kept). Errors
// (OperationFailed): "No #CHROM header found in VCF", "#CHROM header too short", or the line
// source's read failure text.
Result<std::vector<std::string>> read_vcf_header(LineSource& source);

// The columns of a data line that the readers use. Views into the line.
struct VcfRecordView {
  std::string_view chrom;
  std::string_view pos;  // text; parse with parse_pos32
  std::string_view ref;
  std::string_view alt;
  std::string_view samples;  // columns 10 onward, tab-separated (never empty: at least one column)
};

// Splits a data line. Returns false for a line that the readers skip silently: "#" first, blank,
// 9 or fewer tab-separated columns (after trailing whitespace is removed), or a FORMAT column
// without a "GT" piece among its ":"-separated keys.
bool split_vcf_record(std::string_view line, VcfRecordView& record);

// Decodes the GT of every sample column of `samples` (as in VcfRecordView) through the GT table,
// writing the first out.size() values to `out`. Returns the number of sample columns, which may
// differ from out.size(); values beyond out.size() are not written.
std::size_t decode_gt_row(std::string_view samples, std::span<float> out);

// "VCF line at {chrom}:{pos} has {k} sample columns, header has {n}".
std::string sample_count_mismatch(const VcfRecordView& record, std::size_t columns,
                                  std::size_t header_samples);

// ---- VcfStream ----------------------------------------------------------------------------------

// An opened VCF input with its sample IDs and QC options, positioned after the header line.
// Moves forward only.
class VcfStream {
 public:
  const std::vector<std::string>& sample_ids() const { return samples_; }
  std::size_t n_samples() const { return samples_.size(); }
  bool finished() const { return finished_; }

  // Reads up to the next site kept by QC: its values go to `values` (exactly n_samples() long;
  // the space is also used for dropped sites) and its SiteInfo, after QC orientation, to `site`.
  // Returns true for a site, false at the end of the input. Errors:
  //  * a read failure of the line source (IoFailure, the failure's own text). Sticky: every later
  //    call returns the same error, since nothing after it can be trusted;
  //  * a data line whose number of sample columns differs from the header's sample count
  //    (OperationFailed, sample_count_mismatch). Returned once; the next call reads on after that
  //    line. The check comes before QC: statistics over a misaligned row mean nothing, and a
  //    damaged line must not pass or fail with the thresholds.
  Result<bool> next_site(std::span<float> values, SiteInfo& site);

  // The same into a SiteRow (its values are resized to n_samples()).
  Result<bool> next_site(SiteRow& row);

 private:
  friend Result<VcfStream> open_vcf(const std::string& path, const QcOptions& qc);
  VcfStream(LineSource source, std::vector<std::string> samples, const QcOptions& qc)
      : source_(std::move(source)), samples_(std::move(samples)), qc_(qc) {}

  LineSource source_;
  std::vector<std::string> samples_;
  QcOptions qc_;
  bool finished_ = false;
  std::optional<ModuleError> error_;
};

// Opens a VCF file (plain or gzip by its name, see open_lines) and reads its header. Errors
// (OperationFailed): the operating system's text when the file cannot be opened, the read failure
// text when it cannot be read up to the header, "No #CHROM header found in VCF",
// "#CHROM header too short".
Result<VcfStream> open_vcf(const std::string& path, const QcOptions& qc);

// The number of data lines of a file (lines not "#" first and not blank), without looking at the
// header or columns. Errors: the open failure (OperationFailed) or a read failure (IoFailure).
Result<std::uint64_t> count_vcf_data_lines(const std::string& path);

}  // namespace korvex
