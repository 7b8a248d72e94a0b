// The dense randomized SVD against a plain transcription of its arithmetic: scalar loops in the
// documented order (each output element adds its terms in increasing row or column order, zero
// entries skipped), the same Gaussian stream, QR and finish_from_projection. The fast kernels
// (AVX2 and baseline, dense and sparse paths) must reproduce it bit for bit.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "svd/dense_svd.hpp"
#include "svd/gaussian.hpp"

namespace korvex {
namespace {

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

SvdFactors reference_svd(const std::vector<double>& a, std::size_t m, std::size_t n, std::size_t k,
                         std::size_t l, std::size_t n_iter, std::uint64_t seed) {
  auto rng = GaussianRng::from_seed(seed);
  const std::vector<double> omega = gaussian_test_matrix(rng, n, l);
  auto times = [&](const std::vector<double>& mat) {  // A * mat, mat n x l
    std::vector<double> y(m * l, 0.0);
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t c = 0; c < n; ++c) {
        const double x = a[r * n + c];
        if (x == 0.0) continue;
        for (std::size_t j = 0; j < l; ++j) y[r * l + j] += x * mat[c * l + j];
      }
    return y;
  };
  std::vector<double> y = times(omega);
  for (std::size_t it = 0; it < n_iter; ++it) {
    std::vector<double> z(n * l, 0.0);
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t c = 0; c < n; ++c) {
        const double x = a[r * n + c];
        if (x == 0.0) continue;
        for (std::size_t j = 0; j < l; ++j) z[c * l + j] += x * y[r * l + j];
      }
    y = times(z);
  }
  Eigen::Map<RowMajorMatrix> ym(y.data(), static_cast<Eigen::Index>(m),
                                static_cast<Eigen::Index>(l));
  Eigen::MatrixXd ycol = ym;
  Eigen::HouseholderQR<Eigen::MatrixXd> qr(ycol);
  const Eigen::MatrixXd qthin =
      qr.householderQ() * Eigen::MatrixXd::Identity(static_cast<Eigen::Index>(m),
                                                    static_cast<Eigen::Index>(l));
  std::vector<double> q(m * l);
  Eigen::Map<RowMajorMatrix>(q.data(), static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(l)) =
      qthin;
  std::vector<double> b(l * n, 0.0);
  for (std::size_t r = 0; r < m; ++r)
    for (std::size_t j = 0; j < l; ++j) {
      const double qj = q[r * l + j];
      if (qj == 0.0) continue;
      for (std::size_t c = 0; c < n; ++c) b[j * n + c] += qj * a[r * n + c];
    }
  return finish_from_projection(q, m, b, n, l, k, true);
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want,
                      const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
        << what << "[" << i << "]: " << got[i] << " vs " << want[i];
}

// Rows of every density (all zero, a few non-zeros, half, dense), with signed zeros among the
// entries.
std::vector<double> mixed_matrix(std::size_t m, std::size_t n, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> unit;
  std::vector<double> a(m * n);
  for (std::size_t r = 0; r < m; ++r) {
    // Groups of 16 rows alternate between sparse, mixed and dense, so that the row-tiled kernels
    // take their sparse and their dense paths.
    static const double kSparse[5] = {0.0, 0.05, 0.15, 0.1, 0.02};
    static const double kMixed[5] = {0.0, 0.05, 0.45, 1.0, 0.6};
    const std::size_t group = (r / 16) % 3;
    const double keep = group == 0 ? kSparse[r % 5] : group == 1 ? kMixed[r % 5] : 1.0;
    for (std::size_t c = 0; c < n; ++c) {
      const double x = normal(gen);
      a[r * n + c] = unit(gen) < keep ? x : (c % 2 ? -0.0 : 0.0);
    }
  }
  return a;
}

struct Case {
  std::size_t m, n, k, oversample, n_iter;
};

class DenseSvdExact : public ::testing::TestWithParam<Case> {};

TEST_P(DenseSvdExact, KernelsMatchPlainLoopsBitForBit) {
  const Case c = GetParam();
  const auto a = mixed_matrix(c.m, c.n, static_cast<std::uint32_t>(c.m * 31 + c.n));
  const auto want = reference_svd(a, c.m, c.n, c.k, c.k + c.oversample, c.n_iter, 42);
  for (bool baseline : {false, true}) {
    dense_svd_detail::force_baseline_kernels(baseline);
    for (std::uint64_t block : {0u, 1u, 7u, 1000000u}) {
      auto got = randomized_svd_dense(a, c.m, c.n, c.k, c.oversample, c.n_iter, block, 42);
      ASSERT_TRUE(got.has_value()) << got.error().message;
      SCOPED_TRACE(testing::Message() << "baseline " << baseline << " block " << block);
      expect_same_bits(got->s, want.s, "S");
      expect_same_bits(got->left, want.left, "U");
      expect_same_bits(got->right, want.right, "Vt");
    }
  }
  dense_svd_detail::force_baseline_kernels(false);
}

