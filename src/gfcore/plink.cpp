#include "gfcore/plink.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "gfcore/file_io.hpp"
#include "gfcore/line_source.hpp"

// The word-at-a-time code scans read packed bytes as little-endian 64-bit words.
static_assert(std::endian::native == std::endian::little);

namespace korvex {
namespace {

// ---- system helpers -----------------------------------------------------------------------------

std::int64_t page_size() {
  const long p = ::sysconf(_SC_PAGESIZE);
  return p < 1 ? 4096 : p;
}

std::string to_decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}

// ---- text lines ---------------------------------------------------------------------------------

// The next line of a .fam/.bim table without its line ending: the "\n" and one "\r" directly
// before it (a last line without "\n" keeps a final "\r"). A read failure (an I/O error, a line
// that is not valid UTF-8) fails the table's parse, so it is re-kinded OperationFailed.
Result<bool> next_table_line(LineSource& source, std::string_view& line) {
  auto more = source.next_line(line);
  if (!more) return std::unexpected(with_kind(more.error(), ErrorKind::OperationFailed));
  if (*more && !line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  return more;
}

// A guess at the number of lines of a table of `bytes` bytes, for reserving: one per `min_line`
// bytes, capped so that a huge file cannot reserve an absurd table up front.
std::size_t expected_lines(std::uint64_t bytes, std::uint64_t min_line) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes / min_line, 1u << 26));
}

// Byte length of the non-ASCII whitespace character at p (lead byte >= 0xC2), or 0. The text is
// valid UTF-8, so multi-byte sequences are complete.
std::size_t wide_whitespace_at(const unsigned char* p, const unsigned char* end) {
  const unsigned c = p[0];
  const std::size_t left = static_cast<std::size_t>(end - p);
  if (c == 0xC2 && left >= 2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  if (left < 3) return 0;
  if (c == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE2) {
    if (p[1] == 0x80) {
      // U+2000..U+200A, U+2028, U+2029, U+202F
      const unsigned t = p[2];
      return (t <= 0x8A || t == 0xA8 || t == 0xA9 || t == 0xAF) ? 3 : 0;
    }
    return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;  // U+205F
  }
  if (c == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

// Byte classes for column splitting: 1 = ASCII whitespace (space, \t, \n, \v, \f, \r), 2 = lead
// byte of a possible non-ASCII whitespace character, 0 = anything else.
constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> t{};
  t[' '] = 1;
  for (unsigned c = 0x09; c <= 0x0D; ++c) t[c] = 1;
  t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = 2;
  return t;
}
constexpr std::array<std::uint8_t, 256> kByteClass = make_byte_classes();

// Splits `line` at runs of whitespace (Unicode White_Space) into at most cols.size() columns;
// returns how many were found (capped at cols.size()).
std::size_t split_columns(std::string_view line, std::span<std::string_view> cols) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const auto* end = p + line.size();
  std::size_t count = 0;
  while (count < cols.size()) {
    // Skip a run of whitespace.
    while (p < end) {
      const unsigned cls = kByteClass[*p];
      if (cls == 1) {
        ++p;
      } else if (cls == 2) {
        const std::size_t w = wide_whitespace_at(p, end);
        if (w == 0) break;
        p += w;
      } else {
        break;
      }
    }
    if (p == end) break;
    const auto* start = p;
    while (p < end) {
      const unsigned cls = kByteClass[*p];
      if (cls == 0) {
        ++p;
      } else if (cls == 1 || wide_whitespace_at(p, end) != 0) {
        break;
      } else {
        ++p;
      }
    }
    cols[count++] = std::string_view(reinterpret_cast<const char*>(start),
                                     static_cast<std::size_t>(p - start));
  }
  return count;
}

// ---- decode tables ------------------------------------------------------------------------------

// Four decoded samples of one .bed byte. Slot k holds the sample in bits 2k, 2k + 1:
//   00 -> 0.0 (two copies of allele 1), 01 -> -9.0 (missing), 10 -> 1.0, 11 -> 2.0.
// The flipped table counts allele 1 instead: 00 -> 2.0, 01 -> -9.0, 10 -> 1.0, 11 -> 0.0.
struct alignas(16) Quad {
  float v[4];
};

constexpr std::array<Quad, 256> make_decode_table(bool flipped) {
  constexpr float plain[4] = {0.0f, kMissing, 1.0f, 2.0f};
  constexpr float flip[4] = {2.0f, kMissing, 1.0f, 0.0f};
  std::array<Quad, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned k = 0; k < 4; ++k) t[b].v[k] = (flipped ? flip : plain)[(b >> (2 * k)) & 3u];
  return t;
}

