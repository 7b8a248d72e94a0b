// The binding toolkit: everything a subsystem's bindings.cpp needs to expose its operations.
//
//  * Signature: one declaration per function or method (name, parameters, defaults, docstring
//    body). The text signature in __doc__ and the argument binder both come from it.
//  * Args: binds vectorcall-with-keywords arguments (or a constructor's tuple and dict) to the
//    signature's parameters, then converts each one with `get`, in parameter order.
//  * Converters for str, int >= 0 (u64), i32, float, F32 (float narrowed to 32 bits), strict bool,
//    lists of int / str, tuples, NumPy array views of exact dtype and ndim, and raw objects.
//  * Results: strings, lists, NumPy arrays over native buffers (owned by an ArrayHolder), and
//    zero-filled output arrays created by NumPy.
//  * Errors: `raise(ModuleError)` maps the error kind to ValueError / RuntimeError / OSError / the
//    fatal-error type; `guarded` turns escaping C++ exceptions into MemoryError or a fatal error.
//  * ReleaseGil, heap-type classes (ClassSpec / TypeHandle / Box<T>) with per-instance exclusive
//    access (Exclusive), and the registry that module init walks in its fixed order.
#pragma once

#include "py_numpy.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace korvex::py {

// ---- errors -------------------------------------------------------------------------------------

// The fatal-error exception type (derives directly from BaseException); created on first use.
PyObject* fatal_error_type();
// Sets the fatal-error exception with `message`; returns nullptr.
PyObject* raise_fatal(const std::string& message);
// Sets the exception that `error.kind` maps to, with the message as its single argument.
PyObject* raise(const ModuleError& error);

// Runs `body` (which returns a new reference or nullptr with an exception set) and turns a C++
// exception that escapes it into MemoryError (std::bad_alloc, std::length_error) or the fatal error.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_fatal(std::string("internal error: ") + e.what());
  } catch (...) {
    return raise_fatal("internal error: unknown exception");
  }
}

// ---- the interpreter lock -----------------------------------------------------------------------

// Releases the interpreter lock for its lifetime. Nothing inside may touch Python objects.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// ---- declarations -------------------------------------------------------------------------------

struct Param {
  const char* name;
  // Default as shown in the text signature; nullptr for a required parameter. "None" means None
  // stands for the default; any other default refuses None.
  const char* default_text = nullptr;
};

inline constexpr std::size_t kMaxParams = 20;

class Signature {
 public:
  Signature(const char* name, std::vector<Param> params, const char* doc_body = nullptr,
            bool method = false);
  const char* name() const { return name_; }
  std::size_t size() const { return params_.size(); }
  const Param& param(std::size_t i) const { return params_[i]; }
  // "name(a, b=1)\n--\n\n" followed by the body (methods show $self first).
  const char* docstring() const { return doc_.c_str(); }
  // "Name(a, b=None)\n--\n\n" for a class whose constructor has this signature.
  std::string class_docstring(const char* class_name) const;

 private:
  const char* name_;
  std::vector<Param> params_;
  bool method_;
  std::string doc_;
};

// ---- converters ---------------------------------------------------------------------------------

// A float argument narrowed to 32 bits (maf, miss, maf_threshold, max_missing_rate).
struct F32 {
  float value = 0.0f;
};

// A read-only view of a NumPy array of exact dtype T and exactly ND dimensions, borrowed for the
// call. Strides are in bytes and may be anything (negative, zero, non-multiples of sizeof(T)).
template <class T, int ND>
struct ArrayView {
  const char* base = nullptr;
  std::array<std::size_t, ND> shape{};
  std::array<std::ptrdiff_t, ND> strides{};
  bool c_contiguous = false;
  bool f_contiguous = false;
  PyObject* object = nullptr;  // borrowed

