#include "gfcore/vcf.hpp"

#include <emmintrin.h>

#include <bit>
#include <cstring>
#include <utility>

namespace korvex {
namespace {

// One tab-separated column ends at the next tab or at `end`.
inline const char* find_tab(const char* p, const char* end) {
  const void* tab = std::memchr(p, '\t', static_cast<std::size_t>(end - p));
  return tab ? static_cast<const char*>(tab) : end;
}

// True when the three bytes at p are one of the GT table's texts: an allele 0 or 1, a "/" or "|",
// an allele 0 or 1. Every text of the table has this shape, and every such text is in the table.
inline bool is_gt_pair(const char* p) {
  return (p[0] == '0' || p[0] == '1') && (p[1] == '/' || p[1] == '|') &&
         (p[2] == '0' || p[2] == '1');
}

// Per-row statistics gathered while decoding, for the site QC.
struct RowStats {
  std::size_t columns = 0;
  std::uint64_t called = 0;  // non-missing calls
  std::uint64_t sum = 0;     // sum of the non-missing calls (copies of ALT)
};

// Walks the sample columns once. The GT is the text before the first ":" of a column; it has a
// value only when it is exactly one of the table's three-byte texts, so the first three bytes and
// the byte after them decide it, and only columns with more subfields need a search for their
// end.
RowStats decode_row(std::string_view samples, float* out, std::size_t capacity) {
  static_assert(std::endian::native == std::endian::little);
  // The common columns, a bare GT followed by a tab ("0/1\t", "1|0\t", "./.\t"), are recognised
  // from one 32-bit load: for a call, bytes 0 and 2 are '0' or '1' (0x30 or 0x31, equal once bit 0
  // is cleared), byte 1 is '/' or '|' and byte 3 a tab. No branch depends on which call it is, so
  // random genotypes do not mispredict.
  constexpr std::uint32_t kKeep = 0xFFFEFFFEu;
  constexpr std::uint32_t kUnphased = 0x09302F30u;  // "0/0\t" with the allele bits cleared
  constexpr std::uint32_t kPhased = 0x09307C30u;    // "0|0\t"
  constexpr std::uint32_t kDotUnphased = 0x092E2F2Eu;  // "./.\t"
  constexpr std::uint32_t kDotPhased = 0x092E7C2Eu;    // ".|.\t"
  static constexpr float kValue[3] = {0.0f, 1.0f, 2.0f};
  // Counters live in locals (not in the returned struct) so that they stay in registers.
  std::size_t columns = 0;
  std::uint64_t called = 0;
  std::uint64_t sum = 0;
  const char* p = samples.data();
  const char* const end = p + samples.size();
  const __m128i keep4 = _mm_set1_epi32(static_cast<int>(kKeep));
  const __m128i unphased4 = _mm_set1_epi32(static_cast<int>(kUnphased));
  const __m128i phased4 = _mm_set1_epi32(static_cast<int>(kPhased));
  const __m128i one4 = _mm_set1_epi32(1);
  __m128i sum4 = _mm_setzero_si128();
  for (;;) {
    // Four common calls at a time (16 bytes; SSE2 is part of x86-64): every lane must be a call
    // followed by a tab, otherwise the columns go one by one below.
    while (end - p > 16 && columns + 4 <= capacity) {
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i t = _mm_and_si128(w, keep4);
      const __m128i ok = _mm_or_si128(_mm_cmpeq_epi32(t, unphased4), _mm_cmpeq_epi32(t, phased4));
      if (_mm_movemask_epi8(ok) != 0xFFFF) break;
      const __m128i code =
          _mm_add_epi32(_mm_and_si128(w, one4), _mm_and_si128(_mm_srli_epi32(w, 16), one4));
      _mm_storeu_ps(out + columns, _mm_cvtepi32_ps(code));
      sum4 = _mm_add_epi32(sum4, code);
      columns += 4;
      called += 4;
      p += 16;
    }
    while (end - p > 4 && columns < capacity) {
      std::uint32_t w;
      std::memcpy(&w, p, 4);
      const std::uint32_t t = w & kKeep;
      if (t == kUnphased || t == kPhased) {
        const std::uint32_t code = (w & 1u) + ((w >> 16) & 1u);
        out[columns++] = kValue[code];
        ++called;
        sum += code;
      } else if (w == kDotUnphased || w == kDotPhased) {
        out[columns++] = kMissing;
      } else {
        break;
      }
      p += 4;
    }
    // Any other column, the last one, or a column beyond the room in `out`.
    unsigned code = 0;
    bool is_call = false;
    const char* field_end;
    if (end - p >= 3 && is_gt_pair(p)) {
      const char* q = p + 3;
      if (q == end || *q == '\t') {
        is_call = true;
        field_end = q;
      } else if (*q == ':') {
        is_call = true;
        field_end = find_tab(q + 1, end);
      } else {
        field_end = find_tab(q, end);  // a longer first subfield such as 0/0/1
      }
      code = static_cast<unsigned>(p[0] - '0') + static_cast<unsigned>(p[2] - '0');
    } else {
      field_end = find_tab(p, end);
    }
    if (columns < capacity) out[columns] = is_call ? kValue[code] : kMissing;
    ++columns;
    if (is_call) {
      ++called;
      sum += code;
    }
    if (field_end == end) break;
    p = field_end + 1;
  }
  // Each lane of sum4 holds at most 2 per four columns, far below 2^31 for any real line.
  alignas(16) std::int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum4);
  sum += static_cast<std::uint64_t>(lanes[0]) + static_cast<std::uint64_t>(lanes[1]) +
         static_cast<std::uint64_t>(lanes[2]) + static_cast<std::uint64_t>(lanes[3]);
  return RowStats{columns, called, sum};
}

}  // namespace