constexpr std::array<Quad, 256> kDecode = make_decode_table(false);
constexpr std::array<Quad, 256> kDecodeFlipped = make_decode_table(true);

// Per-byte QC counts: missing calls in the low 32 bits, sum of the called values in the high 32.
constexpr std::array<std::uint64_t, 256> make_count_table() {
  constexpr std::uint64_t missing[4] = {0, 1, 0, 0};
  constexpr std::uint64_t value[4] = {0, 0, 1, 2};
  std::array<std::uint64_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    std::uint64_t m = 0, s = 0;
    for (unsigned k = 0; k < 4; ++k) {
      m += missing[(b >> (2 * k)) & 3u];
      s += value[(b >> (2 * k)) & 3u];
    }
    t[b] = m | (s << 32);
  }
  return t;
}

constexpr std::array<std::uint64_t, 256> kCounts = make_count_table();

static_assert(kDecode[0b11'10'01'00].v[0] == 0.0f && kDecode[0b11'10'01'00].v[1] == kMissing &&
              kDecode[0b11'10'01'00].v[2] == 1.0f && kDecode[0b11'10'01'00].v[3] == 2.0f);
static_assert(kCounts[0b11'10'01'00] == (1u | (3ull << 32)));

}  // namespace

// ---- text tables --------------------------------------------------------------------------------

Result<std::vector<std::string>> read_fam(const std::string& prefix) {
  auto source = open_lines(prefix + ".fam");  // the extension is never "gz": plain text
  if (!source) return std::unexpected(source.error());
  std::vector<std::string> ids;
  std::string_view line;
  std::array<std::string_view, 2> cols;
  while (true) {
    auto more = next_table_line(*source, line);
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    if (split_columns(line, cols) < 2)
      return operation_failed("Malformed FAM line: " + std::string(line));
    ids.emplace_back(cols[1]);
  }
  return ids;
}

Result<std::vector<SiteInfo>> read_bim(const std::string& prefix) {
  auto source = open_lines(prefix + ".bim");  // the extension is never "gz": plain text
  if (!source) return std::unexpected(source.error());
  std::vector<SiteInfo> sites;
  // Typical .bim lines are 20-40 bytes; reserving avoids regrowing a table of ~100 bytes per site.
  if (auto bytes = source->file_bytes()) sites.reserve(expected_lines(*bytes, 20));
  std::string_view line;
  std::array<std::string_view, 6> cols;
  while (true) {
    auto more = next_table_line(*source, line);
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    if (split_columns(line, cols) < 6)
      return operation_failed("Malformed BIM line: " + std::string(line));
    SiteInfo& site = sites.emplace_back();
    site.chrom.assign(cols[0]);
    site.pos = parse_pos32(cols[3]);
    site.ref_allele.assign(cols[4]);
    site.alt_allele.assign(cols[5]);
  }
  return sites;
}

// ---- decoding -----------------------------------------------------------------------------------

namespace {

struct CallCounts {
  std::uint64_t missing = 0;
  std::uint64_t sum = 0;  // copies of allele 2 among the called samples
};

// Counts over whole bytes through the per-byte table.
CallCounts count_bytes_table(const std::uint8_t* bytes, std::size_t count) {
  CallCounts c;
  // Each block's packed total stays below 2^32 in both halves (4 missing / sum 8 per byte).
  constexpr std::size_t kBlock = std::size_t{1} << 28;
  for (std::size_t b0 = 0; b0 < count; b0 += kBlock) {
    const std::size_t b1 = std::min(count, b0 + kBlock);
    std::uint64_t a0 = 0, a1 = 0;
    std::size_t b = b0;
    for (; b + 2 <= b1; b += 2) {
      a0 += kCounts[bytes[b]];
      a1 += kCounts[bytes[b + 1]];
    }
    if (b < b1) a0 += kCounts[bytes[b]];
    c.missing += (a0 & 0xFFFFFFFFu) + (a1 & 0xFFFFFFFFu);
    c.sum += (a0 >> 32) + (a1 >> 32);
  }
  return c;
}

// The same counts, 32 samples per step with the popcount instruction. In a word x the low bit
// of each 2-bit code is in `lo`, the high bit in `hi` (both at even bit positions): a code is
// missing when lo & ~hi (01), and its value is hi + (hi & lo) (10 -> 1, 11 -> 2).
__attribute__((target("popcnt"))) CallCounts count_bytes_popcnt(const std::uint8_t* bytes,
                                                                 std::size_t count) {
  constexpr std::uint64_t kEven = 0x5555555555555555ull;
  std::uint64_t missing = 0, sum = 0;
  std::size_t b = 0;
  for (; b + 8 <= count; b += 8) {
    std::uint64_t x;
    std::memcpy(&x, bytes + b, 8);
    const std::uint64_t lo = x & kEven;
    const std::uint64_t hi = (x >> 1) & kEven;
    missing += static_cast<std::uint64_t>(__builtin_popcountll(lo & ~hi));
    sum += static_cast<std::uint64_t>(__builtin_popcountll(hi)) +
           static_cast<std::uint64_t>(__builtin_popcountll(hi & lo));
  }
  const CallCounts tail = count_bytes_table(bytes + b, count - b);
  return CallCounts{missing + tail.missing, sum + tail.sum};
}

const bool kHasPopcnt = [] {
  __builtin_cpu_init();  // may run before libgcc's own initialisation
  return __builtin_cpu_supports("popcnt") != 0;
}();

}  // namespace

SitePlan plan_site(std::span<const std::uint8_t> row, std::size_t n, const QcOptions& qc) {
  const std::size_t full = n / 4;
  const std::size_t rem = n % 4;
  const CallCounts counts =
      kHasPopcnt ? count_bytes_popcnt(row.data(), full) : count_bytes_table(row.data(), full);
  std::uint64_t missing = counts.missing, sum = counts.sum;
  if (rem != 0) {
    // Unused slots become code 00, which counts as neither missing nor a copy.
    const std::uint64_t c = kCounts[row[full] & ((1u << (2 * rem)) - 1u)];
    missing += c & 0xFFFFFFFFu;
    sum += c >> 32;
  }
  const QcDecision d = decide_site_qc(n - missing, static_cast<double>(sum), n, qc);
  SitePlan plan;
  plan.keep = d.keep;
  if (!d.keep) return plan;
  plan.flip = d.flip;
  plan.values[0] = d.flip ? 2.0f : 0.0f;
  plan.values[1] = d.fill;
  plan.values[2] = 1.0f;
  plan.values[3] = d.flip ? 0.0f : 2.0f;
  plan.patch_missing = missing != 0 && d.fill != kMissing;
  return plan;
}

namespace {

// Sets out[j] = fill for every missing sample j among the first 4 * count samples. Missing codes
// (01) are found 32 samples at a time: bit 2k of lo & ~hi marks sample k of the word.
void patch_missing(const std::uint8_t* bytes, std::size_t count, float fill, float* out) {
  constexpr std::uint64_t kEven = 0x5555555555555555ull;
  std::size_t b = 0;
  for (; b < count; b += 8) {
    std::uint64_t x = 0;
    std::memcpy(&x, bytes + b, std::min<std::size_t>(8, count - b));
    std::uint64_t missing = x & ~(x >> 1) & kEven;
    float* base = out + 4 * b;
    while (missing != 0) {
      base[__builtin_ctzll(missing) >> 1] = fill;
      missing &= missing - 1;
    }
  }
}

}  // namespace

void decode_row(std::span<const std::uint8_t> row, std::size_t n, const SitePlan& plan,
                float* out) {
  const std::size_t full = n / 4;
  const std::size_t rem = n % 4;
  const Quad* table = plan.flip ? kDecodeFlipped.data() : kDecode.data();
  const std::uint8_t* bytes = row.data();
  // Whole bytes: four values per table entry (missing decodes to kMissing here) ...
  for (std::size_t b = 0; b < full; ++b) std::memcpy(out + 4 * b, table[bytes[b]].v, 16);
  // ... then the few missing calls get the fill value when it is on.
  if (plan.patch_missing) patch_missing(bytes, full, plan.values[1], out);
  for (std::size_t k = 0; k < rem; ++k)
    out[4 * full + k] = plan.values[(bytes[full] >> (2 * k)) & 3u];
}

void decode_row_gather(std::span<const std::uint8_t> row, const SitePlan& plan,
                       std::span<const std::size_t> samples, float* out) {
  const std::uint8_t* bytes = row.data();
  const std::size_t count = samples.size();
  const std::size_t* idx = samples.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t j = idx[k];
    out[k] = plan.values[(bytes[j >> 2] >> ((j & 3u) << 1)) & 3u];
  }
}

