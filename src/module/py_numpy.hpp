// NumPy C API access for the binding layer. Every Python-facing file includes NumPy through this
// header so that all of them share the one API table that `ensure_numpy` fills on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL korvex_ARRAY_API
#ifndef KORVEX_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace korvex::py {

// Looks the NumPy array API table up on first use (numpy._core.multiarray for NumPy 2 and later,
// numpy.core.multiarray before) and caches it for the life of the process. Returns false with the
// fatal-error exception set when NumPy cannot be imported or the capsule is missing.
bool ensure_numpy();

}  // namespace korvex::py
