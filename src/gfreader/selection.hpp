// Subsets of a PLINK fileset's sites and samples, resolved once from the caller's selection
// arguments against the .bim sites and .fam sample IDs. Selections never look at genotypes, so
// they are independent of the site QC.
//
// Errors are OperationFailed values with fixed texts; the caller decides how to raise them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gfcore/genotype.hpp"
#include "module/error.hpp"

namespace korvex {

// All sites (no SNP argument given), or an explicit list of distinct site indices < m, read in
// the list's order. A list may be empty (only a bim_range can produce that).
struct SnpSelection {
  bool all = true;
  std::vector<std::size_t> indices;  // used when !all
};

// Distinct sample indices < n in selection order, with the matching IDs. `identity` is true when
// the indices are exactly 0, 1, ..., n - 1 in order (then rows are taken whole).
struct SampleSelection {
  std::vector<std::size_t> indices;
  std::vector<std::string> ids;
  bool identity = true;
};

// (chrom, start, end): sites on chrom (byte-for-byte) with start <= pos <= end.
struct BimRange {
  std::string chrom;
  std::int32_t start = 0;
  std::int32_t end = 0;
};

// At most one of the three may be given. Messages: "Provide only one of snp_range, snp_indices,
// or bim_range"; "invalid snp_range: (S, E)" unless S < E <= m; "bim_range start > end";
// "snp_indices is empty"; "snp index out of range: I"; "duplicate snp index: I" (the first bad
// element decides).
Result<SnpSelection> resolve_snp_selection(
    std::span<const SiteInfo> sites,
    const std::optional<std::pair<std::uint64_t, std::uint64_t>>& snp_range,
    const std::optional<std::vector<std::uint64_t>>& snp_indices,
    const std::optional<BimRange>& bim_range);

// At most one of the two may be given; neither gives the identity. Messages: "Provide only one of
// sample_ids or sample_indices"; "sample_indices is empty"; "sample index out of range: I";
// "duplicate sample index: I"; "sample_ids is empty"; "sample id not found: ID"; "duplicate sample
// id: ID". When an ID occurs on several .fam lines, the last line wins.
Result<SampleSelection> resolve_sample_selection(
    std::span<const std::string> fam_ids, const std::optional<std::vector<std::string>>& sample_ids,
    const std::optional<std::vector<std::uint64_t>>& sample_indices);

}  // namespace korvex
