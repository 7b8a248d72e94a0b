// block_randomized_svd: the dense randomized SVD of a float64 NumPy matrix.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "module/py_binding.hpp"
#include "svd/dense_svd.hpp"

namespace korvex::py {
namespace {

const Signature kSvdSig("block_randomized_svd",
                        {{"a"},
                         {"k"},
                         {"oversample", "10"},
                         {"n_iter", "2"},
                         {"block_rows", "4096"},
                         {"seed", "0"}},
                        "Blocked randomized SVD for a dense matrix.\n"
                        "Returns (U, S, Vt) with shapes (m, k), (k,), (k, n).\n"
                        "Non-contiguous inputs are copied into a row-major buffer.");

// Row-major copy of a strided view, in square tiles so that neither the source (Fortran order,
// transposed or strided views) nor the destination is walked across cache lines one element at a
// time. Strides are in bytes and need not be multiples of 8, hence the memcpy per element.
std::vector<double> copy_row_major(const ArrayView<double, 2>& view) {
  const std::size_t m = view.shape[0];
  const std::size_t n = view.shape[1];
  std::vector<double> out(m * n);
  constexpr std::size_t kTile = 32;
  for (std::size_t i0 = 0; i0 < m; i0 += kTile) {
    const std::size_t i1 = std::min(m, i0 + kTile);
    for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
      const std::size_t j1 = std::min(n, j0 + kTile);
      for (std::size_t i = i0; i < i1; ++i) {
        const char* row = view.base + static_cast<std::ptrdiff_t>(i) * view.strides[0];
        for (std::size_t j = j0; j < j1; ++j)
          std::memcpy(&out[i * n + j], row + static_cast<std::ptrdiff_t>(j) * view.strides[1],
                      sizeof(double));
      }
    }
  }
  return out;
}

PyObject* block_randomized_svd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args bound(kSvdSig);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    ArrayView<double, 2> a;
    std::uint64_t k = 0;
    std::uint64_t oversample = 10;
    std::uint64_t n_iter = 2;
    std::uint64_t block_rows = 4096;
    std::uint64_t seed = 0;
    if (!bound.get(0, a) || !bound.get(1, k) || !bound.get(2, oversample) ||
        !bound.get(3, n_iter) || !bound.get(4, block_rows) || !bound.get(5, seed))
      return nullptr;

    const std::size_t m = a.shape[0];
    const std::size_t n = a.shape[1];
    // A C-contiguous, aligned array is read in place; anything else (strided or Fortran-ordered
    // views, and buffers whose doubles are not 8-byte aligned) is copied first.
    const bool in_place =
        a.c_contiguous && reinterpret_cast<std::uintptr_t>(a.base) % alignof(double) == 0;

    Result<SvdFactors> result;
    {
      ReleaseGil unlocked;
      std::vector<double> copy;
      std::span<const double> values;
      if (in_place) {
        values = std::span<const double>(a.data(), m * n);
      } else {
        copy = copy_row_major(a);
        values = copy;
      }
      result = randomized_svd_dense(values, m, n, k, oversample, n_iter, block_rows, seed);
    }
    if (!result) return raise(result.error());

    const auto kk = static_cast<npy_intp>(k);
    return tuple_of({make_array(std::move(result->left), {static_cast<npy_intp>(m), kk}),
                     make_array(std::move(result->s), {kk}),
                     make_array(std::move(result->right), {kk, static_cast<npy_intp>(n)})});
  });
}

PyMethodDef kSvdDef = {"block_randomized_svd", fastcall(block_randomized_svd), kFastcallFlags,
                       kSvdSig.docstring()};

const Registered kSvdRegistered("block_randomized_svd", [](PyObject* module) {
  return make_function(&kSvdDef, module);
});

}  // namespace
}  // namespace korvex::py