// Sketch widths around the vector width and the kernel chunk sizes (l = 1, 4, 13, 20, 30, 53).
INSTANTIATE_TEST_SUITE_P(Widths, DenseSvdExact,
                         ::testing::Values(Case{37, 23, 1, 0, 2}, Case{50, 41, 3, 1, 1},
                                           Case{64, 30, 5, 8, 0}, Case{101, 60, 10, 10, 2},
                                           Case{45, 70, 20, 10, 1}, Case{90, 80, 50, 3, 2},
                                           Case{70, 131, 7, 5, 2}));

TEST(DenseSvd, NonFiniteInputFails) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e300}) {
    auto a = mixed_matrix(30, 20, 5);
    a[7 * 20 + 3] = bad;
    if (bad == 1e300) std::fill(a.begin(), a.end(), 1e300);  // finite input, overflowing products
    const auto got = randomized_svd_dense(a, 30, 20, 3, 5, 2, 0, 1);
    ASSERT_FALSE(got.has_value()) << bad;
    EXPECT_EQ(got.error().message, kNonFiniteMessage);
    EXPECT_EQ(got.error().kind, ErrorKind::OperationFailed);
  }
}

TEST(FinishFromProjection, SortsStablyAndZeroesNullDirections) {
  // Q = I (3 x 3), B = diag(1, 3, 3) with a zero row appended as a fourth direction: G = B B^T has
  // eigenvalues 9, 9, 1, 0. The left factor is skipped on request; rows of the right factor with
  // S = 0 are zero.
  const std::size_t l = 4, cols = 5;
  std::vector<double> q(6 * l, 0.0);
  for (std::size_t i = 0; i < l; ++i) q[i * l + i] = 1.0;
  std::vector<double> b(l * cols, 0.0);
  b[0 * cols + 0] = 1.0;
  b[1 * cols + 1] = 3.0;
  b[2 * cols + 2] = -3.0;
  const auto f = finish_from_projection(q, 6, b, cols, l, 4, false);
  EXPECT_TRUE(f.left.empty());
  ASSERT_EQ(f.s.size(), 4u);
  EXPECT_DOUBLE_EQ(f.s[0], 3.0);
  EXPECT_DOUBLE_EQ(f.s[1], 3.0);
  EXPECT_DOUBLE_EQ(f.s[2], 1.0);
  EXPECT_EQ(f.s[3], 0.0);
  for (std::size_t c = 0; c < cols; ++c) EXPECT_EQ(f.right[3 * cols + c], 0.0);
  // Rows of the right factor are unit vectors (B rows scaled by 1/S).
  for (std::size_t t = 0; t < 3; ++t) {
    double norm = 0.0;
    for (std::size_t c = 0; c < cols; ++c) norm += f.right[t * cols + c] * f.right[t * cols + c];
    EXPECT_NEAR(norm, 1.0, 1e-14);
  }
  const auto with_left = finish_from_projection(q, 6, b, cols, l, 2, true);
  ASSERT_EQ(with_left.left.size(), 6u * 2u);
  EXPECT_EQ(with_left.s, std::vector<double>(f.s.begin(), f.s.begin() + 2));
}

TEST(FinishFromProjection, NanEigenvalueRule) {
  const std::size_t l = 2, cols = 2;
  std::vector<double> q = {1, 0, 0, 1};
  std::vector<double> b = {std::numeric_limits<double>::quiet_NaN(), 0, 0, 1};
  const auto zero = finish_from_projection(q, 2, b, cols, l, 2, true, NanEigenvalue::Zero);
  for (double s : zero.s) EXPECT_FALSE(std::isnan(s));
  const auto keep = finish_from_projection(q, 2, b, cols, l, 2, true, NanEigenvalue::Keep);
  EXPECT_TRUE(std::any_of(keep.s.begin(), keep.s.end(), [](double s) { return std::isnan(s); }));
}

}  // namespace
}  // namespace korvex
