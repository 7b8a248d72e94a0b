// Linear-mixed-model marker scans in the eigenbasis of the sample relationship matrix.
//
// The caller has rotated the phenotype, the covariates and the markers by the eigenvectors of the
// relationship matrix, so that the model of every marker is
//     y_rot = [xcov | g] * beta + e,   e ~ Normal(0, sigma^2 * diag(s_i + lambda)),
// with s the eigenvalues and lambda the ratio of residual to genetic variance.
//
//  * The REML scan estimates lambda per marker: a Brent search over x = log10(lambda) in
//    [low, high] maximises the restricted log-likelihood (sigma^2 profiled out), then the weighted
//    least-squares fit at that lambda gives the marker's beta, se and Wald p-value.
//  * The fixed-lambda scan uses one lambda for every marker: the covariates-only weighted fit
//    (NullModelFit) is computed once, and each marker is tested by the partitioned (Frisch-Waugh)
//    form of the weighted fit.
//
// Every marker is an independent task, so results never depend on the number of threads. The
// arithmetic of each step (order of summation, constants, guards) is part of the contract.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "assoc/marker_rows.hpp"
#include "module/error.hpp"
#include "module/worker_pool.hpp"

namespace korvex {

// Value of a likelihood evaluation that failed (invalid lambda, too few samples, a non-positive
// variance, a matrix that is not positive definite, or a non-finite result).
inline constexpr double kRemlFailure = -1e8;
// Ridge added to the diagonal of X'WX in the REML likelihood and the REML final fit.
inline constexpr double kRemlRidge = 1e-6;
// Ridge added to the diagonal of X'WX in the covariates-only fit of the fixed-lambda scan.
inline constexpr double kNullRidge = 1e-8;
// A marker whose weighted residual sum of squares after the covariates is not above this carries no
// information in the fixed-lambda scan.
inline constexpr double kMinMarkerSs = 1e-12;
// ln(2 pi).
inline constexpr double kLog2Pi = 1.8378770664093453;
inline constexpr double kDoubleEpsilon = 2.220446049250313e-16;
// Golden-section fraction of Brent's method, (3 - sqrt(5)) / 2 rounded as the method prescribes.
inline constexpr double kGoldenStep = 0.381966;

// Read-only inputs shared by every marker of a scan (n samples, p covariates).
struct LmmInputs {
  std::span<const double> s;      // n eigenvalues
  std::span<const double> xcov;   // n x p rotated covariates, row-major
  std::size_t p = 0;
  std::span<const double> y_rot;  // n rotated phenotype values
  std::size_t n() const { return y_rot.size(); }
};

// One marker's result: its coefficient, standard error, two-sided p-value and the lambda used.
struct LmmSnpResult {
  double beta;
  double se;
  double p;
  double lambda;
};

// ---- REML scan ----------------------------------------------------------------------------------

// Scratch of one worker of the REML scan, sized for n samples and p covariates and reused for
// every marker and every likelihood evaluation the worker makes. Only `g` is allocated when
// n <= p + 1 (no evaluation can succeed then).
struct RemlWorkspace {
  RemlWorkspace(std::size_t n, std::size_t p);
  std::vector<double> g;     // n: the marker widened to double
  std::vector<double> w;     // n: 1 / (s_i + lambda)
  std::vector<double> a;     // (p+1)^2: X_aug' W X_aug, then its Cholesky factor
  std::vector<double> xtwy;  // p+1
  std::vector<double> beta;  // p+1
  std::vector<double> unit;  // p+1: the unit vector of the marker's column, then its solve
};

// Restricted log-likelihood of the marker held in ws.g at log10(lambda) = x; kRemlFailure when
// lambda is not positive and finite, n <= p + 1, some s_i + lambda <= 0, X_aug'WX_aug + ridge is
// not positive definite, or the value is not finite.
double reml_log_likelihood(const LmmInputs& in, double x, RemlWorkspace& ws);

// Weighted least-squares fit of the marker held in ws.g at log10(lambda) = x. Failures give
// (NaN, NaN, 1, lambda), with lambda NaN when 10^x is not positive and finite.
LmmSnpResult reml_final_fit(const LmmInputs& in, double x, RemlWorkspace& ws);

struct BrentResult {
  double x;                 // the point reached
  std::uint64_t trials;     // evaluations made after the one at the midpoint
};

// Minimises f over [low, high] by Brent's method (golden section and parabolic interpolation),
// starting from the midpoint, with at most max_iter trial evaluations and the relative tolerance
// max(|tol|, 1e-12) (a NaN tol counts as 1e-12).
template <class F>
BrentResult brent_minimize(F&& f, double low, double high, std::uint64_t max_iter, double tol) {
  double a = low;
  double b = high;
  const double abs_tol = std::fabs(tol);
  const double tol_eff = abs_tol > 1e-12 ? abs_tol : 1e-12;
  double x = (low + high) / 2;
  double w = x;
  double v = x;
  double fx = f(x);
  double fw = fx;
  double fv = fx;
  double e = 0.0;
  BrentResult result{x, 0};
  for (std::uint64_t iter = 0; iter < max_iter; ++iter) {
    // A NaN point (NaN or infinite bounds) stays NaN through every later step, since every
    // candidate is x + d: stop instead of spending the remaining iterations.
    if (std::isnan(x)) break;
    const double xm = (a + b) / 2;
    const double tol1 = tol_eff * std::fabs(x) + kDoubleEpsilon;
    const double tol2 = 2 * tol1;
    if (std::fabs(x - xm) <= tol2 - (b - a) / 2) break;
    double d = 0.0;
    bool parabolic = false;
    if (std::fabs(e) > tol1) {
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double pp = (x - v) * q - (x - w) * r;
      q = 2 * (q - r);
      if (!(std::fabs(q) <= kDoubleEpsilon)) {
        if (q > 0) pp = -pp;
        q = std::fabs(q);
        const double dp = pp / q;
        const double up = x + dp;
        if (up - a >= tol2 && b - up >= tol2 && std::fabs(dp) < 0.5 * std::fabs(e)) {
          d = dp;
          parabolic = true;
        }
      }
    }
    if (!parabolic) {
      e = (x >= xm) ? a - x : b - x;
      d = kGoldenStep * e;
    }
    if (std::fabs(d) < tol1) d = (d >= 0) ? tol1 : -tol1;
    const double u = x + d;
    const double fu = f(u);
    ++result.trials;
    if (fu <= fx) {
      if (u >= x) a = x;
      else b = x;
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      if (u < x) a = u;
      else b = u;
      if (fu <= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  result.x = x;
  return result;
}

struct RemlSearch {
  double low = 0.0;
  double high = 0.0;
  std::uint64_t max_iter = 50;
  double tol = 1e-2;
};

// The whole per-marker REML procedure for the marker held in ws.g: search, then final fit.
LmmSnpResult reml_fit_marker(const LmmInputs& in, const RemlSearch& search, RemlWorkspace& ws);

// Argument checks of the REML scan, in order: xcov rows, len(s), g_rot_chunk columns, low < high.
Status check_reml_inputs(std::size_t s_len, std::size_t y_len, std::size_t xcov_rows,
                         std::size_t g_cols, double low, double high);

// Scans every marker of `g` on `pool`; marker e writes beta_se_p[3e .. 3e+2] and lambdas[e].
// The spans must hold 3 * g.rows and g.rows values.
void lmm_reml_scan(const LmmInputs& in, const MarkerRows& g, const RemlSearch& search,
                   WorkerPool& pool, std::span<double> beta_se_p, std::span<double> lambdas);

// ---- fixed-lambda scan --------------------------------------------------------------------------

// The covariates-only weighted least-squares fit at the fixed lambda, shared by every marker.
struct NullModelFit {
  double lambda = 0.0;
  std::vector<float> w;      // n: 1 / (s_i + lambda) rounded to float32
  double ywy = 0.0;          // y' W y
  std::vector<double> xtwy;  // p: X' W y
  std::vector<double> l0;    // p x p: Cholesky factor of X'WX + 1e-8 I
  std::vector<double> beta0; // p: covariate coefficients
  double z = 0.0;            // XtWy . beta0
  std::int32_t df = 0;       // n - p - 1
};

// Argument checks of the fixed-lambda scan, in order: xcov rows, len(s), g_rot_chunk columns,
// n > p + 1, lambda = 10^log10_lbd positive and finite. Returns lambda.
Result<double> check_assoc_inputs(std::size_t s_len, std::size_t y_len, std::size_t xcov_rows,
                                  std::size_t p, std::size_t g_cols, double log10_lbd);

// Weights, null-model sums, factorisation, beta0, Z and df; fails with "non-positive s[i]+lbd",
// "X'WX not SPD" or "df <= 0".
Result<NullModelFit> fit_null_model(const LmmInputs& in, double lambda);

// Tests every marker of `g` at the null model's lambda on `pool`; marker e writes
// out[3e .. 3e+2] = (beta, se, p). `out` must hold 3 * g.rows values.
void lmm_assoc_scan(const LmmInputs& in, const NullModelFit& fit, const MarkerRows& g,
                    WorkerPool& pool, std::span<double> out);

// One marker of the fixed-lambda scan, given as n float32 values; `xwg` and `zz` are p-vectors of
// scratch. Returns (beta, se, p).
struct AssocRow {
  double beta;
  double se;
  double p;
};
AssocRow lmm_assoc_marker(const LmmInputs& in, const NullModelFit& fit, const float* g,
                          std::span<double> xwg, std::span<double> zz);

// The same computations through the general loops that serve any number of covariates (small
// counts normally take kernels specialised at compile time); for tests that both agree bitwise.
namespace detail {
double reml_log_likelihood_general(const LmmInputs& in, double x, RemlWorkspace& ws);
LmmSnpResult reml_final_fit_general(const LmmInputs& in, double x, RemlWorkspace& ws);
AssocRow lmm_assoc_marker_general(const LmmInputs& in, const NullModelFit& fit, const float* g,
                                  std::span<double> xwg, std::span<double> zz);
}  // namespace detail

}  // namespace korvex