  std::size_t size() const {
    std::size_t n = 1;
    for (auto s : shape) n *= s;
    return n;
  }
  const T* data() const { return reinterpret_cast<const T*>(base); }
  T operator()(std::size_t i) const
    requires(ND == 1)
  {
    T v;
    std::memcpy(&v, base + static_cast<std::ptrdiff_t>(i) * strides[0], sizeof(T));
    return v;
  }
  T operator()(std::size_t i, std::size_t j) const
    requires(ND == 2)
  {
    T v;
    std::memcpy(&v,
                base + static_cast<std::ptrdiff_t>(i) * strides[0] +
                    static_cast<std::ptrdiff_t>(j) * strides[1],
                sizeof(T));
    return v;
  }
  // Row-major copy of the logical elements (used where an operation copies its input once).
  std::vector<T> to_row_major() const;
};

// Raises the binding's not-contiguous TypeError naming `arg` when `view` is not C-contiguous.
template <class T, int ND>
bool require_contiguous(const ArrayView<T, ND>& view, const char* arg);

template <class T, class Enable = void>
struct Converter;  // bool convert(PyObject* obj, const char* arg, T& out): false with an exception set

// Re-raises a pending TypeError as TypeError("argument 'arg': <message>"); other errors pass.
void name_type_error(const char* arg);

template <>
struct Converter<std::string> {
  static bool convert(PyObject* obj, const char* arg, std::string& out);
};
template <>
struct Converter<std::uint64_t> {
  static bool convert(PyObject* obj, const char* arg, std::uint64_t& out);
};
template <>
struct Converter<std::int32_t> {
  static bool convert(PyObject* obj, const char* arg, std::int32_t& out);
};
template <>
struct Converter<double> {
  static bool convert(PyObject* obj, const char* arg, double& out);
};
template <>
struct Converter<F32> {
  static bool convert(PyObject* obj, const char* arg, F32& out);
};
template <>
struct Converter<bool> {
  static bool convert(PyObject* obj, const char* arg, bool& out);
};
template <>
struct Converter<PyObject*> {  // any object, borrowed
  static bool convert(PyObject* obj, const char*, PyObject*& out) {
    out = obj;
    return true;
  }
};

// A sequence (list, tuple, range, 1-D array, ...) but not a str; sets, dicts and iterators refused.
bool check_sequence(PyObject* obj, const char* arg, Py_ssize_t& length);

template <class T>
struct Converter<std::vector<T>> {
  static bool convert(PyObject* obj, const char* arg, std::vector<T>& out) {
    Py_ssize_t n = 0;
    if (!check_sequence(obj, arg, n)) return false;
    std::vector<T> result;
    result.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_GetItem(obj, i);
      if (!item) {
        name_type_error(arg);
        return false;
      }
      T value{};
      const bool ok = Converter<T>::convert(item, arg, value);
      Py_DECREF(item);
      if (!ok) return false;
      result.push_back(std::move(value));
    }
    out = std::move(result);
    return true;
  }
};

bool check_tuple(PyObject* obj, const char* arg, Py_ssize_t expected);

template <class... Ts>
struct Converter<std::tuple<Ts...>> {
  static bool convert(PyObject* obj, const char* arg, std::tuple<Ts...>& out) {
    if (!check_tuple(obj, arg, sizeof...(Ts))) return false;
    return convert_items(obj, arg, out, std::index_sequence_for<Ts...>{});
  }

 private:
  template <std::size_t... I>
  static bool convert_items(PyObject* obj, const char* arg, std::tuple<Ts...>& out,
                            std::index_sequence<I...>) {
    return (Converter<Ts>::convert(PyTuple_GET_ITEM(obj, I), arg, std::get<I>(out)) && ...);
  }
};

template <class T>
struct Converter<std::optional<T>> {
  static bool convert(PyObject* obj, const char* arg, std::optional<T>& out) {
    T value{};
    if (!Converter<T>::convert(obj, arg, value)) return false;
    out = std::move(value);
    return true;
  }
};

