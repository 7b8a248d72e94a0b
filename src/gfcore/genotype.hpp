// Genotype model shared by every reader and writer, and the one site QC rule.
//
// A genotype value counts copies of the site's alt_allele: 0, 1, 2, or -9 for a missing call.
// A value is missing exactly when it is negative.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// One variant site. No identifier and no genetic distance are kept.
struct SiteInfo {
  std::string chrom;       // as written in the input
  std::int32_t pos = 0;    // 0 when the input's text does not parse as a signed 32-bit integer
  std::string ref_allele;  // the allele counted as 0
  std::string alt_allele;  // the allele whose copies are counted (VCF: ALT verbatim)
};

// Per-reader filter settings. Thresholds are held as 32-bit floats (narrowed from the caller's
// double) and widened back to double for every comparison.
struct QcOptions {
  float maf_threshold = 0.0f;
  float max_missing_rate = 1.0f;
  bool fill_missing = true;
};

// One site from a reader's per-site step: values over all samples of the input, after QC.
struct SiteRow {
  std::vector<float> values;
  SiteInfo site;
};

inline constexpr float kMissing = -9.0f;

// What the QC decided for a site, from its call counts alone.
struct QcDecision {
  bool keep = false;
  bool flip = false;    // values become 2 - v and the alleles are swapped
  float fill = kMissing;  // value for missing calls of a kept site (kMissing when fill is off)
};

// Decides a site from its number of non-missing calls `called`, the sum of those calls `sum`
// (before any flip) and the total number of samples `n` (>= 1).
QcDecision decide_site_qc(std::uint64_t called, double sum, std::uint64_t n, const QcOptions& qc);

// Applies the site QC to one decoded site in place: returns true to keep it. On keep, `values` and
// `site` may have been flipped to the minor allele and missing values filled.
bool apply_site_qc(std::span<float> values, SiteInfo& site, const QcOptions& qc);

// Parses a signed 32-bit decimal integer with an optional leading '+' or '-'. Anything else,
// including overflow and an empty text, gives 0.
std::int32_t parse_pos32(std::string_view text);

}  // namespace korvex
