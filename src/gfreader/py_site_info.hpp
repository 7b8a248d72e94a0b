// The SiteInfo class and the result shape shared by both readers' next_chunk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "gfcore/genotype.hpp"
#include "module/py_binding.hpp"

namespace korvex::py {

// The SiteInfo type object (created at module init; fatal error if it cannot be created later).
PyTypeObject* site_info_type();

// A new SiteInfo object holding a copy of `site`.
PyObject* site_info_to_python(const SiteInfo& site);

// A new list with one new SiteInfo per site.
PyObject* sites_to_list(const std::vector<SiteInfo>& sites);

// The float32 buffer of one reader chunk. It starts at 256 MiB (or the whole chunk when smaller)
// and doubles while rows keep coming, so a chunk_size far beyond the data reserves nothing it does
// not use; capacity never written stays untouched address space.
class ChunkBuffer {
 public:
  ChunkBuffer(std::uint64_t max_rows, std::size_t cols);
  // Space for row i (rows are filled in order; i is at most the number of rows filled so far).
  float* row(std::size_t i);
  // The (genotypes, sites) tuple over the first `sites.size()` rows.
  PyObject* to_python(const std::vector<SiteInfo>& sites);

 private:
  void reallocate(std::size_t rows, std::size_t keep_rows);

  std::uint64_t max_rows_;
  std::size_t cols_;
  std::size_t cap_rows_ = 0;
  Buffer<float> values_;
};

// Builds one reader chunk from next(float* row, SiteInfo& site) -> Result<bool>, called until it
// returns false (the data ran out), fails, or max_rows sites are gathered (cols > 0). A failure with
// nothing gathered is raised; a failure after some sites is kept in `deferred` for the next call
// and those sites are returned, so nothing read is lost. Returns the (genotypes, sites) tuple, None
// when nothing was gathered, or nullptr with an exception set.
template <class Next>
PyObject* gather_dosage_chunk(std::uint64_t max_rows, std::size_t cols,
                              std::optional<ModuleError>& deferred, Next&& next) {
  ChunkBuffer buffer(max_rows, cols);
  std::vector<SiteInfo> sites;
  sites.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(max_rows, 4096)));
  SiteInfo site;
  while (sites.size() < max_rows) {
    Result<bool> got = next(buffer.row(sites.size()), site);
    if (!got) {
      if (sites.empty()) return raise(got.error());
      deferred = std::move(got.error());
      break;
    }
    if (!*got) break;
    sites.push_back(std::move(site));
  }
  if (sites.empty()) Py_RETURN_NONE;
  return buffer.to_python(sites);
}

// Raises and clears a failure deferred by gather_dosage_chunk; false when there is none.
bool raise_deferred(std::optional<ModuleError>& deferred);

// Accepts instances of SiteInfo only; copies their four fields.
template <>
struct Converter<SiteInfo> {
  static bool convert(PyObject* obj, const char* arg, SiteInfo& out);
};

}  // namespace korvex::py
