// PLINK binary fileset reading: the .fam and .bim tables, memory-mapped access to the .bed
// genotype bytes (whole file or windows of sites), and the per-site decode + QC step.
//
// Layout of a fileset named by `prefix` (the three files are prefix + ".bed" / ".bim" / ".fam"):
//  * .fam: one line per sample; column 2 is the sample ID.
//  * .bim: one line per site; columns chrom, id, cM, pos, allele 1 (ref), allele 2 (alt).
//  * .bed: magic 0x6C 0x1B, mode 0x01 (SNP-major), then m rows of B = ceil(n / 4) bytes. Sample j
//    of a row sits in byte j / 4 at bits 2 (j mod 4) and up; codes 00 -> 0.0, 01 -> missing,
//    10 -> 1.0, 11 -> 2.0 (copies of allele 2).
//
// Text rules of both tables: UTF-8 lines ending at "\n" (one "\r" before it is dropped), columns
// split at runs of whitespace (ASCII and Unicode), a final line without "\n" counts, a trailing
// "\n" adds no empty line. Short lines (an empty one included) are errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gfcore/genotype.hpp"
#include "module/error.hpp"

namespace korvex {

// ---- text tables --------------------------------------------------------------------------------

// Sample IDs (column 2) of prefix + ".fam", in file order, read through a LineSource (plain text).
// Errors (OperationFailed): the system's text for open/read failures (no path), "file name
// contained an unexpected NUL byte", "invalid UTF-8 in line " + N (N counted from 1) for a line
// that is not UTF-8, "Malformed FAM line: " + line for a line with fewer than 2 columns.
Result<std::vector<std::string>> read_fam(const std::string& prefix);

// Sites of prefix + ".bim", in file order: (column 1, column 4 parsed as i32 or 0, column 5,
// column 6). Errors as read_fam, with "Malformed BIM line: " + line below 6 columns.
Result<std::vector<SiteInfo>> read_bim(const std::string& prefix);

// ---- decoding -----------------------------------------------------------------------------------

// What the site QC made of one packed row: whether the site is kept and, if so, the value each
// 2-bit code decodes to (orientation and fill folded in).
struct SitePlan {
  bool keep = false;
  bool flip = false;
  bool patch_missing = false;  // some calls are missing and decode to a fill value, not kMissing
  float values[4] = {0.0f, kMissing, 1.0f, 2.0f};  // value of each 2-bit code
};

// Runs the site QC on a packed row of n samples from per-byte count tables (no decoding).
// The decision equals apply_site_qc on the decoded row.
SitePlan plan_site(std::span<const std::uint8_t> row, std::size_t n, const QcOptions& qc);

// Decodes all n samples of a packed row through `plan` into out[0, n).
void decode_row(std::span<const std::uint8_t> row, std::size_t n, const SitePlan& plan, float* out);

// Decodes the samples at `samples` (indices < n, any order) into out[0, samples.size()).
void decode_row_gather(std::span<const std::uint8_t> row, const SitePlan& plan,
                       std::span<const std::size_t> samples, float* out);

// ---- window arithmetic --------------------------------------------------------------------------

// Sites per window: max(1, window_mb MiB / B), the byte count saturating at 2^64 - 1. B >= 1.
std::uint64_t window_sites(std::uint64_t window_mb, std::uint64_t bytes_per_site);

// One read-only mapping of the .bed: file offset `offset` (page aligned), `length` bytes, covering
// the complete rows of sites [first, first + count).
struct WindowPlan {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

// The window that starts at site `start` for a file of `file_length` bytes, `sites_per_window`
// sites and page size `page` (values below 1 mean 4096). Errors: "BED too small" for a file of
// 2 bytes or less, "window start SNP out of range" when `start` is not a complete row of the file.
Result<WindowPlan> plan_window(std::uint64_t start, std::uint64_t sites_per_window,
                               std::uint64_t bytes_per_site, std::uint64_t file_length,
                               std::int64_t page);

// True when the row of site i, bytes [3 + i B, 3 + (i + 1) B) of the file, lies inside a mapping
// of `length` bytes that starts at file offset `offset`.
bool row_in_mapping(std::uint64_t i, std::uint64_t bytes_per_site, std::uint64_t offset,
                    std::uint64_t length);

// ---- the fileset --------------------------------------------------------------------------------

class PlinkFileset {
 public:
  PlinkFileset(PlinkFileset&&) noexcept;
  PlinkFileset& operator=(PlinkFileset&&) noexcept;
  ~PlinkFileset();

