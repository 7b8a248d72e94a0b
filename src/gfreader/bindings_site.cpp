// SiteInfo: the Python class of one variant site (chrom, pos, ref_allele, alt_allele), read-only.
#include <sys/mman.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "gfreader/py_site_info.hpp"

namespace korvex::py {
namespace {

const Signature kSiteInfoInit("SiteInfo", {{"chrom"}, {"pos"}, {"ref_allele"}, {"alt_allele"}});

PyObject* site_info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kSiteInfoInit);
    if (!a.bind(args, kwargs)) return nullptr;
    auto site = std::make_unique<SiteInfo>();
    if (!a.get(0, site->chrom) || !a.get(1, site->pos) || !a.get(2, site->ref_allele) ||
        !a.get(3, site->alt_allele))
      return nullptr;
    return box_new(type, std::move(site));
  });
}

PyObject* get_chrom(PyObject* self, void*) { return to_python(native_of<SiteInfo>(self).chrom); }
PyObject* get_pos(PyObject* self, void*) { return PyLong_FromLong(native_of<SiteInfo>(self).pos); }
PyObject* get_ref(PyObject* self, void*) { return to_python(native_of<SiteInfo>(self).ref_allele); }
PyObject* get_alt(PyObject* self, void*) { return to_python(native_of<SiteInfo>(self).alt_allele); }

PyGetSetDef kGetSet[] = {
    {"chrom", get_chrom, nullptr, nullptr, nullptr},
    {"pos", get_pos, nullptr, nullptr, nullptr},
    {"ref_allele", get_ref, nullptr, nullptr, nullptr},
    {"alt_allele", get_alt, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassSpec site_info_spec() {
  return ClassSpec{"SiteInfo", &kSiteInfoInit, site_info_new, nullptr, kGetSet,
                   sizeof(Box<SiteInfo>), box_dealloc<SiteInfo>};
}

TypeHandle g_site_info(site_info_spec);

const Registered kRegistered(g_site_info);

}  // namespace

PyTypeObject* site_info_type() { return g_site_info.get(); }

PyObject* site_info_to_python(const SiteInfo& site) {
  PyTypeObject* type = site_info_type();
  if (!type) return nullptr;
  return box_new(type, std::make_unique<SiteInfo>(site));
}

PyObject* sites_to_list(const std::vector<SiteInfo>& sites) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(sites.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    PyObject* item = site_info_to_python(sites[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

namespace {
constexpr std::size_t kInitialChunkBytes = std::size_t{256} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

ChunkBuffer::ChunkBuffer(std::uint64_t max_rows, std::size_t cols)
    : max_rows_(max_rows), cols_(cols) {
  const std::uint64_t first = std::max<std::size_t>(1, kInitialChunkBytes / (cols * sizeof(float)));
  reallocate(static_cast<std::size_t>(std::min(max_rows, first)), 0);
}

void ChunkBuffer::reallocate(std::size_t rows, std::size_t keep_rows) {
  if (rows > std::numeric_limits<std::size_t>::max() / sizeof(float) / cols_) throw std::bad_alloc();
  auto bigger = Buffer<float>::uninitialized(rows * cols_);
  // Fresh pages are zeroed by the kernel on first write; transparent huge pages on the 2 MiB-aligned
  // interior turn ~500 faults per MiB into one per 2 MiB. Only a hint.
  const auto lo = reinterpret_cast<std::uintptr_t>(bigger.data.get());
  const std::uintptr_t first = (lo + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (lo + rows * cols_ * sizeof(float)) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  if (keep_rows > 0) std::copy_n(values_.data.get(), keep_rows * cols_, bigger.data.get());
  values_ = std::move(bigger);
  cap_rows_ = rows;
}

float* ChunkBuffer::row(std::size_t i) {
  if (i == cap_rows_)
    reallocate(static_cast<std::size_t>(std::min<std::uint64_t>(max_rows_, std::uint64_t{cap_rows_} * 2)), i);
  return values_.data.get() + i * cols_;
}

PyObject* ChunkBuffer::to_python(const std::vector<SiteInfo>& sites) {
  const std::size_t rows = sites.size();
  // Sites dropped by QC can leave much of the buffer unused; the array should not hold it.
  if ((cap_rows_ - rows) * cols_ * sizeof(float) > (std::size_t{1} << 20)) {
    auto tight = Buffer<float>::uninitialized(rows * cols_);
    std::copy_n(values_.data.get(), rows * cols_, tight.data.get());
    values_ = std::move(tight);
    cap_rows_ = rows;
  }
  PyObject* array =
      make_array(std::move(values_), {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols_)});
  return tuple_of({array, array ? sites_to_list(sites) : nullptr});
}

bool raise_deferred(std::optional<ModuleError>& deferred) {
  if (!deferred) return false;
  const ModuleError error = std::move(*deferred);
  deferred.reset();
  raise(error);
  return true;
}

bool Converter<SiteInfo>::convert(PyObject* obj, const char* arg, SiteInfo& out) {
  PyTypeObject* type = site_info_type();
  if (!type) return false;
  if (Py_TYPE(obj) != type) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected SiteInfo, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  out = native_of<SiteInfo>(obj);
  return true;
}

}  // namespace korvex::py
