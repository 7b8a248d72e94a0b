#include "assoc/lmm.hpp"

#include <algorithm>
#include <cfloat>
#include <limits>
#include <memory>
#include <utility>

#include "assoc/cholesky.hpp"
#include "assoc/pvalues.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool positive_finite(double v) { return v > 0 && std::isfinite(v); }

// Double to the nearest float32 (ties to even), saturating to infinity the way IEEE rounding does,
// without the undefined behaviour of converting an out-of-range double in C++.
float nearest_float(double v) {
  if (std::fabs(v) <= static_cast<double>(FLT_MAX)) return static_cast<float>(v);
  if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
  // Above FLT_MAX: values below FLT_MAX + half an ulp (2^103) still round down to FLT_MAX.
  const double limit = static_cast<double>(FLT_MAX) + 0x1p103;
  const float mag = std::fabs(v) < limit ? FLT_MAX : std::numeric_limits<float>::infinity();
  return v < 0 ? -mag : mag;
}

// Covariate counts up to this get kernels with the count fixed at compile time, so that every
// running sum can live in a register; larger counts take the general loops. Both paths perform the
// same operations in the same order, so they give the same bits.
constexpr std::size_t kMaxFixedCovariates = 6;

// Weights w_i = 1 / (s_i + lambda) into ws.w, and with WithLogs the sum of ln(s_i + lambda) in
// sample order. Returns false when some s_i + lambda <= 0.
template <bool WithLogs>
bool compute_weights(const LmmInputs& in, double lambda, RemlWorkspace& ws, double& sum_log_v) {
  const std::size_t n = in.n();
  const double* s = in.s.data();
  double* w = ws.w.data();
  // Branch-free so that the divisions vectorise; the logarithms follow in a loop of their own.
  bool non_positive = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = s[i] + lambda;
    non_positive |= v <= 0;
    w[i] = 1.0 / v;
  }
  if (non_positive) return false;
  if constexpr (WithLogs) {
    double log_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) log_sum += std::log(s[i] + lambda);
    sum_log_v = log_sum;
  }
  return true;
}

// Adds the ridge to the diagonal of the k x k matrix and mirrors its lower triangle upwards.
void finish_normal_matrix(double* a, std::size_t k) {
  for (std::size_t c = 0; c < k; ++c) a[c * k + c] += kRemlRidge;
  for (std::size_t c = 0; c < k; ++c)
    for (std::size_t l = 0; l < c; ++l) a[l * k + c] = a[c * k + l];
}

// Lower triangle of X_aug' W X_aug and X_aug' W y over the samples in order (W from ws.w, the
// marker from ws.g): for each column c, t = x_i[c] * w_i, XtWy[c] += y_i * t, and
// A[c][l] += x_i[l] * t for l <= c. Then the ridge and the mirror copy.
void accumulate_general(const LmmInputs& in, RemlWorkspace& ws) {
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  const std::size_t k = p + 1;
  double* a = ws.a.data();
  double* xtwy = ws.xtwy.data();
  std::fill(a, a + k * k, 0.0);
  std::fill(xtwy, xtwy + k, 0.0);
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const double* g = ws.g.data();
  const double* w = ws.w.data();
  double* a_marker = a + p * k;  // row of the marker's column
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w[i];
    const double yi = y[i];
    const double* xi = x + i * p;
    for (std::size_t c = 0; c < p; ++c) {
      const double t = xi[c] * wi;
      xtwy[c] += yi * t;
      double* ac = a + c * k;
      for (std::size_t l = 0; l <= c; ++l) ac[l] += xi[l] * t;
    }
    const double gi = g[i];
    const double t = gi * wi;
    xtwy[p] += yi * t;
    for (std::size_t l = 0; l < p; ++l) a_marker[l] += xi[l] * t;
    a_marker[p] += gi * t;
  }
  finish_normal_matrix(a, k);
}

template <std::size_t P>
void accumulate_fixed(const LmmInputs& in, RemlWorkspace& ws) {
  constexpr std::size_t K = P + 1;
  double acc[K * (K + 1) / 2] = {};  // lower triangle, row by row
  double xty[K] = {};
  const std::size_t n = in.n();
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const double* g = ws.g.data();
  const double* w = ws.w.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w[i];
    const double yi = y[i];
    double xi[K];
    for (std::size_t c = 0; c < P; ++c) xi[c] = x[i * P + c];
    xi[P] = g[i];
    std::size_t idx = 0;
    for (std::size_t c = 0; c < K; ++c) {
      const double t = xi[c] * wi;
      xty[c] += yi * t;
      for (std::size_t l = 0; l <= c; ++l) acc[idx++] += xi[l] * t;
    }
  }
  double* a = ws.a.data();
  std::size_t idx = 0;
  for (std::size_t c = 0; c < K; ++c) {
    ws.xtwy[c] = xty[c];
    for (std::size_t l = 0; l <= c; ++l) a[c * K + l] = acc[idx++];
  }
  finish_normal_matrix(a, K);
}