// ---- window arithmetic --------------------------------------------------------------------------

std::uint64_t window_sites(std::uint64_t window_mb, std::uint64_t bytes_per_site) {
  constexpr std::uint64_t kMiB = 1048576;
  const std::uint64_t bytes = window_mb > std::numeric_limits<std::uint64_t>::max() / kMiB
                                  ? std::numeric_limits<std::uint64_t>::max()
                                  : window_mb * kMiB;
  return std::max<std::uint64_t>(1, bytes / bytes_per_site);
}

Result<WindowPlan> plan_window(std::uint64_t start, std::uint64_t sites_per_window,
                               std::uint64_t bytes_per_site, std::uint64_t file_length,
                               std::int64_t page) {
  if (file_length <= 2) return operation_failed("BED too small");
  const std::uint64_t present = (file_length - 3) / bytes_per_site;
  if (start >= present) return operation_failed("window start SNP out of range");
  const std::uint64_t p = page < 1 ? 4096 : static_cast<std::uint64_t>(page);
  WindowPlan w;
  w.first = start;
  w.count = std::min(sites_per_window, present - start);
  const std::uint64_t o = 3 + start * bytes_per_site;
  w.offset = o - o % p;
  w.length = std::min(file_length - w.offset, (o - w.offset) + bytes_per_site * w.count);
  return w;
}

