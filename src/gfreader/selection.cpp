#include "gfreader/selection.hpp"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace korvex {

Result<SnpSelection> resolve_snp_selection(
    std::span<const SiteInfo> sites,
    const std::optional<std::pair<std::uint64_t, std::uint64_t>>& snp_range,
    const std::optional<std::vector<std::uint64_t>>& snp_indices,
    const std::optional<BimRange>& bim_range) {
  const int given = int(snp_range.has_value()) + int(snp_indices.has_value()) +
                    int(bim_range.has_value());
  if (given > 1)
    return operation_failed("Provide only one of snp_range, snp_indices, or bim_range");
  SnpSelection sel;
  if (given == 0) return sel;
  sel.all = false;
  const std::uint64_t m = sites.size();

  if (snp_range) {
    const auto [start, end] = *snp_range;
    if (!(start < end && end <= m))
      return operation_failed("invalid snp_range: (" + std::to_string(start) + ", " +
                              std::to_string(end) + ")");
    sel.indices.reserve(static_cast<std::size_t>(end - start));
    for (std::uint64_t i = start; i < end; ++i) sel.indices.push_back(static_cast<std::size_t>(i));
    return sel;
  }

  if (bim_range) {
    if (bim_range->end < bim_range->start) return operation_failed("bim_range start > end");
    for (std::size_t i = 0; i < sites.size(); ++i) {
      const SiteInfo& s = sites[i];
      if (s.chrom == bim_range->chrom && bim_range->start <= s.pos && s.pos <= bim_range->end)
        sel.indices.push_back(i);
    }
    return sel;
  }

  const auto& list = *snp_indices;
  if (list.empty()) return operation_failed("snp_indices is empty");
  std::unordered_set<std::uint64_t> seen;
  seen.reserve(list.size());
  sel.indices.reserve(list.size());
  for (std::uint64_t index : list) {
    if (index >= m) return operation_failed("snp index out of range: " + std::to_string(index));
    if (!seen.insert(index).second)
      return operation_failed("duplicate snp index: " + std::to_string(index));
    sel.indices.push_back(static_cast<std::size_t>(index));
  }
  return sel;
}

namespace {

bool is_identity(const std::vector<std::size_t>& indices, std::size_t n) {
  if (indices.size() != n) return false;
  for (std::size_t k = 0; k < n; ++k)
    if (indices[k] != k) return false;
  return true;
}

}  // namespace

Result<SampleSelection> resolve_sample_selection(
    std::span<const std::string> fam_ids, const std::optional<std::vector<std::string>>& sample_ids,
    const std::optional<std::vector<std::uint64_t>>& sample_indices) {
  if (sample_ids && sample_indices)
    return operation_failed("Provide only one of sample_ids or sample_indices");
  const std::size_t n = fam_ids.size();
  SampleSelection sel;

  if (!sample_ids && !sample_indices) {
    sel.indices.resize(n);
    for (std::size_t k = 0; k < n; ++k) sel.indices[k] = k;
    sel.ids.assign(fam_ids.begin(), fam_ids.end());
    sel.identity = true;
    return sel;
  }

  if (sample_indices) {
    const auto& list = *sample_indices;
    if (list.empty()) return operation_failed("sample_indices is empty");
    std::unordered_set<std::uint64_t> seen;
    seen.reserve(list.size());
    sel.indices.reserve(list.size());
    sel.ids.reserve(list.size());
    for (std::uint64_t index : list) {
      if (index >= n)
        return operation_failed("sample index out of range: " + std::to_string(index));
      if (!seen.insert(index).second)
        return operation_failed("duplicate sample index: " + std::to_string(index));
      sel.indices.push_back(static_cast<std::size_t>(index));
      sel.ids.push_back(fam_ids[static_cast<std::size_t>(index)]);
    }
    sel.identity = is_identity(sel.indices, n);
    return sel;
  }

  const auto& list = *sample_ids;
  if (list.empty()) return operation_failed("sample_ids is empty");
  // Later .fam lines overwrite earlier ones, so a repeated ID resolves to its last line.
  std::unordered_map<std::string_view, std::size_t> by_id;
  by_id.reserve(n);
  for (std::size_t k = 0; k < n; ++k) by_id[std::string_view(fam_ids[k])] = k;
  std::unordered_set<std::size_t> seen;
  seen.reserve(list.size());
  sel.indices.reserve(list.size());
  sel.ids.reserve(list.size());
  for (const std::string& id : list) {
    const auto it = by_id.find(std::string_view(id));
    if (it == by_id.end()) return operation_failed("sample id not found: " + id);
    if (!seen.insert(it->second).second) return operation_failed("duplicate sample id: " + id);
    sel.indices.push_back(it->second);
    sel.ids.push_back(id);
  }
  sel.identity = is_identity(sel.indices, n);
  return sel;
}

}  // namespace korvex