// sum over i of w_i * (y_rot[i] - x_i . beta)^2 for the marker held in ws.g.
double weighted_rss_general(const LmmInputs& in, const RemlWorkspace& ws) {
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const double* g = ws.g.data();
  const double* w = ws.w.data();
  const double* beta = ws.beta.data();
  const double beta_g = beta[p];
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = x + i * p;
    double fitted = 0.0;
    for (std::size_t c = 0; c < p; ++c) fitted += xi[c] * beta[c];
    fitted += g[i] * beta_g;
    const double r = y[i] - fitted;
    rss += w[i] * (r * r);
  }
  return rss;
}

template <std::size_t P>
double weighted_rss_fixed(const LmmInputs& in, const RemlWorkspace& ws) {
  const std::size_t n = in.n();
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const double* g = ws.g.data();
  const double* w = ws.w.data();
  double beta[P + 1];
  for (std::size_t c = 0; c <= P; ++c) beta[c] = ws.beta[c];
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double fitted = 0.0;
    for (std::size_t c = 0; c < P; ++c) fitted += x[i * P + c] * beta[c];
    fitted += g[i] * beta[P];
    const double r = y[i] - fitted;
    rss += w[i] * (r * r);
  }
  return rss;
}

template <std::size_t... P>
void accumulate_dispatch(const LmmInputs& in, RemlWorkspace& ws, std::index_sequence<P...>) {
  const bool fixed = ((in.p == P ? (accumulate_fixed<P>(in, ws), true) : false) || ...);
  if (!fixed) accumulate_general(in, ws);
}

template <std::size_t... P>
double rss_dispatch(const LmmInputs& in, const RemlWorkspace& ws, std::index_sequence<P...>) {
  double rss = 0.0;
  const bool fixed = ((in.p == P ? (rss = weighted_rss_fixed<P>(in, ws), true) : false) || ...);
  return fixed ? rss : weighted_rss_general(in, ws);
}

using FixedCounts = std::make_index_sequence<kMaxFixedCovariates + 1>;

void accumulate(const LmmInputs& in, RemlWorkspace& ws, bool general) {
  if (general) accumulate_general(in, ws);
  else accumulate_dispatch(in, ws, FixedCounts{});
}

double weighted_rss(const LmmInputs& in, const RemlWorkspace& ws, bool general) {
  return general ? weighted_rss_general(in, ws) : rss_dispatch(in, ws, FixedCounts{});
}

double wald_p_value(double beta, double se) {
  if (!(std::isfinite(beta) && se > 0 && std::isfinite(se))) return 1.0;
  const double pv = normal_p_two_sided(beta / se);
  return std::isfinite(pv) ? pv : 1.0;
}

// Markers per task of a scan: small enough to balance the workers, large enough that handing out
// a task costs nothing next to its work. Results do not depend on it.
std::size_t scan_grain(std::size_t m, std::size_t workers, std::size_t max_grain) {
  const std::size_t per_worker = m / (8 * std::max<std::size_t>(workers, 1));
  return std::clamp<std::size_t>(per_worker, 1, max_grain);
}

}  // namespace

// With n <= p + 1 every likelihood evaluation and every final fit fails before touching the
// (p + 1)-sized buffers, so they stay empty: a chunk with many covariates and few samples must not
// cost (p + 1)^2 doubles per worker (or overflow that size) only to report failure records.
RemlWorkspace::RemlWorkspace(std::size_t n, std::size_t p)
    : g(n),
      w(n > p + 1 ? n : 0),
      a(n > p + 1 ? (p + 1) * (p + 1) : 0),
      xtwy(n > p + 1 ? p + 1 : 0),
      beta(n > p + 1 ? p + 1 : 0),
      unit(n > p + 1 ? p + 1 : 0) {}

