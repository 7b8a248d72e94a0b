#include "py_binding.hpp"

#include <cmath>
#include <limits>

#include <structmember.h>

namespace korvex::py {

// ---- errors -------------------------------------------------------------------------------------

PyObject* fatal_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "korvex.FatalError",
        "A broken internal invariant of korvex. Derives from BaseException, not Exception.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_fatal(const std::string& message) {
  PyObject* type = fatal_error_type();
  if (type == nullptr) return nullptr;  // the creation error stays set
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

PyObject* raise(const ModuleError& error) {
  PyObject* type = nullptr;
  switch (error.kind) {
    case ErrorKind::InvalidValue: type = PyExc_ValueError; break;
    case ErrorKind::OperationFailed: type = PyExc_RuntimeError; break;
    case ErrorKind::IoFailure: type = PyExc_OSError; break;
    case ErrorKind::Fatal: return raise_fatal(error.message);
  }
  // The message becomes the single argument; OSError(msg) keeps errno/strerror unset.
  PyObject* text = PyUnicode_DecodeUTF8(error.message.data(),
                                        static_cast<Py_ssize_t>(error.message.size()), "replace");
  if (!text) return nullptr;
  PyObject* exc = PyObject_CallOneArg(type, text);
  Py_DECREF(text);
  if (!exc) return nullptr;
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

void name_type_error(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': invalid type", arg);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text);
  Py_DECREF(text);
}

// ---- declarations -------------------------------------------------------------------------------

namespace {
std::string signature_text(const char* name, const std::vector<Param>& params, bool self) {
  std::string s = name;
  s += '(';
  bool first = true;
  if (self) {
    s += "$self";
    first = false;
  }
  for (const Param& p : params) {
    if (!first) s += ", ";
    first = false;
    s += p.name;
    if (p.default_text) {
      s += '=';
      s += p.default_text;
    }
  }
  s += ")\n--\n\n";
  return s;
}
}  // namespace

Signature::Signature(const char* name, std::vector<Param> params, const char* doc_body, bool method)
    : name_(name), params_(std::move(params)), method_(method) {
  doc_ = signature_text(name_, params_, method_);
  if (doc_body) doc_ += doc_body;
}

std::string Signature::class_docstring(const char* class_name) const {
  return signature_text(class_name, params_, false);
}

// ---- converters ---------------------------------------------------------------------------------

bool Converter<std::string>::convert(PyObject* obj, const char* arg, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) {
    name_type_error(arg);
    return false;
  }
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

namespace {
// int or an object with __index__ (floats refused) as a new reference, or nullptr with a TypeError
// naming the argument.
PyObject* as_index(PyObject* obj, const char* arg) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) name_type_error(arg);
  return index;
}
}  // namespace

bool Converter<std::uint64_t>::convert(PyObject* obj, const char* arg, std::uint64_t& out) {
  PyObject* index = as_index(obj, arg);
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);  // OverflowError if < 0 or too big
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_type_error(arg);
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool Converter<std::int32_t>::convert(PyObject* obj, const char* arg, std::int32_t& out) {
  PyObject* index = as_index(obj, arg);
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (v == -1 && PyErr_Occurred()) {
    name_type_error(arg);
    return false;
  }
  if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': value does not fit in a signed 32-bit integer",
                 arg);
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool Converter<double>::convert(PyObject* obj, const char* arg, double& out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    name_type_error(arg);
    return false;
  }
  out = v;
  return true;
}

bool Converter<F32>::convert(PyObject* obj, const char* arg, F32& out) {
  double v = 0.0;
  if (!Converter<double>::convert(obj, arg, v)) return false;
  out.value = static_cast<float>(v);  // out-of-range values become +-inf, as a C cast does
  return true;
}