template <class T>
constexpr int npy_type_of() {
  if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
  else if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
  else if constexpr (std::is_same_v<T, std::int8_t>) return NPY_INT8;
  else static_assert(sizeof(T) == 0, "unsupported array element type");
}

const char* npy_type_name(int type_num);
bool convert_array(PyObject* obj, const char* arg, int type_num, int ndim, PyArrayObject*& out);

template <class T, int ND>
struct Converter<ArrayView<T, ND>> {
  static bool convert(PyObject* obj, const char* arg, ArrayView<T, ND>& out) {
    PyArrayObject* arr = nullptr;
    if (!convert_array(obj, arg, npy_type_of<T>(), ND, arr)) return false;
    out.base = static_cast<const char*>(PyArray_DATA(arr));
    for (int d = 0; d < ND; ++d) {
      out.shape[d] = static_cast<std::size_t>(PyArray_DIM(arr, d));
      out.strides[d] = static_cast<std::ptrdiff_t>(PyArray_STRIDE(arr, d));
    }
    out.c_contiguous = PyArray_IS_C_CONTIGUOUS(arr);
    out.f_contiguous = PyArray_IS_F_CONTIGUOUS(arr);
    out.object = obj;
    return true;
  }
};

template <class T, int ND>
std::vector<T> ArrayView<T, ND>::to_row_major() const {
  std::vector<T> out(size());
  if (c_contiguous) {
    if (!out.empty()) std::memcpy(out.data(), base, out.size() * sizeof(T));
    return out;
  }
  if constexpr (ND == 1) {
    for (std::size_t i = 0; i < shape[0]; ++i) out[i] = (*this)(i);
  } else {
    std::size_t k = 0;
    for (std::size_t i = 0; i < shape[0]; ++i)
      for (std::size_t j = 0; j < shape[1]; ++j) out[k++] = (*this)(i, j);
  }
  return out;
}

template <class T, int ND>
bool require_contiguous(const ArrayView<T, ND>& view, const char* arg) {
  if (view.c_contiguous) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': array is not contiguous", arg);
  return false;
}

// ---- argument binding ---------------------------------------------------------------------------

class Args {
 public:
  explicit Args(const Signature& sig) : sig_(sig) { slots_.fill(nullptr); }

  // Vectorcall-with-keywords arguments. False with TypeError set on a missing required argument,
  // an unknown keyword, a duplicate value or too many positional arguments.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // A constructor's positional tuple and keyword dict (either may be null).
  bool bind(PyObject* args, PyObject* kwargs);

  // Converts parameter i into `out`; leaves `out` untouched when the argument is absent (or None
  // where the default is None), so callers initialise `out` with the default.
  template <class T>
  bool get(std::size_t i, T& out) const {
    PyObject* obj = value(i);
    if (obj == nullptr) return true;
    return Converter<T>::convert(obj, sig_.param(i).name, out);
  }

 private:
  PyObject* value(std::size_t i) const;
  bool place_positional(Py_ssize_t nargs) const;
  bool place_keyword(PyObject* key, PyObject* value);
  bool finish();

  const Signature& sig_;
  std::array<PyObject*, kMaxParams> slots_;
};

// ---- results ------------------------------------------------------------------------------------

// Owns one new reference (or none) until it is released to the caller.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A new tuple that takes over the given new references. When any item is null (its creation
// failed, with the exception set), the others are released and nullptr is returned.
PyObject* tuple_of(std::initializer_list<PyObject*> items);

PyObject* to_python(const std::string& text);
PyObject* to_python(std::string_view text);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const std::vector<std::string>& texts);

// A native buffer for a result array, allocated without initialisation.
template <class T>
struct Buffer {
  std::unique_ptr<T[]> data;
  std::size_t size = 0;
  static Buffer uninitialized(std::size_t n) {
    return Buffer{std::unique_ptr<T[]>(new T[n]), n};
  }
};