namespace {

double log_likelihood_impl(const LmmInputs& in, double x, RemlWorkspace& ws, bool general) {
  const double lambda = std::pow(10.0, x);
  if (!positive_finite(lambda)) return kRemlFailure;
  const std::size_t n = in.n();
  const std::size_t k = in.p + 1;
  if (n <= k) return kRemlFailure;
  double sum_log_v = 0.0;
  if (!compute_weights<true>(in, lambda, ws, sum_log_v)) return kRemlFailure;
  accumulate(in, ws, general);
  if (!cholesky_in_place(ws.a, k)) return kRemlFailure;
  double log_diag = 0.0;
  for (std::size_t j = 0; j < k; ++j) log_diag += std::log(ws.a[j * k + j]);
  const double logdet = 2 * log_diag;
  cholesky_solve(ws.a, k, ws.xtwy, ws.beta);
  const double rss = weighted_rss(in, ws, general);
  const double df = static_cast<double>(n) - static_cast<double>(k);
  const double ll = 0.5 * df * (std::log(df) - 1 - kLog2Pi) -
                    0.5 * (logdet + df * std::log(rss) + sum_log_v);
  return std::isfinite(ll) ? ll : kRemlFailure;
}

LmmSnpResult final_fit_impl(const LmmInputs& in, double x, RemlWorkspace& ws, bool general) {
  const double lambda = std::pow(10.0, x);
  if (!positive_finite(lambda)) return {kNaN, kNaN, 1.0, kNaN};
  const LmmSnpResult failed{kNaN, kNaN, 1.0, lambda};
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  const std::size_t k = p + 1;
  if (n <= k) return failed;
  double unused = 0.0;
  if (!compute_weights<false>(in, lambda, ws, unused)) return failed;
  accumulate(in, ws, general);
  if (!cholesky_in_place(ws.a, k)) return failed;
  cholesky_solve(ws.a, k, ws.xtwy, ws.beta);
  const double rss = weighted_rss(in, ws, general);
  std::fill(ws.unit.begin(), ws.unit.end(), 0.0);
  ws.unit[p] = 1.0;
  cholesky_solve(ws.a, k, ws.unit, ws.unit);
  const double df = static_cast<double>(n) - static_cast<double>(k);
  const double var = rss / df * ws.unit[p];
  if (!positive_finite(var)) return failed;
  const double beta = ws.beta[p];
  const double se = std::sqrt(var);
  return {beta, se, wald_p_value(beta, se), lambda};
}

}  // namespace

double reml_log_likelihood(const LmmInputs& in, double x, RemlWorkspace& ws) {
  return log_likelihood_impl(in, x, ws, false);
}

LmmSnpResult reml_final_fit(const LmmInputs& in, double x, RemlWorkspace& ws) {
  return final_fit_impl(in, x, ws, false);
}

namespace detail {
double reml_log_likelihood_general(const LmmInputs& in, double x, RemlWorkspace& ws) {
  return log_likelihood_impl(in, x, ws, true);
}
LmmSnpResult reml_final_fit_general(const LmmInputs& in, double x, RemlWorkspace& ws) {
  return final_fit_impl(in, x, ws, true);
}
}  // namespace detail

LmmSnpResult reml_fit_marker(const LmmInputs& in, const RemlSearch& search, RemlWorkspace& ws) {
  auto f = [&](double x) { return -reml_log_likelihood(in, x, ws); };
  const BrentResult best = brent_minimize(f, search.low, search.high, search.max_iter, search.tol);
  return reml_final_fit(in, best.x, ws);
}

Status check_reml_inputs(std::size_t s_len, std::size_t y_len, std::size_t xcov_rows,
                         std::size_t g_cols, double low, double high) {
  if (xcov_rows != y_len) return operation_failed("Xcov.n_rows must equal len(y_rot)");
  if (s_len != y_len) return operation_failed("len(S) must equal len(y_rot)");
  if (g_cols != y_len) return operation_failed("g_rot_chunk must be (m_chunk, n)");
  if (low >= high) return operation_failed("low must be < high");
  return {};
}

void lmm_reml_scan(const LmmInputs& in, const MarkerRows& g, const RemlSearch& search,
                   WorkerPool& pool, std::span<double> beta_se_p, std::span<double> lambdas) {
  const std::size_t m = g.rows;
  const std::size_t n = in.n();
  std::vector<std::unique_ptr<RemlWorkspace>> spaces(pool.size());
  pool.parallel_for(0, m, scan_grain(m, pool.size(), 16),
                    [&](std::size_t lo, std::size_t hi, std::size_t worker) {
                      auto& slot = spaces[worker];
                      if (!slot) slot = std::make_unique<RemlWorkspace>(n, in.p);
                      RemlWorkspace& ws = *slot;
                      for (std::size_t e = lo; e < hi; ++e) {
                        g.copy_row(e, ws.g.data());
                        const LmmSnpResult r = reml_fit_marker(in, search, ws);
                        beta_se_p[3 * e] = r.beta;
                        beta_se_p[3 * e + 1] = r.se;
                        beta_se_p[3 * e + 2] = r.p;
                        lambdas[e] = r.lambda;
                      }
                    });
}