bool row_in_mapping(std::uint64_t i, std::uint64_t bytes_per_site, std::uint64_t offset,
                    std::uint64_t length) {
  std::uint64_t o;
  if (__builtin_mul_overflow(i, bytes_per_site, &o) || __builtin_add_overflow(o, 3, &o))
    return false;
  if (o < offset) return false;
  std::uint64_t end;
  if (__builtin_add_overflow(o - offset, bytes_per_site, &end)) return false;
  return end <= length;
}

// ---- the fileset --------------------------------------------------------------------------------

// A read-only mapping of a byte range of a file.
struct PlinkFileset::Mapping {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  std::uint64_t offset = 0;  // file offset of data[0]

  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (data != nullptr) ::munmap(const_cast<std::uint8_t*>(data), length);
  }

  static Result<std::unique_ptr<Mapping>> map(int fd, std::uint64_t offset, std::uint64_t length) {
    if (length > std::numeric_limits<std::size_t>::max()) return os_failure(ENOMEM);
    void* addr = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd,
                        static_cast<off_t>(offset));
    if (addr == MAP_FAILED) return os_failure(errno);
    auto m = std::make_unique<Mapping>();
    m->data = static_cast<const std::uint8_t*>(addr);
    m->length = static_cast<std::size_t>(length);
    m->offset = offset;
    return m;
  }
};

// Windowed access: the open .bed and the mapping of the current window.
struct PlinkFileset::Window {
  FileDescriptor fd;
  std::uint64_t sites_per_window = 1;
  std::int64_t page = 4096;
  WindowPlan plan;
  std::unique_ptr<Mapping> mapping;

