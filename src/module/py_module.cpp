// Module init: creates the module object once per process and adds the registered classes and
// functions in their fixed order.
#include <string_view>
#include <vector>

#include "py_binding.hpp"

namespace korvex::py {

namespace {

struct Entry {
  const char* name;
  Creator create;     // a function
  TypeHandle* type;   // or a class
};

std::vector<Entry>& registry() {
  static std::vector<Entry> entries;
  return entries;
}

// The module namespace, in registration order: classes first, then functions.
constexpr const char* kOrder[] = {
    "BedChunkReader", "VcfChunkReader",     "PlinkStreamWriter",   "VcfStreamWriter",
    "SiteInfo",       "PyMergeStats",       "PyConvertStats",      "merge_genotypes",
    "convert_genotypes", "count_vcf_snps",  "glmf32",              "lmm_reml_chunk_f32",
    "lmm_assoc_chunk_f32", "grm_pca_bed",   "grm_pca_vcf",         "block_randomized_svd",
    "block_randomized_svd_bed",
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvex",
    "",  // empty docstring
    0,   // no per-module state; 0 (not -1) so that a second interpreter reaches our init
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

PyObject* create_module() {
  PyObject* module = PyModule_Create(&g_module_def);
  if (!module) return nullptr;
  for (const char* name : kOrder) {
    for (const Entry& entry : registry()) {
      if (std::string_view(entry.name) != name) continue;
      PyObject* object = entry.type ? reinterpret_cast<PyObject*>(entry.type->create())
                                    : entry.create(module);
      if (entry.type) Py_XINCREF(object);  // the module takes a reference; the handle keeps its own
      if (!object) {
        Py_DECREF(module);
        return nullptr;
      }
      if (PyModule_AddObject(module, name, object) < 0) {
        Py_DECREF(object);
        Py_DECREF(module);
        return nullptr;
      }
    }
  }
  return module;
}

}  // namespace

Registered::Registered(const char* name, Creator create) {
  registry().push_back({name, create, nullptr});
}

Registered::Registered(TypeHandle& type) { registry().push_back({type.name(), nullptr, &type}); }

}  // namespace korvex::py

extern "C" PyMODINIT_FUNC PyInit_korvex(void) {
  using namespace korvex::py;
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (g_module != nullptr) {
    if (interp != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "korvex cannot be imported in more than one interpreter per process");
      return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = guarded([] { return create_module(); });
  if (!module) return nullptr;
  g_module = module;
  g_interpreter = interp;
  Py_INCREF(g_module);  // the cache keeps its own reference
  return g_module;
}