// ---- fixed lambda -------------------------------------------------------------------------------

Result<double> check_assoc_inputs(std::size_t s_len, std::size_t y_len, std::size_t xcov_rows,
                                  std::size_t p, std::size_t g_cols, double log10_lbd) {
  if (xcov_rows != y_len) return operation_failed("Xcov.n_rows must equal len(y_rot)");
  if (s_len != y_len) return operation_failed("len(S) must equal len(y_rot)");
  if (g_cols != y_len) return operation_failed("g_rot_chunk must be (m, n)");
  if (p + 1 >= y_len) return operation_failed("n must be > p_cov+1");
  const double lambda = std::pow(10.0, log10_lbd);
  if (!positive_finite(lambda)) return operation_failed("invalid log10_lbd");
  return lambda;
}

Result<NullModelFit> fit_null_model(const LmmInputs& in, double lambda) {
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  NullModelFit fit;
  fit.lambda = lambda;
  fit.w.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = in.s[i] + lambda;
    if (v <= 0) return operation_failed("non-positive s[i]+lbd");
    fit.w[i] = nearest_float(1.0 / v);
  }
  fit.xtwy.assign(p, 0.0);
  fit.l0.assign(p * p, 0.0);
  double* a = fit.l0.data();
  double* xtwy = fit.xtwy.data();
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  double ywy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = static_cast<double>(fit.w[i]);
    const double yi = y[i];
    ywy += yi * (wi * yi);
    const double* xi = x + i * p;
    for (std::size_t c = 0; c < p; ++c) {
      const double t = wi * xi[c];
      xtwy[c] += yi * t;
      double* ac = a + c * p;
      for (std::size_t l = 0; l <= c; ++l) ac[l] += t * xi[l];
    }
  }
  fit.ywy = ywy;
  for (std::size_t c = 0; c < p; ++c) a[c * p + c] += kNullRidge;
  for (std::size_t c = 0; c < p; ++c)
    for (std::size_t l = 0; l < c; ++l) a[l * p + c] = a[c * p + l];
  if (!cholesky_in_place(fit.l0, p)) return operation_failed("X'WX not SPD");
  fit.beta0.assign(p, 0.0);
  cholesky_solve(fit.l0, p, fit.xtwy, fit.beta0);
  double z = 0.0;
  for (std::size_t c = 0; c < p; ++c) z += fit.xtwy[c] * fit.beta0[c];
  fit.z = z;
  // df is held as a 32-bit integer; a count that does not fit cannot be represented.
  const std::size_t df = n - p - 1;  // n > p + 1 was checked by the caller
  if (n <= p + 1 || df > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return operation_failed("df <= 0");
  fit.df = static_cast<std::int32_t>(df);
  return fit;
}

namespace {

// The marker's weighted products: XWg (into xwg), gWg and gWy, in sample order.
struct MarkerSums {
  double gwg;
  double gwy;
};

MarkerSums marker_sums_general(const LmmInputs& in, const NullModelFit& fit, const float* g,
                               std::span<double> xwg) {
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const float* w = fit.w.data();
  std::fill(xwg.begin(), xwg.end(), 0.0);
  double* xg = xwg.data();
  double gwg = 0.0;
  double gwy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double gi = static_cast<double>(g[i]);
    const double mi = static_cast<double>(w[i]) * gi;
    const double* xi = x + i * p;
    for (std::size_t j = 0; j < p; ++j) xg[j] += xi[j] * mi;
    gwg += gi * mi;
    gwy += y[i] * mi;
  }
  return {gwg, gwy};
}