  // Maps the window that starts at `start`; the old mapping goes once the new one exists. A file
  // that shrank since it was opened is planned at its current length, so the window never covers
  // bytes past its end (touching those would kill the process).
  Status remap(std::uint64_t start, std::uint64_t bytes_per_site, std::uint64_t file_length) {
    auto now = file_size(fd.get());
    if (!now) return std::unexpected(now.error());
    auto next = plan_window(start, sites_per_window, bytes_per_site,
                            std::min(file_length, *now), page);
    if (!next) return std::unexpected(next.error());
    auto m = Mapping::map(fd.get(), next->offset, next->length);
    if (!m) return std::unexpected(m.error());
    plan = *next;
    mapping = std::move(*m);
    return {};
  }
};

PlinkFileset::PlinkFileset() = default;
PlinkFileset::PlinkFileset(PlinkFileset&&) noexcept = default;
PlinkFileset& PlinkFileset::operator=(PlinkFileset&&) noexcept = default;
PlinkFileset::~PlinkFileset() = default;

std::uint64_t PlinkFileset::window_size_sites() const {
  return window_ ? window_->sites_per_window : 0;
}

std::optional<std::span<const std::uint8_t>> PlinkFileset::row(std::size_t index) const {
  if (!whole_ || index >= sites_.size()) return std::nullopt;
  if (!row_in_mapping(index, bytes_per_site_, 0, whole_->length)) return std::nullopt;
  return std::span<const std::uint8_t>(whole_->data + 3 + index * bytes_per_site_,
                                       static_cast<std::size_t>(bytes_per_site_));
}

// Sequential reading hands the pages it has passed back to the kernel (they are re-read from the
// page cache if anyone touches them again), so a pass over a large file keeps a small footprint.
void PlinkFileset::release_behind(std::uint64_t offset) {
  constexpr std::uint64_t kStep = 16u << 20;
  if (offset < released_until_ + kStep) return;
  const auto page = static_cast<std::uint64_t>(page_size());
  const std::uint64_t until = offset - offset % page;
  if (until <= released_until_) return;
  ::madvise(const_cast<std::uint8_t*>(whole_->data) + released_until_, until - released_until_,
            MADV_DONTNEED);
  released_until_ = until;
}

Result<std::optional<std::pair<std::size_t, std::span<const std::uint8_t>>>>
PlinkFileset::next_row() {
  using Found = std::optional<std::pair<std::size_t, std::span<const std::uint8_t>>>;
  if (cursor_ >= sites_.size()) return Found{};
  const std::size_t i = cursor_++;
  const auto bytes = static_cast<std::size_t>(bytes_per_site_);
  if (whole_) {
    if (!row_in_mapping(i, bytes_per_site_, 0, whole_->length)) return Found{};
    const std::uint64_t start = 3 + i * bytes_per_site_;
    release_behind(start);
    return Found{std::in_place, i, std::span<const std::uint8_t>(whole_->data + start, bytes)};
  }
  Window& w = *window_;
  if (i < w.plan.first || i - w.plan.first >= w.plan.count) {
    Status s = w.remap(i, bytes_per_site_, file_length_);
    if (!s) return fatal("failed to remap BED window: " + s.error().message);
    if (i < w.plan.first || i - w.plan.first >= w.plan.count) return Found{};
  }
  if (!row_in_mapping(i, bytes_per_site_, w.plan.offset, w.mapping->length)) return Found{};
  const std::uint64_t start = 3 + i * bytes_per_site_ - w.plan.offset;
  return Found{std::in_place, i, std::span<const std::uint8_t>(w.mapping->data + start, bytes)};
}

Result<std::optional<SiteRow>> PlinkFileset::next_site() {
  const std::size_t n = sample_ids_.size();
  while (true) {
    auto r = next_row();
    if (!r) return std::unexpected(r.error());
    if (!*r) return std::optional<SiteRow>{};
    const auto& [i, bytes] = **r;
    const SitePlan plan = plan_site(bytes, n, qc_);
    if (!plan.keep) continue;
    std::optional<SiteRow> out(std::in_place);
    out->values.resize(n);
    decode_row(bytes, n, plan, out->values.data());
    out->site = sites_[i];
    if (plan.flip) std::swap(out->site.ref_allele, out->site.alt_allele);
    return out;
  }
}

