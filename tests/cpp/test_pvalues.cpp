// Two-sided Student-t and normal p-values, and the incomplete-beta continued fraction they use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "assoc/pvalues.hpp"

namespace {

using korvex::beta_continued_fraction;
using korvex::kMinPValue;
using korvex::normal_p_two_sided;
using korvex::student_t_p_two_sided;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Agreement to `digits` significant digits.
void expect_digits(double got, double want, int digits) {
  EXPECT_NEAR(got, want, std::fabs(want) * 0.5 * std::pow(10.0, 1 - digits)) << "got " << got;
}

TEST(PValues, StudentTReferenceValues) {
  struct Case {
    double t, df, p;
  };
  // Two-sided tails of Student's t (SciPy: 2 * t.sf(|t|, df)).
  const Case cases[] = {
      {2.0, 10.0, 0.07338803477074037},  {-2.0, 10.0, 0.07338803477074037},
      {3.5, 3.0, 0.039481037619282774},  {10.0, 100.0, 9.90168898459413e-17},
      {-10.0, 100.0, 9.90168898459413e-17},
  };
  for (const auto& c : cases) expect_digits(student_t_p_two_sided(c.t, c.df), c.p, 10);
  // Cauchy (df = 1): x = 0.5 exactly.
  expect_digits(student_t_p_two_sided(1.0, 1.0), 0.5, 14);
  expect_digits(student_t_p_two_sided(-1.0, 1.0), 0.5, 14);
}

TEST(PValues, StudentTEdgeValues) {
  EXPECT_EQ(student_t_p_two_sided(0.0, 7.0), 1.0);
  EXPECT_EQ(student_t_p_two_sided(-0.0, 1.0), 1.0);
  // t^2 overflows: x = 0, reported as the smallest normal double, never 0.
  EXPECT_EQ(student_t_p_two_sided(1e200, 10.0), kMinPValue);
  EXPECT_EQ(student_t_p_two_sided(-1e200, 10.0), kMinPValue);
  EXPECT_EQ(student_t_p_two_sided(kInf, 10.0), kMinPValue);
  EXPECT_EQ(student_t_p_two_sided(-kInf, 10.0), kMinPValue);
  EXPECT_TRUE(std::isnan(student_t_p_two_sided(kNaN, 10.0)));
  // A tail far below the smallest double is clamped, not 0.
  EXPECT_EQ(student_t_p_two_sided(1e5, 1000.0), kMinPValue);
  EXPECT_EQ(kMinPValue, std::numeric_limits<double>::min());
}

TEST(PValues, StudentTFiniteInputsStayInRange) {
  const double dfs[] = {1.0, 2.0, 3.0, 10.0, 97.0, 1e4, 1e6};
  const double ts[] = {1e-300, 1e-8, 0.5, 1.0, 1.96, 4.0, 37.0, 1e3, 1e8, 1e150, 1e160};
  for (double df : dfs) {
    double previous = 1.0;
    for (double t : ts) {
      for (double sign : {1.0, -1.0}) {
        const double p = student_t_p_two_sided(sign * t, df);
        EXPECT_TRUE(p >= kMinPValue && p <= 1.0) << "t=" << sign * t << " df=" << df << " p=" << p;
      }
      const double p = student_t_p_two_sided(t, df);
      EXPECT_LE(p, previous) << "tail must not grow with |t|: t=" << t << " df=" << df;
      previous = p;
    }
  }
}

TEST(PValues, NormalReferenceValues) {
  EXPECT_EQ(normal_p_two_sided(0.0), 1.0);
  expect_digits(normal_p_two_sided(3.0), 0.0026997960632601918, 10);
  expect_digits(normal_p_two_sided(-3.0), 0.0026997960632601918, 10);
  expect_digits(normal_p_two_sided(1.959963984540054), 0.05, 10);
  // erfc underflows to 0: clamped to the smallest normal double.
  EXPECT_EQ(normal_p_two_sided(40.0), kMinPValue);
  EXPECT_EQ(normal_p_two_sided(-40.0), kMinPValue);
  EXPECT_EQ(normal_p_two_sided(kInf), kMinPValue);
  EXPECT_EQ(normal_p_two_sided(1e-300), 1.0);
}

TEST(PValues, BetaContinuedFraction) {
  // I_x(a, b) = x^a (1 - x)^b / (a B(a, b)) * cf(a, b, x).
  auto incomplete_beta = [](double a, double b, double x) {
    const double beta = std::tgamma(a) * std::tgamma(b) / std::tgamma(a + b);
    return std::pow(x, a) * std::pow(1.0 - x, b) / (a * beta) * beta_continued_fraction(a, b, x);
  };
  // SciPy betainc references.
  expect_digits(incomplete_beta(2.0, 3.0, 0.4), 0.5248, 12);
  expect_digits(incomplete_beta(5.0, 0.5, 0.3), 0.0006913033857629756, 12);
  // The first denominator is exactly 0 (1 - (a + b) x / (a + 1) = 0): the tiny-value guard lets the
  // fraction recover. I_0.5(1, 3) = 1 - 0.5^3.
  expect_digits(incomplete_beta(1.0, 3.0, 0.5), 0.875, 12);
  // NaN never converges: all 200 steps run and NaN comes back.
  EXPECT_TRUE(std::isnan(beta_continued_fraction(2.0, 3.0, kNaN)));
  // Far from convergence after 200 steps (huge a and b near the mean): the value reached is
  // returned, finite, not an error.
  const double capped = beta_continued_fraction(1e7, 1e7, 0.5);
  EXPECT_TRUE(std::isfinite(capped));
  EXPECT_GT(capped, 0.0);
}

}  // namespace
