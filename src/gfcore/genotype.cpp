#include "genotype.hpp"

#include <utility>

namespace korvex {

QcDecision decide_site_qc(std::uint64_t called, double sum, std::uint64_t n, const QcOptions& qc) {
  QcDecision d;
  const double c = static_cast<double>(called);
  const double miss_rate = 1.0 - c / static_cast<double>(n);
  // NaN thresholds make these comparisons false, which disables the test.
  if (miss_rate > static_cast<double>(qc.max_missing_rate)) return d;
  if (called == 0) {
    // Kept unless the frequency filter is active (a NaN threshold disables it, as below).
    d.keep = !(static_cast<double>(qc.maf_threshold) > 0.0);
    d.fill = qc.fill_missing ? 0.0f : kMissing;
    return d;
  }
  double s = sum;
  double p = s / (2.0 * c);
  if (p > 0.5) {
    d.flip = true;
    s = 2.0 * c - s;
    p = s / (2.0 * c);
  }
  const double maf = p < 1.0 - p ? p : 1.0 - p;
  if (maf < static_cast<double>(qc.maf_threshold)) return d;  // equality keeps
  d.keep = true;
  d.fill = qc.fill_missing ? static_cast<float>(s / c) : kMissing;
  return d;
}

bool apply_site_qc(std::span<float> values, SiteInfo& site, const QcOptions& qc) {
  std::uint64_t called = 0;
  double sum = 0.0;
  for (float v : values) {
    if (v >= 0.0f) {
      ++called;
      sum += static_cast<double>(v);
    }
  }
  const QcDecision d = decide_site_qc(called, sum, values.size(), qc);
  if (!d.keep) return false;
  if (d.flip) {
    for (float& v : values)
      if (v >= 0.0f) v = 2.0f - v;
    std::swap(site.ref_allele, site.alt_allele);
  }
  if (qc.fill_missing && called < values.size()) {
    for (float& v : values)
      if (v < 0.0f) v = d.fill;
  }
  return true;
}

std::int32_t parse_pos32(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return 0;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch < '0' || ch > '9') return 0;
    value = value * 10 + (ch - '0');
    if (value > 2147483648LL) return 0;
  }
  if (negative) value = -value;
  if (value > 2147483647LL || value < -2147483648LL) return 0;
  return static_cast<std::int32_t>(value);
}

}  // namespace korvex