  const std::string& prefix() const { return prefix_; }
  const std::vector<std::string>& sample_ids() const { return sample_ids_; }
  const std::vector<SiteInfo>& sites() const { return sites_; }
  std::size_t n_samples() const { return sample_ids_.size(); }
  std::size_t n_sites() const { return sites_.size(); }
  std::uint64_t bytes_per_site() const { return bytes_per_site_; }
  std::uint64_t file_length() const { return file_length_; }
  const QcOptions& qc() const { return qc_; }
  bool windowed() const { return window_ != nullptr; }
  std::uint64_t window_size_sites() const;  // W in windowed mode, 0 in whole-file mode
  std::size_t cursor() const { return cursor_; }

  // Sequential step: the next site kept by QC in file order (values over all samples), or none
  // when the cursor reached the end. Moves the cursor past every site examined. In windowed mode
  // a window that cannot be mapped is a Fatal error "failed to remap BED window: " + cause.
  Result<std::optional<SiteRow>> next_site();

  // Site `index` if QC keeps it; none when dropped, out of range or not inside the file. Leaves
  // the cursor alone and changes nothing, so worker threads may call it concurrently (whole-file
  // mode). In windowed mode it is a Fatal error.
  Result<std::optional<SiteRow>> site_at(std::size_t index) const;

  // Allocation-free forms of the two steps above, for chunk readers and matrix passes: the kept
  // site's values go straight into `out` (all n samples, or the samples listed in `samples`, in
  // that order) and its oriented SiteInfo into `*site` when `site` is not null.
  //
  // next_into returns the index of the site it decoded, or none at the end.
  Result<std::optional<std::size_t>> next_into(float* out, SiteInfo* site);
  Result<std::optional<std::size_t>> next_into(std::span<const std::size_t> samples, float* out,
                                               SiteInfo* site);
  // read_at returns whether site `index` was kept (and decoded). Thread-safe like site_at.
  Result<bool> read_at(std::size_t index, float* out, SiteInfo* site) const;
  Result<bool> read_at(std::size_t index, std::span<const std::size_t> samples, float* out,
                       SiteInfo* site) const;

  // The packed row of site `index` in the whole-file mapping; none when out of range, not inside
  // the file, or in windowed mode.
  std::optional<std::span<const std::uint8_t>> row(std::size_t index) const;

 private:
  struct Mapping;
  struct Window;
  friend Result<PlinkFileset> open_fileset(const std::string&, const QcOptions&);
  friend Result<PlinkFileset> open_fileset_windowed(const std::string&, const QcOptions&,
                                                    std::uint64_t);
  PlinkFileset();
  // Reads the .fam then the .bim of `prefix` into a fileset that has no .bed access yet.
  static Result<PlinkFileset> read_tables(const std::string& prefix, const QcOptions& qc);

  // The next row for sequential reading (whole-file or windowed), with its site index; none at the
  // end. Moves the cursor by one.
  Result<std::optional<std::pair<std::size_t, std::span<const std::uint8_t>>>> next_row();
  void release_behind(std::uint64_t offset);

  std::string prefix_;
  std::vector<std::string> sample_ids_;
  std::vector<SiteInfo> sites_;
  std::uint64_t bytes_per_site_ = 0;
  std::uint64_t file_length_ = 0;
  QcOptions qc_;
  std::size_t cursor_ = 0;
  std::unique_ptr<Mapping> whole_;   // whole-file mode
  std::unique_ptr<Window> window_;   // windowed mode
  std::uint64_t released_until_ = 0; // whole-file mode: pages before this offset were handed back
};

// Opens a fileset with the whole .bed mapped read-only (the descriptor is closed after mapping).
// Order: .fam, .bim, then the .bed ("BED too small" for 2 bytes or less, "Only SNP-major BED
// supported" for another magic or mode, "BED file is truncated: expected E bytes, found L" when it
// is shorter than 3 + m B bytes). All errors are OperationFailed.
Result<PlinkFileset> open_fileset(const std::string& prefix, const QcOptions& qc);

// Opens a fileset read through windows of window_mb MiB (at least one site each), keeping the .bed
// descriptor open. Errors, in order: "mmap_window_mb must be > 0" (no file touched), .fam and .bim
// errors, the system's text for the .bed, "unexpected end of file" below 3 bytes, the magic/mode
// and truncation errors of open_fileset, "mmap_window_mb requires at least one sample (the .fam
// file lists none)", and the first window's errors ("window start SNP out of range" when the file
// holds no site row).
Result<PlinkFileset> open_fileset_windowed(const std::string& prefix, const QcOptions& qc,
                                           std::uint64_t window_mb);

}  // namespace korvex
