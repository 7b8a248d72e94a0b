// The SiteInfo class and the result shape shared by both readers' next_chunk.
#pragma once

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

// The (genotypes, sites) tuple of a reader's next_chunk: `values` holds rows x cols float32 values
// in row-major order and becomes a C-ordered (rows, cols) array.
PyObject* dosage_chunk_to_python(Buffer<float>&& values, std::size_t rows, std::size_t cols,
                                 const std::vector<SiteInfo>& sites);

// Accepts instances of SiteInfo only; copies their four fields.
template <>
struct Converter<SiteInfo> {
  static bool convert(PyObject* obj, const char* arg, SiteInfo& out);
};

}  // namespace korvex::py
