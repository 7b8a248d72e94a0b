// Mixed-model internals: the Cholesky helpers, the REML likelihood, Brent's search and the final
// fit, checked against hand-worked examples.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "assoc/cholesky.hpp"
#include "assoc/lmm.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// `actual` rounds to `expected`, which is given to `digits` significant digits.
::testing::AssertionResult Near(double actual, double expected, int digits) {
  const double exponent = std::floor(std::log10(std::fabs(expected)));
  const double tol = 0.5 * std::pow(10.0, exponent - digits + 1) * (1 + 1e-9);
  if (std::fabs(actual - expected) <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual << " differs from " << expected << " beyond "
                                       << digits << " significant digits";
}

// ---- Cholesky -----------------------------------------------------------------------------------

TEST(LmmCholesky, FactorAndSolveMatchHandValues) {
  // A = L L' with L = [[2, 0, 0], [1, 3, 0], [-1, 0.5, 1.5]].
  std::vector<double> a = {4, 2, -2, 2, 10, 0.5, -2, 0.5, 3.5};
  ASSERT_TRUE(cholesky_in_place(a, 3));
  const std::vector<double> l = {2, 0, 0, 1, 3, 0, -1, 0.5, 1.5};
  for (std::size_t i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(a[i], l[i]) << i;
  // A x = b with x = (1, -2, 3).
  std::vector<double> b = {4 - 4 - 6, 2 - 20 + 1.5, -2 - 1 + 10.5};
  std::vector<double> x(3);
  cholesky_solve(a, 3, b, x);
  EXPECT_NEAR(x[0], 1, 1e-14);
  EXPECT_NEAR(x[1], -2, 1e-14);
  EXPECT_NEAR(x[2], 3, 1e-14);
  // The solve may work in place.
  cholesky_solve(a, 3, b, b);
  EXPECT_EQ(b, x);
}

TEST(LmmCholesky, PivotThresholdAndDegenerateSizes) {
  std::vector<double> empty;
  EXPECT_TRUE(cholesky_in_place(empty, 0));
  cholesky_solve(empty, 0, empty, empty);  // nothing to do, must not touch memory

  std::vector<double> tiny = {1e-18};  // the threshold itself fails
  EXPECT_FALSE(cholesky_in_place(tiny, 1));
  std::vector<double> above = {2e-18};
  EXPECT_TRUE(cholesky_in_place(above, 1));
  EXPECT_DOUBLE_EQ(above[0], std::sqrt(2e-18));

  // Singular 2 x 2: second pivot is 0.
  std::vector<double> singular = {1, 1, 1, 1};
  EXPECT_FALSE(cholesky_in_place(singular, 2));
  std::vector<double> indefinite = {-1, 0, 0, 1};
  EXPECT_FALSE(cholesky_in_place(indefinite, 2));

  // A NaN pivot is not a failure: it propagates into the rest of the factor.
  std::vector<double> nan_pivot = {kNaN, 0, 0, 1};
  EXPECT_TRUE(cholesky_in_place(nan_pivot, 2));
  EXPECT_TRUE(std::isnan(nan_pivot[0]));
  EXPECT_TRUE(std::isnan(nan_pivot[3]));
}

TEST(LmmCholesky, ClearsUpperTriangle) {
  std::vector<double> a = {4, 7, 2, 5};  // upper entry 7 is ignored and cleared
  ASSERT_TRUE(cholesky_in_place(a, 2));
  EXPECT_EQ(a[1], 0.0);
  EXPECT_DOUBLE_EQ(a[0], 2.0);
  EXPECT_DOUBLE_EQ(a[2], 1.0);
  EXPECT_DOUBLE_EQ(a[3], 2.0);
}

// ---- REML ---------------------------------------------------------------------------------------

struct Example {
  std::vector<double> s, xcov, y;
  std::size_t p;
  std::vector<double> g;
  LmmInputs inputs() const { return LmmInputs{s, xcov, p, y}; }
};

Example example_a() {
  return {{2, 1, 0.5, 0.1}, {1, 1, 1, 1}, {1, 2, 3, 5}, 1, {0, 1, 2, 3}};
}

Example example_b() {
  return {{3, 2, 1.5, 1, 0.5, 0.2},
          {1, 0.3, 1, -0.2, 1, 0.8, 1, 0.1, 1, -0.5, 1, 0.4},
          {0.5, 1.7, 2.2, 3.9, 4.1, 6.3},
          2,
          {0, 1, 2, 1, 0, 2}};
}

RemlWorkspace workspace_for(const Example& ex) {
  RemlWorkspace ws(ex.y.size(), ex.p);
  ws.g = ex.g;
  return ws;
}

TEST(LmmReml, WorkedExampleA) {
  const Example ex = example_a();
  RemlWorkspace ws = workspace_for(ex);
  const LmmInputs in = ex.inputs();
  EXPECT_TRUE(Near(reml_log_likelihood(in, -1, ws), -2.76056147383, 12));
  EXPECT_TRUE(Near(reml_log_likelihood(in, 0, ws), -2.58519273161, 12));
  EXPECT_TRUE(Near(reml_log_likelihood(in, 1, ws), -2.46145844418, 12));
  const LmmSnpResult r = reml_final_fit(in, 0, ws);
  EXPECT_TRUE(Near(r.beta, 1.370656337, 10));
  EXPECT_TRUE(Near(r.se, 0.1885576083, 10));
  EXPECT_TRUE(Near(r.p, 3.617167929e-13, 10));
  EXPECT_EQ(r.lambda, 1.0);
}

TEST(LmmReml, WorkedExampleB) {
  const Example ex = example_b();
  RemlWorkspace ws = workspace_for(ex);
  const LmmInputs in = ex.inputs();
  EXPECT_TRUE(Near(reml_log_likelihood(in, -1, ws), -7.60531664851, 12));
  EXPECT_TRUE(Near(reml_log_likelihood(in, 0, ws), -7.61362160368, 12));
  EXPECT_TRUE(Near(reml_log_likelihood(in, 0.5, ws), -7.63552508207, 12));

  std::uint64_t calls = 0;
  auto f = [&](double x) {
    ++calls;
    return -reml_log_likelihood(in, x, ws);
  };
  const BrentResult best = brent_minimize(f, -3, 3, 50, 1e-2);
  EXPECT_NEAR(best.x, -0.66495, 5e-6);
  EXPECT_EQ(best.trials, 10u);
  EXPECT_EQ(calls, 11u);  // the midpoint plus the trials

  const LmmSnpResult r = reml_fit_marker(in, RemlSearch{-3, 3, 50, 1e-2}, ws);
  EXPECT_NEAR(r.beta, 3.018178, 5e-6);
  EXPECT_NEAR(r.se, 1.616127, 5e-6);
  EXPECT_NEAR(r.p, 0.0618266, 5e-7);
  EXPECT_NEAR(r.lambda, 0.2162972, 5e-7);
  EXPECT_EQ(r.lambda, std::pow(10.0, best.x));
}

TEST(LmmReml, LikelihoodFailuresGiveFailureValue) {
  Example ex = example_a();
  RemlWorkspace ws = workspace_for(ex);
  const LmmInputs in = ex.inputs();
  EXPECT_EQ(reml_log_likelihood(in, 400, ws), kRemlFailure);   // 10^x overflows
  EXPECT_EQ(reml_log_likelihood(in, -400, ws), kRemlFailure);  // 10^x underflows to 0
  EXPECT_EQ(reml_log_likelihood(in, kNaN, ws), kRemlFailure);

  Example neg = example_a();
  neg.s[2] = -2;  // s + lambda <= 0 at lambda = 1
  RemlWorkspace ws_neg = workspace_for(neg);
  EXPECT_EQ(reml_log_likelihood(neg.inputs(), 0, ws_neg), kRemlFailure);
  EXPECT_TRUE(std::isnan(reml_final_fit(neg.inputs(), 0, ws_neg).beta));
  EXPECT_EQ(reml_final_fit(neg.inputs(), 0, ws_neg).lambda, 1.0);

  // RSS = 0 (a zero phenotype) makes the likelihood infinite, which counts as a failure.
  Example perfect = example_a();
  perfect.y = {0, 0, 0, 0};
  RemlWorkspace ws_perfect = workspace_for(perfect);
  EXPECT_EQ(reml_log_likelihood(perfect.inputs(), 0, ws_perfect), kRemlFailure);
}

TEST(LmmReml, TooFewSamplesWalksTowardsLow) {
  // n = 2, p = 1: n <= p + 1, every evaluation fails and every trial is accepted.
  Example ex{{1, 2}, {1, 1}, {0.5, 1.5}, 1, {0, 1}};
  RemlWorkspace ws = workspace_for(ex);
  const LmmInputs in = ex.inputs();
  EXPECT_EQ(reml_log_likelihood(in, 0, ws), kRemlFailure);
  std::uint64_t calls = 0;
  auto f = [&](double x) {
    ++calls;
    return -reml_log_likelihood(in, x, ws);
  };
  const BrentResult best = brent_minimize(f, -5, 5, 50, 0.01);
  EXPECT_NEAR(best.x, -4.9425, 5e-5);
  EXPECT_EQ(best.trials, 9u);
  const LmmSnpResult r = reml_final_fit(in, best.x, ws);
  EXPECT_TRUE(std::isnan(r.beta));
  EXPECT_TRUE(std::isnan(r.se));
  EXPECT_EQ(r.p, 1.0);
  EXPECT_EQ(r.lambda, std::pow(10.0, best.x));
}

TEST(LmmReml, BrentEdgeCases) {
  std::uint64_t calls = 0;
  auto quad = [&](double x) {
    ++calls;
    return (x - 1.25) * (x - 1.25);
  };
  // max_iter = 0: the midpoint, one evaluation.
  BrentResult r = brent_minimize(quad, -5, 3, 0, 0.01);
  EXPECT_EQ(r.x, -1.0);
  EXPECT_EQ(r.trials, 0u);
  EXPECT_EQ(calls, 1u);
  // Interior minima left and right of the midpoint are found to the tolerance.
  for (double target : {-2.0, 3.7}) {
    auto g = [&](double x) { return (x - target) * (x - target); };
    r = brent_minimize(g, -5, 5, 50, 0.01);
    EXPECT_NEAR(r.x, target, 0.01 * std::fabs(target) * 3) << target;
  }
  // A NaN tolerance counts as 1e-12; a NaN bound gives a NaN point.
  auto g = [](double x) { return (x - 0.3) * (x - 0.3); };
  r = brent_minimize(g, -1, 1, 200, kNaN);
  EXPECT_NEAR(r.x, 0.3, 1e-8);
  r = brent_minimize(g, kNaN, 1, 50, 0.01);
  EXPECT_TRUE(std::isnan(r.x));
}

TEST(LmmReml, FinalFitFailureRecords) {
  const Example ex = example_a();
  RemlWorkspace ws = workspace_for(ex);
  const LmmInputs in = ex.inputs();
  for (double x : {400.0, -400.0, kNaN}) {
    const LmmSnpResult r = reml_final_fit(in, x, ws);
    EXPECT_TRUE(std::isnan(r.beta));
    EXPECT_TRUE(std::isnan(r.se));
    EXPECT_EQ(r.p, 1.0);
    EXPECT_TRUE(std::isnan(r.lambda));
  }
  // An all-zero marker: the ridge keeps the system positive definite and beta is exactly 0.
  RemlWorkspace zero(4, 1);
  zero.g.assign(4, 0.0);
  const LmmSnpResult z = reml_final_fit(in, 0, zero);
  EXPECT_EQ(z.beta, 0.0);
  EXPECT_TRUE(std::isfinite(z.se));
  EXPECT_GT(z.se, 0.0);
  EXPECT_EQ(z.p, 1.0);
}

// ---- fixed lambda -------------------------------------------------------------------------------

TEST(LmmAssoc, WorkedExamples) {
  for (const Example& ex : {example_a(), example_b()}) {
    const LmmInputs in = ex.inputs();
    auto fit = fit_null_model(in, 1.0);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(fit->df, static_cast<std::int32_t>(ex.y.size() - ex.p - 1));
    std::vector<float> g(ex.g.begin(), ex.g.end());
    std::vector<double> xwg(ex.p), zz(ex.p);
    const AssocRow r = lmm_assoc_marker(in, *fit, g.data(), xwg, zz);
    if (ex.p == 1) {
      EXPECT_TRUE(Near(r.beta, 1.370656375, 10));
      EXPECT_TRUE(Near(r.se, 0.1885577689, 10));
      EXPECT_TRUE(Near(r.p, 3.617328234e-13, 10));
    } else {
      EXPECT_TRUE(Near(r.beta, 2.587777074, 10));
      EXPECT_TRUE(Near(r.se, 1.590226613, 10));
      EXPECT_TRUE(Near(r.p, 0.1036732235, 10));
    }
  }
}

TEST(LmmAssoc, NullModelFailures) {
  Example ex = example_a();
  ex.s[1] = -1.0;  // s + lambda = 0 at lambda = 1
  auto fit = fit_null_model(ex.inputs(), 1.0);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().message, "non-positive s[i]+lbd");
  EXPECT_EQ(fit.error().kind, ErrorKind::OperationFailed);

  // A zero covariate column still factorises thanks to the ridge (1e-8 > 1e-18).
  Example zero_cov = example_a();
  zero_cov.xcov = {0, 0, 0, 0};
  EXPECT_TRUE(fit_null_model(zero_cov.inputs(), 1.0).has_value());

  // Two identical columns of 2^20 with unit weights: X'WX = 2^42 everywhere, the ridge is lost
  // in rounding and the second pivot is exactly 0.
  const double big = 1048576.0;
  Example twin{
      {0, 0, 0, 0}, {big, big, big, big, big, big, big, big}, {1, 2, 3, 4}, 2, {0, 1, 0, 1}};
  fit = fit_null_model(twin.inputs(), 1.0);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().message, "X'WX not SPD");
}