bool Converter<bool>::convert(PyObject* obj, const char* arg, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy boolean scalars are accepted too; nothing else (not even 0 and 1).
  if (ensure_numpy()) {
    if (PyArray_IsScalar(obj, Bool)) {
      out = PyArrayScalar_VAL(obj, Bool) != 0;
      return true;
    }
  } else {
    return false;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %.200s", arg,
               Py_TYPE(obj)->tp_name);
  return false;
}

bool check_sequence(PyObject* obj, const char* arg, Py_ssize_t& length) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  length = PySequence_Size(obj);
  if (length < 0) {
    name_type_error(arg);
    return false;
  }
  return true;
}

bool check_tuple(PyObject* obj, const char* arg, Py_ssize_t expected) {
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected tuple, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  if (PyTuple_GET_SIZE(obj) != expected) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a tuple of %zd items, got %zd", arg,
                 expected, PyTuple_GET_SIZE(obj));
    return false;
  }
  return true;
}

const char* npy_type_name(int type_num) {
  switch (type_num) {
    case NPY_FLOAT64: return "float64";
    case NPY_FLOAT32: return "float32";
    case NPY_INT8: return "int8";
    default: return "unknown";
  }
}

bool convert_array(PyObject* obj, const char* arg, int type_num, int ndim, PyArrayObject*& out) {
  if (!ensure_numpy()) return false;
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected numpy.ndarray, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (PyArray_TYPE(arr) != type_num || !PyArray_ISNBO(descr->byteorder)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %s array, got dtype %S", arg,
                 npy_type_name(type_num), reinterpret_cast<PyObject*>(descr));
    return false;
  }
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-dimensional array, got %d dimensions",
                 arg, ndim, PyArray_NDIM(arr));
    return false;
  }
  out = arr;
  return true;
}

// ---- argument binding ---------------------------------------------------------------------------

PyObject* Args::value(std::size_t i) const {
  PyObject* obj = slots_[i];
  if (obj == Py_None) {
    const char* def = sig_.param(i).default_text;
    if (def != nullptr && std::strcmp(def, "None") == 0) return nullptr;
  }
  return obj;
}

namespace {
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < sig.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(key, sig.param(i).name) == 0)
      return static_cast<Py_ssize_t>(i);
  return -1;
}
}  // namespace

bool Args::finish() {
  for (std::size_t i = 0; i < sig_.size(); ++i) {
    if (slots_[i] == nullptr && sig_.param(i).default_text == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig_.name(),
                   sig_.param(i).name, i + 1);
      return false;
    }
  }
  return true;
}

bool Args::place_positional(Py_ssize_t nargs) const {
  const auto n_params = static_cast<Py_ssize_t>(sig_.size());
  if (nargs <= n_params) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig_.name(),
               n_params, n_params == 1 ? "" : "s", nargs);
  return false;
}

bool Args::place_keyword(PyObject* key, PyObject* value) {
  const Py_ssize_t i = find_param(sig_, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig_.name(), key);
    return false;
  }
  if (slots_[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                 sig_.name(), sig_.param(i).name, i + 1);
    return false;
  }
  slots_[i] = value;
  return true;
}

bool Args::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!place_positional(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  return finish();
}

bool Args::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (!place_positional(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = PyTuple_GET_ITEM(args, i);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (kwargs && PyDict_Next(kwargs, &pos, &key, &value))
    if (!place_keyword(key, value)) return false;
  return finish();
}

// ---- results ------------------------------------------------------------------------------------

PyObject* to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(const std::vector<std::string>& texts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = to_python(texts[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  bool complete = true;
  for (PyObject* item : items) complete = complete && item != nullptr;
  PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    if (tuple) {
      PyTuple_SET_ITEM(tuple, i++, item);
    } else {
      Py_XDECREF(item);
    }
  }
  return tuple;
}

namespace {

// ArrayHolder: owns the native buffer of a result array and frees it when the last array that
// refers to it is collected. Not part of the module namespace.
struct ArrayHolder {
  PyObject_HEAD
  void* owner;
  void (*release)(void*);
};

void array_holder_dealloc(PyObject* self) {
  auto* holder = reinterpret_cast<ArrayHolder*>(self);
  if (holder->release && holder->owner) holder->release(holder->owner);
  holder->owner = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyTypeObject* array_holder_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(array_holder_dealloc)},
                           {0, nullptr}};
    PyType_Spec spec = {"korvex.ArrayHolder", sizeof(ArrayHolder), 0, Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) {
      PyErr_Print();
      raise_fatal("failed to create type object for ArrayHolder");
    }
  }
  return type;
}

}  // namespace

