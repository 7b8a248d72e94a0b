// lmm_reml_chunk_f32 and lmm_assoc_chunk_f32: the mixed-model scans over float32 rotated markers.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "assoc/lmm.hpp"
#include "assoc/py_marker_rows.hpp"
#include "module/py_binding.hpp"
#include "module/worker_pool.hpp"

namespace korvex::py {
namespace {

const Signature kRemlSig("lmm_reml_chunk_f32",
                         {{"s"},
                          {"xcov"},
                          {"y_rot"},
                          {"low"},
                          {"high"},
                          {"g_rot_chunk"},
                          {"max_iter", "50"},
                          {"tol", "1e-2"},
                          {"threads", "0"}});

const Signature kAssocSig("lmm_assoc_chunk_f32", {{"s"},
                                                  {"xcov"},
                                                  {"y_rot"},
                                                  {"log10_lbd"},
                                                  {"g_rot_chunk"},
                                                  {"threads", "0"}});

bool is_c_contiguous(PyObject* array) {
  return PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(array));
}

PyObject* lmm_reml_chunk_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kRemlSig);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    ArrayView<double, 1> s;
    ArrayView<double, 2> xcov;
    ArrayView<double, 1> y_rot;
    RemlSearch search;
    ArrayView<float, 2> g;
    std::uint64_t threads = 0;
    if (!a.get(0, s) || !require_contiguous(s, "s") || !a.get(1, xcov) || !a.get(2, y_rot) ||
        !require_contiguous(y_rot, "y_rot") || !a.get(3, search.low) || !a.get(4, search.high) ||
        !a.get(5, g) || !a.get(6, search.max_iter) || !a.get(7, search.tol) ||
        !a.get(8, threads))
      return nullptr;

    const std::size_t n = y_rot.shape[0];
    if (auto ok = check_reml_inputs(s.shape[0], n, xcov.shape[0], g.shape[1], search.low,
                                    search.high);
        !ok)
      return raise(ok.error());

    const std::size_t p = xcov.shape[1];
    const std::vector<double> x = xcov.to_row_major();
    const MarkerRows markers = marker_rows(g);
    const std::size_t m = markers.rows;

    double* bsp_data = nullptr;
    Ref beta_se_p(zeros_f64({static_cast<npy_intp>(m), 3}, bsp_data));
    if (!beta_se_p) return nullptr;
    if (!is_c_contiguous(beta_se_p.get()))
      return raise(ModuleError{ErrorKind::OperationFailed, "beta_se_p not contiguous"});
    double* lambda_data = nullptr;
    Ref lambdas(zeros_f64({static_cast<npy_intp>(m)}, lambda_data));
    if (!lambdas) return nullptr;
    if (!is_c_contiguous(lambdas.get()))
      return raise(ModuleError{ErrorKind::OperationFailed, "lambdas not contiguous"});

    auto pool = make_scan_pool(threads);
    if (!pool) return raise(pool.error());
    const LmmInputs inputs{std::span<const double>(s.data(), n), x, p,
                           std::span<const double>(y_rot.data(), n)};
    {
      ReleaseGil unlocked;
      lmm_reml_scan(inputs, markers, search, **pool, std::span<double>(bsp_data, 3 * m),
                    std::span<double>(lambda_data, m));
    }
    return tuple_of({beta_se_p.release(), lambdas.release()});
  });
}

PyObject* lmm_assoc_chunk_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(kAssocSig);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    ArrayView<double, 1> s;
    ArrayView<double, 2> xcov;
    ArrayView<double, 1> y_rot;
    double log10_lbd = 0.0;
    ArrayView<float, 2> g;
    std::uint64_t threads = 0;
    if (!a.get(0, s) || !require_contiguous(s, "s") || !a.get(1, xcov) || !a.get(2, y_rot) ||
        !require_contiguous(y_rot, "y_rot") || !a.get(3, log10_lbd) || !a.get(4, g) ||
        !a.get(5, threads))
      return nullptr;

    const std::size_t n = y_rot.shape[0];
    const std::size_t p = xcov.shape[1];
    auto lambda = check_assoc_inputs(s.shape[0], n, xcov.shape[0], p, g.shape[1], log10_lbd);
    if (!lambda) return raise(lambda.error());

    const MarkerRows markers = marker_rows(g);
    const std::size_t m = markers.rows;
    double* out_data = nullptr;
    Ref out(zeros_f64({static_cast<npy_intp>(m), 3}, out_data));
    if (!out) return nullptr;
    if (!is_c_contiguous(out.get()))
      return raise(ModuleError{ErrorKind::OperationFailed, "out not contiguous"});
    // xcov is read in place, row by row.
    if (!xcov.c_contiguous)
      return raise(ModuleError{ErrorKind::OperationFailed, "xcov must be contiguous (C-order)"});

    const LmmInputs inputs{std::span<const double>(s.data(), n),
                           std::span<const double>(xcov.data(), n * p), p,
                           std::span<const double>(y_rot.data(), n)};
    auto fit = fit_null_model(inputs, *lambda);
    if (!fit) return raise(fit.error());

    auto pool = make_scan_pool(threads);
    if (!pool) return raise(pool.error());
    {
      ReleaseGil unlocked;
      lmm_assoc_scan(inputs, *fit, markers, **pool, std::span<double>(out_data, 3 * m));
    }
    return out.release();
  });
}

PyMethodDef kRemlDef = {"lmm_reml_chunk_f32", fastcall(lmm_reml_chunk_f32), kFastcallFlags,
                        kRemlSig.docstring()};
PyMethodDef kAssocDef = {"lmm_assoc_chunk_f32", fastcall(lmm_assoc_chunk_f32), kFastcallFlags,
                         kAssocSig.docstring()};

const Registered kRemlRegistered("lmm_reml_chunk_f32",
                                 [](PyObject* module) { return make_function(&kRemlDef, module); });
const Registered kAssocRegistered("lmm_assoc_chunk_f32", [](PyObject* module) {
  return make_function(&kAssocDef, module);
});

}  // namespace
}  // namespace korvex::py
