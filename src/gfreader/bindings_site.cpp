// SiteInfo: the Python class of one variant site (chrom, pos, ref_allele, alt_allele), read-only.
#include <memory>

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

PyObject* dosage_chunk_to_python(Buffer<float>&& values, std::size_t rows, std::size_t cols,
                                 const std::vector<SiteInfo>& sites) {
  PyObject* array =
      make_array(std::move(values), {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)});
  return tuple_of({array, array ? sites_to_list(sites) : nullptr});
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