PyObject* wrap_owned(void* data, void* owner, void (*release)(void*), int type_num, int ndim,
                     const npy_intp* dims) {
  PyTypeObject* holder_type = ensure_numpy() ? array_holder_type() : nullptr;
  PyObject* holder = holder_type ? holder_type->tp_alloc(holder_type, 0) : nullptr;
  if (!holder) {
    release(owner);
    return nullptr;
  }
  reinterpret_cast<ArrayHolder*>(holder)->owner = owner;
  reinterpret_cast<ArrayHolder*>(holder)->release = release;
  PyObject* array = PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), type_num, nullptr,
                                data, 0, NPY_ARRAY_CARRAY, nullptr);
  if (!array) {
    Py_DECREF(holder);
    return nullptr;
  }
  // PyArray_SetBaseObject steals the holder's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

PyObject* zeros_f64(std::initializer_list<npy_intp> dims, double*& data) {
  if (!ensure_numpy()) return nullptr;
  PyObject* array = PyArray_Zeros(static_cast<int>(dims.size()), const_cast<npy_intp*>(dims.begin()),
                                  PyArray_DescrFromType(NPY_FLOAT64), 0);
  if (!array) return nullptr;
  data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  return array;
}

// ---- classes ------------------------------------------------------------------------------------

Exclusive::Exclusive(bool& busy) : busy_(busy), ok_(!busy) {
  if (ok_) {
    busy_ = true;
  } else {
    PyErr_SetString(PyExc_RuntimeError,
                    "this object is already in use by another call (re-entrant call refused)");
  }
}

namespace {
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}
}  // namespace

PyTypeObject* TypeHandle::create() {
  if (type_) return type_;
  const ClassSpec spec = spec_();
  doc_ = spec.constructor ? spec.constructor->class_docstring(spec.name) : std::string();
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor ? spec.tp_new : refuse_new)});
  if (!doc_.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc_.c_str())});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
  // A placeholder __module__ entry keeps the type machinery from warning about a bare type name;
  // it is replaced by the string "builtins" right after creation.
  static PyMemberDef module_placeholder[] = {
      {"__module__", T_OBJECT, 0, READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  slots.push_back({Py_tp_members, module_placeholder});
  slots.push_back({0, nullptr});
  PyType_Spec type_spec = {spec.name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  if (!type) return nullptr;
  // A bare type name gives no __module__ for a heap type; report it as a builtin, as the
  // interpreter does for static types with undotted names.
  PyObject* module_name = PyUnicode_FromString("builtins");
  if (!module_name || PyDict_SetItemString(type->tp_dict, "__module__", module_name) < 0) {
    Py_XDECREF(module_name);
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(module_name);
  // Only the text signature is in tp_doc, so __doc__ is None, as for functions without a body.
  if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  PyType_Modified(type);
  type_ = type;
  return type_;
}

PyTypeObject* TypeHandle::get() {
  if (type_) return type_;
  if (create()) return type_;
  PyErr_Print();
  raise_fatal(std::string("failed to create type object for ") + spec_().name);
  return nullptr;
}

const char* TypeHandle::name() const { return spec_().name; }

PyObject* make_function(PyMethodDef* def, PyObject* module) {
  PyObject* modname = PyModule_GetNameObject(module);
  if (!modname) return nullptr;
  PyObject* fn = PyCFunction_NewEx(def, module, modname);
  Py_DECREF(modname);
  return fn;
}

}  // namespace korvex::py
