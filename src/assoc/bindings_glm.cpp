// glmf32: the fast GLM scan over float32 marker rows.
#include <cstdint>
#include <span>
#include <utility>

#include "assoc/glm.hpp"
#include "assoc/py_marker_rows.hpp"
#include "module/py_binding.hpp"
#include "module/worker_pool.hpp"

namespace korvex::py {
namespace {

const Signature kGlmSig("glmf32",
                        {{"y"}, {"x"}, {"ixx"}, {"g"}, {"step", "10000"}, {"threads", "0"}},
                        "Fast GLM interface:\n"
                        "y: (n,) float64\n"
                        "X: (n, q0) float64\n"
                        "ixx: (q0, q0) float64\n"
                        "G: (m, n) float32 (marker rows)\n"
                        "\n"
                        "Returns: (m, q0 + 3) float64\n"
                        "  col0: beta_snp\n"
                        "  col1: se_snp\n"
                        "  col2..: p-values for coefficients (q0 covariates + snp)");

PyObject* glmf32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kGlmSig);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    ArrayView<double, 1> y;
    ArrayView<double, 2> x;
    ArrayView<double, 2> ixx;
    ArrayView<float, 2> g;
    std::uint64_t step = 10000;
    std::uint64_t threads = 0;
    if (!a.get(0, y) || !require_contiguous(y, "y") || !a.get(1, x) || !a.get(2, ixx) ||
        !a.get(3, g) || !a.get(4, step) || !a.get(5, threads))
      return nullptr;

    const std::size_t n = y.shape[0];
    const std::size_t q0 = x.shape[1];
    if (auto ok = check_glm_inputs(n, x.shape[0], q0, ixx.shape[0], ixx.shape[1], g.shape[1], step);
        !ok)
      return raise(ok.error());

    const GlmShared shared = make_glm_shared(y.data(), n, q0, x.to_row_major(), ixx.to_row_major());
    const MarkerRows markers = marker_rows(g);
    const std::size_t m = markers.rows;

    double* out_data = nullptr;
    Ref out(zeros_f64({static_cast<npy_intp>(m), static_cast<npy_intp>(q0 + 3)}, out_data));
    if (!out) return nullptr;
    if (!PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(out.get())))
      return raise(ModuleError{ErrorKind::OperationFailed, "output not contiguous"});

    auto pool = make_scan_pool(threads);
    if (!pool) return raise(pool.error());
    {
      ReleaseGil unlocked;
      glm_scan(shared, markers, step, **pool, std::span<double>(out_data, m * (q0 + 3)));
    }
    return out.release();
  });
}

PyMethodDef kGlmDef = {"glmf32", fastcall(glmf32), kFastcallFlags, kGlmSig.docstring()};

const Registered kGlmRegistered("glmf32",
                                [](PyObject* module) { return make_function(&kGlmDef, module); });

}  // namespace
}  // namespace korvex::py