std::string_view trim_line_end(std::string_view line) {
  std::size_t n = line.size();
  while (n > 0 && is_line_space(line[n - 1])) --n;
  return line.substr(0, n);
}

bool is_blank_line(std::string_view line) {
  for (char c : line)
    if (!is_line_space(c)) return false;
  return true;
}

float gt_value(std::string_view gt) {
  if (gt.size() != 3 || !is_gt_pair(gt.data())) return kMissing;
  return static_cast<float>((gt[0] - '0') + (gt[2] - '0'));
}

Result<std::vector<std::string>> read_vcf_header(LineSource& source) {
  std::string_view line;
  for (;;) {
    auto got = source.next_line(line);
    if (!got) return std::unexpected(with_kind(got.error(), ErrorKind::OperationFailed));
    if (!*got) return operation_failed("No #CHROM header found in VCF");
    if (is_header_line(line)) break;
  }
  const std::string_view header = trim_line_end(line);
  std::vector<std::string> samples;
  std::size_t column = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = header.find('\t', start);
    const std::size_t stop = tab == std::string_view::npos ? header.size() : tab;
    ++column;
    if (column >= 10) samples.emplace_back(header.substr(start, stop - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (column <= 9) return operation_failed("#CHROM header too short");
  return samples;
}

bool split_vcf_record(std::string_view line, VcfRecordView& record) {
  if (line.empty() || line.front() == '#') return false;
  const std::string_view text = trim_line_end(line);
  if (text.empty()) return false;  // blank: whitespace only
  const char* p = text.data();
  const char* const end = p + text.size();
  // Columns 1 to 9 each end at a tab; the tab after FORMAT starts the samples.
  std::string_view cols[9];
  for (int c = 0; c < 9; ++c) {
    const char* tab = find_tab(p, end);
    if (tab == end) return false;  // 9 or fewer columns
    cols[c] = std::string_view(p, static_cast<std::size_t>(tab - p));
    p = tab + 1;
  }
  // FORMAT must hold the key "GT" (usually first).
  const std::string_view format = cols[8];
  bool has_gt = false;
  for (std::size_t start = 0;;) {
    const std::size_t colon = format.find(':', start);
    const std::size_t stop = colon == std::string_view::npos ? format.size() : colon;
    if (format.substr(start, stop - start) == "GT") {
      has_gt = true;
      break;
    }
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (!has_gt) return false;
  record.chrom = cols[0];
  record.pos = cols[1];
  record.ref = cols[3];
  record.alt = cols[4];
  record.samples = std::string_view(p, static_cast<std::size_t>(end - p));
  return true;
}

std::size_t decode_gt_row(std::string_view samples, std::span<float> out) {
  return decode_row(samples, out.data(), out.size()).columns;
}

std::string sample_count_mismatch(const VcfRecordView& record, std::size_t columns,
                                  std::size_t header_samples) {
  std::string msg = "VCF line at ";
  msg.append(record.chrom);
  msg += ':';
  msg.append(record.pos);
  msg += " has " + std::to_string(columns) + " sample columns, header has " +
         std::to_string(header_samples);
  return msg;
}

Result<VcfStream> open_vcf(const std::string& path, const QcOptions& qc) {
  auto source = open_lines(path);
  if (!source) return std::unexpected(source.error());
  auto samples = read_vcf_header(*source);
  if (!samples) return std::unexpected(samples.error());
  return VcfStream(std::move(*source), std::move(*samples), qc);
}

Result<bool> VcfStream::next_site(std::span<float> values, SiteInfo& site) {
  if (error_) return std::unexpected(*error_);
  if (finished_) return false;
  const std::size_t n = samples_.size();
  if (values.size() != n) {
    return fatal("VcfStream::next_site: row of " + std::to_string(values.size()) +
                 " values for " + std::to_string(n) + " samples");
  }
  std::string_view line;
  VcfRecordView record;
  for (;;) {
    auto got = source_.next_line(line);
    if (!got) {
      error_ = got.error();
      return std::unexpected(*error_);
    }
    if (!*got) {
      finished_ = true;
      return false;
    }
    if (!split_vcf_record(line, record)) continue;
    const RowStats st = decode_row(record.samples, values.data(), n);
    if (st.columns != n) {
      // Reported once; the stream then continues after the bad line.
      return std::unexpected(
          ModuleError{ErrorKind::OperationFailed, sample_count_mismatch(record, st.columns, n)});
    }
    // The site QC from the counts gathered while decoding (the same decision apply_site_qc takes
    // from the values: the calls are whole numbers, so the sum is exact either way).
    const QcDecision d = decide_site_qc(st.called, static_cast<double>(st.sum), n, qc_);
    if (!d.keep) continue;
    site.chrom.assign(record.chrom);
    site.pos = parse_pos32(record.pos);
    site.ref_allele.assign(record.ref);
    site.alt_allele.assign(record.alt);
    const bool fill = qc_.fill_missing && st.called < n;
    if (d.flip) {
      std::swap(site.ref_allele, site.alt_allele);
      const float f = fill ? d.fill : kMissing;
      for (float& v : values) v = v >= 0.0f ? 2.0f - v : f;
    } else if (fill) {
      // Missing values are exactly the negative ones: select by the sign bit, which the compiler
      // vectorises (a conditional assignment would stay a branchy scalar loop).
      const auto fill_bits = std::bit_cast<std::uint32_t>(d.fill);
      for (float& v : values) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
        v = std::bit_cast<float>((bits & ~negative) | (fill_bits & negative));
      }
    }
    return true;
  }
}

Result<bool> VcfStream::next_site(SiteRow& row) {
  row.values.resize(samples_.size());
  return next_site(std::span<float>(row.values), row.site);
}

Result<std::uint64_t> count_vcf_data_lines(const std::string& path) {
  auto source = open_lines(path);
  if (!source) return std::unexpected(source.error());
  std::uint64_t count = 0;
  std::string_view line;
  for (;;) {
    auto got = source->next_line(line);
    if (!got) return std::unexpected(got.error());
    if (!*got) return count;
    if (is_data_line(line)) ++count;
  }
}

}  // namespace korvex