// Small covariate counts run through kernels specialised at compile time; they must give the same
// bits as the general loops.
TEST(LmmKernels, SpecialisedAndGeneralPathsAgreeBitwise) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal;
  const std::size_t n = 37;
  for (std::size_t p : {0, 1, 2, 3, 5, 6, 7, 9}) {
    std::vector<double> s(n), x(n * p), y(n);
    std::vector<float> g32(n);
    for (std::size_t i = 0; i < n; ++i) {
      s[i] = std::fabs(normal(rng)) * 2;
      y[i] = normal(rng);
      g32[i] = static_cast<float>(normal(rng));
    }
    for (auto& v : x) v = normal(rng);
    const LmmInputs in{s, x, p, y};
    RemlWorkspace fast(n, p), general(n, p);
    fast.g.assign(g32.begin(), g32.end());
    general.g = fast.g;
    for (double at : {-2.0, -0.3, 0.0, 0.7, 3.0}) {
      EXPECT_EQ(reml_log_likelihood(in, at, fast),
                detail::reml_log_likelihood_general(in, at, general))
          << "p=" << p << " x=" << at;
      const LmmSnpResult a = reml_final_fit(in, at, fast);
      const LmmSnpResult b = detail::reml_final_fit_general(in, at, general);
      EXPECT_EQ(a.beta, b.beta) << p;
      EXPECT_EQ(a.se, b.se) << p;
      EXPECT_EQ(a.p, b.p) << p;
    }
    auto fit = fit_null_model(in, 0.8);
    ASSERT_TRUE(fit.has_value());
    std::vector<double> xwg(p), zz(p);
    const AssocRow a = lmm_assoc_marker(in, *fit, g32.data(), xwg, zz);
    const AssocRow b = detail::lmm_assoc_marker_general(in, *fit, g32.data(), xwg, zz);
    EXPECT_EQ(a.beta, b.beta) << p;
    EXPECT_EQ(a.se, b.se) << p;
    EXPECT_EQ(a.p, b.p) << p;
    EXPECT_TRUE(std::isfinite(a.beta)) << p;
  }
}

}  // namespace
}  // namespace korvex