Result<std::optional<SiteRow>> PlinkFileset::site_at(std::size_t index) const {
  if (window_) return fatal("windowed mmap does not support random SNP access");
  const std::size_t n = sample_ids_.size();
  const auto bytes = row(index);
  if (!bytes) return std::optional<SiteRow>{};
  const SitePlan plan = plan_site(*bytes, n, qc_);
  if (!plan.keep) return std::optional<SiteRow>{};
  std::optional<SiteRow> out(std::in_place);
  out->values.resize(n);
  decode_row(*bytes, n, plan, out->values.data());
  out->site = sites_[index];
  if (plan.flip) std::swap(out->site.ref_allele, out->site.alt_allele);
  return out;
}

namespace {

void emit_site(std::span<const std::uint8_t> bytes, std::size_t n, const SitePlan& plan,
               const std::span<const std::size_t>* samples, float* out, const SiteInfo& info,
               SiteInfo* site) {
  if (samples != nullptr)
    decode_row_gather(bytes, plan, *samples, out);
  else
    decode_row(bytes, n, plan, out);
  if (site != nullptr) {
    *site = info;
    if (plan.flip) std::swap(site->ref_allele, site->alt_allele);
  }
}

}  // namespace

Result<std::optional<std::size_t>> PlinkFileset::next_into(float* out, SiteInfo* site) {
  const std::size_t n = sample_ids_.size();
  while (true) {
    auto r = next_row();
    if (!r) return std::unexpected(r.error());
    if (!*r) return std::optional<std::size_t>{};
    const auto& [i, bytes] = **r;
    const SitePlan plan = plan_site(bytes, n, qc_);
    if (!plan.keep) continue;
    emit_site(bytes, n, plan, nullptr, out, sites_[i], site);
    return std::optional<std::size_t>{i};
  }
}

Result<std::optional<std::size_t>> PlinkFileset::next_into(std::span<const std::size_t> samples,
                                                           float* out, SiteInfo* site) {
  const std::size_t n = sample_ids_.size();
  while (true) {
    auto r = next_row();
    if (!r) return std::unexpected(r.error());
    if (!*r) return std::optional<std::size_t>{};
    const auto& [i, bytes] = **r;
    const SitePlan plan = plan_site(bytes, n, qc_);
    if (!plan.keep) continue;
    emit_site(bytes, n, plan, &samples, out, sites_[i], site);
    return std::optional<std::size_t>{i};
  }
}

Result<bool> PlinkFileset::read_at(std::size_t index, float* out, SiteInfo* site) const {
  if (window_) return fatal("windowed mmap does not support random SNP access");
  const std::size_t n = sample_ids_.size();
  const auto bytes = row(index);
  if (!bytes) return false;
  const SitePlan plan = plan_site(*bytes, n, qc_);
  if (!plan.keep) return false;
  emit_site(*bytes, n, plan, nullptr, out, sites_[index], site);
  return true;
}

Result<bool> PlinkFileset::read_at(std::size_t index, std::span<const std::size_t> samples,
                                   float* out, SiteInfo* site) const {
  if (window_) return fatal("windowed mmap does not support random SNP access");
  const std::size_t n = sample_ids_.size();
  const auto bytes = row(index);
  if (!bytes) return false;
  const SitePlan plan = plan_site(*bytes, n, qc_);
  if (!plan.keep) return false;
  emit_site(*bytes, n, plan, &samples, out, sites_[index], site);
  return true;
}

namespace {

bool bed_header_ok(const std::uint8_t* h) { return h[0] == 0x6C && h[1] == 0x1B && h[2] == 0x01; }

// A .bed must hold every row the .bim lists; extra bytes after them are allowed.
Status check_bed_length(std::uint64_t length, std::size_t n_sites, std::uint64_t bytes_per_site) {
  const unsigned __int128 expected =
      3 + static_cast<unsigned __int128>(n_sites) * static_cast<unsigned __int128>(bytes_per_site);
  if (static_cast<unsigned __int128>(length) < expected)
    return operation_failed("BED file is truncated: expected " + to_decimal(expected) +
                            " bytes, found " + std::to_string(length));
  return {};
}

}  // namespace