// Wraps native memory as a new C-ordered, writeable NumPy array over `data`, whose base object is
// an ArrayHolder that calls release(owner) when the array is collected. Returns nullptr with an
// exception set (and the owner released) on failure.
PyObject* wrap_owned(void* data, void* owner, void (*release)(void*), int type_num, int ndim,
                     const npy_intp* dims);

template <class T>
PyObject* make_array(std::vector<T>&& values, std::initializer_list<npy_intp> dims) {
  auto* owned = new std::vector<T>(std::move(values));
  return wrap_owned(owned->data(), owned, [](void* p) { delete static_cast<std::vector<T>*>(p); },
                    npy_type_of<T>(), static_cast<int>(dims.size()), dims.begin());
}

template <class T>
PyObject* make_array(Buffer<T>&& buffer, std::initializer_list<npy_intp> dims) {
  T* raw = buffer.data.release();
  return wrap_owned(raw, raw, [](void* p) { delete[] static_cast<T*>(p); }, npy_type_of<T>(),
                    static_cast<int>(dims.size()), dims.begin());
}

// A zero-filled C-ordered float64 array created by NumPy; `data` receives its buffer.
PyObject* zeros_f64(std::initializer_list<npy_intp> dims, double*& data);

// ---- classes ------------------------------------------------------------------------------------

// Instance layout of every class: the native object plus the busy flag of exclusive access.
template <class T>
struct Box {
  PyObject_HEAD
  T* native;
  bool busy;
};

// Takes exclusive access to an instance for one method call; a re-entrant call fails with
// RuntimeError. Check ok() right after construction.
class Exclusive {
 public:
  explicit Exclusive(bool& busy);
  ~Exclusive() {
    if (ok_) busy_ = false;
  }
  bool ok() const { return ok_; }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  bool& busy_;
  bool ok_;
};

template <class T>
void box_dealloc(PyObject* self) {
  auto* box = reinterpret_cast<Box<T>*>(self);
  delete box->native;
  box->native = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Allocates an instance of `type` owning `native` (taken over; freed on failure).
template <class T>
PyObject* box_new(PyTypeObject* type, std::unique_ptr<T> native) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* box = reinterpret_cast<Box<T>*>(self);
  box->native = native.release();
  box->busy = false;
  return self;
}

template <class T>
T& native_of(PyObject* self) {
  return *reinterpret_cast<Box<T>*>(self)->native;
}

struct ClassSpec {
  const char* name;
  const Signature* constructor;  // nullptr: instances cannot be created from Python
  newfunc tp_new;                // ignored when constructor is nullptr
  PyMethodDef* methods;          // may be nullptr; terminated by a zero entry
  PyGetSetDef* getset;           // may be nullptr; terminated by a zero entry
  int basicsize;                 // sizeof(Box<T>)
  destructor dealloc;            // box_dealloc<T>
};

// Creates a class's heap type once and keeps it. `get` creates it on first use; a failure after
// module init is a fatal error ("failed to create type object for " + name).
class TypeHandle {
 public:
  explicit TypeHandle(ClassSpec (*spec)()) : spec_(spec) {}
  PyTypeObject* get();
  PyTypeObject* create();  // at init: nullptr with the Python error set on failure
  const char* name() const;

 private:
  ClassSpec (*spec_)();
  PyTypeObject* type_ = nullptr;
  std::string doc_;
};

// ---- registration -------------------------------------------------------------------------------

// An entry of the module namespace: creates the object (a type or a function) to add under `name`.
using Creator = PyObject* (*)(PyObject* module);
struct Registered {
  Registered(const char* name, Creator create);
  // A class: its type object, created at module init, goes under the class name.
  explicit Registered(TypeHandle& type);
};

// Makes a built-in function object for `def` bound to the module.
PyObject* make_function(PyMethodDef* def, PyObject* module);

// Fastcall method/function pointer type for PyMethodDef::ml_meth.
template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace korvex::py
