#define KORVEX_NUMPY_DEFINE_API
#include "py_numpy.hpp"

#include <string>

#include "py_binding.hpp"

namespace korvex::py {

namespace {
bool g_numpy_ready = false;

// Major version of the installed NumPy as numpy.lib.NumpyVersion parses numpy.__version__.
long numpy_major(PyObject* numpy) {
  PyObject* version = PyObject_GetAttrString(numpy, "__version__");
  if (!version) return -1;
  PyObject* lib = PyImport_ImportModule("numpy.lib");
  PyObject* parsed = nullptr;
  if (lib) {
    PyObject* cls = PyObject_GetAttrString(lib, "NumpyVersion");
    if (cls) {
      parsed = PyObject_CallOneArg(cls, version);
      Py_DECREF(cls);
    }
    Py_DECREF(lib);
  }
  Py_DECREF(version);
  if (!parsed) return -1;
  PyObject* major = PyObject_GetAttrString(parsed, "major");
  Py_DECREF(parsed);
  if (!major) return -1;
  const long v = PyLong_AsLong(major);
  Py_DECREF(major);
  return v;
}
}  // namespace

bool ensure_numpy() {
  if (g_numpy_ready) return true;
  std::string detail;
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy) {
    const long major = numpy_major(numpy);
    Py_DECREF(numpy);
    if (major >= 0) {
      const char* where = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
      PyObject* multiarray = PyImport_ImportModule(where);
      if (multiarray) {
        PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
        Py_DECREF(multiarray);
        if (capsule) {
          void* table = PyCapsule_CheckExact(capsule) ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
          Py_DECREF(capsule);
          if (table) {
            PyArray_API = static_cast<void**>(table);
            PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
            g_numpy_ready = true;
            return true;
          }
        }
      }
    }
  }
  if (PyErr_Occurred()) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text) {
      const char* utf8 = PyUnicode_AsUTF8(text);
      if (utf8) detail = utf8;
      Py_DECREF(text);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
  }
  std::string message = "Failed to access NumPy array API capsule";
  if (!detail.empty()) message += ": " + detail;
  raise_fatal(message);
  return false;
}

}  // namespace korvex::py