Result<PlinkFileset> PlinkFileset::read_tables(const std::string& prefix, const QcOptions& qc) {
  auto fam = read_fam(prefix);
  if (!fam) return std::unexpected(fam.error());
  auto bim = read_bim(prefix);
  if (!bim) return std::unexpected(bim.error());

  PlinkFileset fs;
  fs.prefix_ = prefix;
  fs.sample_ids_ = std::move(*fam);
  fs.sites_ = std::move(*bim);
  fs.bytes_per_site_ = (static_cast<std::uint64_t>(fs.sample_ids_.size()) + 3) / 4;
  fs.qc_ = qc;
  return fs;
}

Result<PlinkFileset> open_fileset(const std::string& prefix, const QcOptions& qc) {
  auto tables = PlinkFileset::read_tables(prefix, qc);
  if (!tables) return std::unexpected(tables.error());
  PlinkFileset fs = std::move(*tables);

  {
    auto fd = open_read(prefix + ".bed");
    if (!fd) return std::unexpected(fd.error());
    auto length = file_size(fd->get());
    if (!length) return std::unexpected(length.error());
    fs.file_length_ = *length;
    // A file of 2 bytes or less cannot hold the header (and an empty file cannot be mapped).
    if (fs.file_length_ <= 2) return operation_failed("BED too small");
    auto m = PlinkFileset::Mapping::map(fd->get(), 0, fs.file_length_);
    if (!m) return std::unexpected(m.error());
    fs.whole_ = std::move(*m);
  }  // the descriptor closes here; the mapping stays valid

  if (!bed_header_ok(fs.whole_->data)) return operation_failed("Only SNP-major BED supported");
  if (Status s = check_bed_length(fs.file_length_, fs.sites_.size(), fs.bytes_per_site_); !s)
    return std::unexpected(s.error());
  return fs;
}

Result<PlinkFileset> open_fileset_windowed(const std::string& prefix, const QcOptions& qc,
                                           std::uint64_t window_mb) {
  if (window_mb == 0) return operation_failed("mmap_window_mb must be > 0");
  auto tables = PlinkFileset::read_tables(prefix, qc);
  if (!tables) return std::unexpected(tables.error());
  PlinkFileset fs = std::move(*tables);

  auto window = std::make_unique<PlinkFileset::Window>();
  {
    auto fd = open_read(prefix + ".bed");
    if (!fd) return std::unexpected(fd.error());
    window->fd = std::move(*fd);
  }
  auto length = file_size(window->fd.get());
  if (!length) return std::unexpected(length.error());
  fs.file_length_ = *length;

  std::uint8_t header[3];
  std::size_t got = 0;
  while (got < sizeof header) {
    const ssize_t r = read_some(window->fd.get(), reinterpret_cast<char*>(header) + got,
                                sizeof header - got);
    if (r < 0) return os_failure(errno);
    if (r == 0) return operation_failed("unexpected end of file");
    got += static_cast<std::size_t>(r);
  }
  if (!bed_header_ok(header)) return operation_failed("Only SNP-major BED supported");
  if (Status s = check_bed_length(fs.file_length_, fs.sites_.size(), fs.bytes_per_site_); !s)
    return std::unexpected(s.error());
  // Windows are counted in whole site rows, which have no bytes without samples.
  if (fs.sample_ids_.empty())
    return operation_failed(
        "mmap_window_mb requires at least one sample (the .fam file lists none)");

  window->sites_per_window = window_sites(window_mb, fs.bytes_per_site_);
  window->page = page_size();
  if (Status s = window->remap(0, fs.bytes_per_site_, fs.file_length_); !s)
    return std::unexpected(s.error());
  fs.window_ = std::move(window);
  return fs;
}

}  // namespace korvex