template <std::size_t P>
MarkerSums marker_sums_fixed(const LmmInputs& in, const NullModelFit& fit, const float* g,
                             std::span<double> xwg) {
  const std::size_t n = in.n();
  const double* y = in.y_rot.data();
  const double* x = in.xcov.data();
  const float* w = fit.w.data();
  double xg[P + 1] = {};  // one spare slot keeps the array non-empty for P = 0
  double gwg = 0.0;
  double gwy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double gi = static_cast<double>(g[i]);
    const double mi = static_cast<double>(w[i]) * gi;
    for (std::size_t j = 0; j < P; ++j) xg[j] += x[i * P + j] * mi;
    gwg += gi * mi;
    gwy += y[i] * mi;
  }
  for (std::size_t j = 0; j < P; ++j) xwg[j] = xg[j];
  return {gwg, gwy};
}

template <std::size_t... P>
MarkerSums marker_sums_dispatch(const LmmInputs& in, const NullModelFit& fit, const float* g,
                                std::span<double> xwg, std::index_sequence<P...>) {
  MarkerSums sums{};
  const bool fixed =
      ((in.p == P ? (sums = marker_sums_fixed<P>(in, fit, g, xwg), true) : false) || ...);
  return fixed ? sums : marker_sums_general(in, fit, g, xwg);
}

AssocRow assoc_marker_impl(const LmmInputs& in, const NullModelFit& fit, const float* g,
                           std::span<double> xwg, std::span<double> zz, bool general) {
  const std::size_t p = in.p;
  const MarkerSums sums = general ? marker_sums_general(in, fit, g, xwg)
                                  : marker_sums_dispatch(in, fit, g, xwg, FixedCounts{});
  const double* xg = xwg.data();
  cholesky_solve(fit.l0, p, xwg, zz);
  double proj = 0.0;
  for (std::size_t j = 0; j < p; ++j) proj += xg[j] * zz[j];
  const double s = sums.gwg - proj;
  if (!(s > kMinMarkerSs) || !std::isfinite(s)) return {kNaN, kNaN, kNaN};
  double cross = 0.0;
  for (std::size_t j = 0; j < p; ++j) cross += xg[j] * fit.beta0[j];
  const double diff = sums.gwy - cross;
  const double beta = diff / s;
  const double rss1 = fit.ywy - (diff * diff / s + fit.z);
  const double rss_pos = rss1 > 0 ? rss1 : 0.0;  // a NaN RSS1 counts as 0
  const double var = rss_pos / static_cast<double>(fit.df) / s;
  const double se = std::sqrt(var);
  double pv = 1.0;
  if (var > 0 && std::isfinite(se) && std::isfinite(beta)) {
    pv = normal_p_two_sided(beta / se);
    if (!std::isfinite(pv)) pv = 1.0;
  }
  return {beta, se, pv};
}

}  // namespace

AssocRow lmm_assoc_marker(const LmmInputs& in, const NullModelFit& fit, const float* g,
                          std::span<double> xwg, std::span<double> zz) {
  return assoc_marker_impl(in, fit, g, xwg, zz, false);
}

namespace detail {
AssocRow lmm_assoc_marker_general(const LmmInputs& in, const NullModelFit& fit, const float* g,
                                  std::span<double> xwg, std::span<double> zz) {
  return assoc_marker_impl(in, fit, g, xwg, zz, true);
}
}  // namespace detail

void lmm_assoc_scan(const LmmInputs& in, const NullModelFit& fit, const MarkerRows& g,
                    WorkerPool& pool, std::span<double> out) {
  const std::size_t m = g.rows;
  const std::size_t n = in.n();
  const std::size_t p = in.p;
  struct Scratch {
    std::vector<double> xwg, zz;
    std::vector<float> row;  // a marker with non-adjacent elements, gathered
  };
  std::vector<std::unique_ptr<Scratch>> spaces(pool.size());
  pool.parallel_for(0, m, scan_grain(m, pool.size(), 1024),
                    [&](std::size_t lo, std::size_t hi, std::size_t worker) {
                      auto& slot = spaces[worker];
                      if (!slot) {
                        slot = std::make_unique<Scratch>();
                        slot->xwg.resize(p);
                        slot->zz.resize(p);
                      }
                      Scratch& sc = *slot;
                      for (std::size_t e = lo; e < hi; ++e) {
                        const float* row = g.contiguous_row(e);
                        if (row == nullptr) {
                          sc.row.resize(n);
                          g.copy_row(e, sc.row.data());
                          row = sc.row.data();
                        }
                        const AssocRow r = lmm_assoc_marker(in, fit, row, sc.xwg, sc.zz);
                        out[3 * e] = r.beta;
                        out[3 * e + 1] = r.se;
                        out[3 * e + 2] = r.p;
                      }
                    });
}

}  // namespace korvex
