// The seeded Gaussian generator against the reference vectors in the shared test data folder:
// keystream words, deviates of two seeds, and a long run that goes through the tail and rejection
// branches of the ziggurat. Every comparison is bitwise.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "svd/gaussian.hpp"

namespace korvex {
namespace {

std::string testdata(const char* name) { return std::string(KORVEX_TESTDATA_DIR) + "/" + name; }

// Non-empty lines that are not comments.
std::vector<std::string> data_lines(const char* name) {
  std::ifstream in(testdata(name));
  EXPECT_TRUE(in.good()) << "cannot open " << testdata(name);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    lines.push_back(line);
  }
  return lines;
}

std::vector<double> decimal_deviates(const char* name) {
  std::vector<double> out;
  for (const auto& line : data_lines(name)) out.push_back(std::strtod(line.c_str(), nullptr));
  return out;
}

void expect_bitwise(const std::vector<double>& want, std::uint64_t seed) {
  auto rng = GaussianRng::from_seed(seed);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const double got = rng.next_standard_normal();
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want[i]))
        << "seed " << seed << " deviate " << i << ": got " << got << ", want " << want[i];
  }
}

TEST(GaussianRng, KeystreamWordsOfSeedZero) {
  const auto lines = data_lines("gaussian_u64_seed0.txt");
  ASSERT_EQ(lines.size(), 8u);
  auto rng = GaussianRng::from_seed(0);
  for (const auto& line : lines) EXPECT_EQ(rng.next_u64(), std::stoull(line, nullptr, 16));
}

TEST(GaussianRng, FirstDeviatesOfSeedZeroAndMax) {
  const auto seed0 = decimal_deviates("gaussian_seed0_first64.txt");
  const auto seedmax = decimal_deviates("gaussian_seedmax_first64.txt");
  ASSERT_EQ(seed0.size(), 64u);
  ASSERT_EQ(seedmax.size(), 64u);
  expect_bitwise(seed0, 0);
  expect_bitwise(seedmax, UINT64_MAX);
  EXPECT_NE(seed0, seedmax);
}

// 20,000 deviates consume more than 312 keystream buffers, cross refills at odd draw counts and
// take the wedge rejection branch a few hundred times. (They contain no tail draw: no value lies
// beyond R; the tail is checked separately below.)
TEST(GaussianRng, LongRunOfSeedSevenBitExact) {
  std::ifstream in(testdata("gaussian_seed7_20000.f64le"), std::ios::binary);
  ASSERT_TRUE(in.good());
  std::vector<double> want(20000);
  in.read(reinterpret_cast<char*>(want.data()), static_cast<std::streamsize>(want.size() * 8));
  ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(want.size() * 8));
  static_assert(std::endian::native == std::endian::little);
  expect_bitwise(want, 7);
}

TEST(GaussianRng, TablesMatchPublishedValues) {
  using gaussian_detail::kZigF;
  using gaussian_detail::kZigX;
  EXPECT_EQ(kZigX[0], 3.91075795953709);
  EXPECT_EQ(kZigX[1], 3.6541528853610088);
  EXPECT_EQ(kZigX[2], 3.4492782985609645);
  EXPECT_EQ(kZigX[255], 0.2152418959132738);
  EXPECT_EQ(kZigX[256], 0.0);
  EXPECT_EQ(kZigF[1], 0.001260285930498598);
  EXPECT_EQ(kZigF[3], 0.004037972593371872);
  EXPECT_EQ(kZigF[94], 0.2064054063986793);
  EXPECT_EQ(kZigF[256], 1.0);
  for (int i = 1; i < 256; ++i) {
    EXPECT_GT(kZigX[i], kZigX[i + 1]) << i;
    EXPECT_LT(kZigF[i], kZigF[i + 1]) << i;
    // Every F entry is f(X) within one unit in the last place.
    const double f = std::exp(-kZigX[i] * kZigX[i] / 2.0);
    const auto ulps = std::bit_cast<std::int64_t>(kZigF[i]) - std::bit_cast<std::int64_t>(f);
    EXPECT_LE(std::abs(ulps), 1) << i;
  }
}

// The tail branch, transcribed a second time from the rule on a shadow copy of the stream: layer
// 0 with |u * X[0]| >= R draws pairs (a, c) of open uniforms until -2 ln c >= (ln a / R)^2 and
// returns R - ln(a) / R with the sign of u. Seed 0 reaches it five times in its first 20,000 deviates.
TEST(GaussianRng, TailDrawsFollowTheRule) {
  using gaussian_detail::kZigR;
  using gaussian_detail::kZigX;
  auto rng = GaussianRng::from_seed(0);
  std::size_t tails = 0;
  for (int n = 0; n < 20000; ++n) {
    auto shadow = rng;  // same position in the keystream
    const double got = rng.next_standard_normal();
    const std::uint64_t b = shadow.next_u64();
    const double u = std::bit_cast<double>((b >> 12) | 0x4000000000000000ull) - 3.0;
    if ((b & 0xFF) != 0 || std::fabs(u * kZigX[0]) < kZigX[1]) continue;
    ++tails;
    double t;
    double y;
    do {
      const auto a = std::bit_cast<double>((shadow.next_u64() >> 12) | 0x3FF0000000000000ull);
      const auto c = std::bit_cast<double>((shadow.next_u64() >> 12) | 0x3FF0000000000000ull);
      t = std::log(a - (1.0 - 0x1p-53)) / kZigR;
      y = std::log(c - (1.0 - 0x1p-53));
    } while (-2.0 * y < t * t);
    const double want = u < 0.0 ? t - kZigR : kZigR - t;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << n;
    EXPECT_GT(std::fabs(got), kZigR);
    // Both copies consumed the same words: the next draws agree.
    EXPECT_EQ(shadow.next_u64(), GaussianRng(rng).next_u64());
  }
  EXPECT_EQ(tails, 5u);
}

TEST(GaussianRng, Open01StaysInsideTheOpenInterval) {
  auto rng = GaussianRng::from_seed(3);
  for (int i = 0; i < 10000; ++i) {
    const double u = rng.open01();
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(GaussianTestMatrix, RowMajorDrawOrderAndColumnMajorStorage) {
  const auto want = decimal_deviates("gaussian_seed0_first64.txt");
  auto rng = GaussianRng::from_seed(0);
  const auto row_major = gaussian_test_matrix(rng, 4, 16);
  auto rng2 = GaussianRng::from_seed(0);
  const auto col_major = gaussian_test_matrix(rng2, 4, 16, MatrixOrder::ColMajor);
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 16; ++j) {
      EXPECT_EQ(row_major[i * 16 + j], want[i * 16 + j]);
      EXPECT_EQ(col_major[j * 4 + i], want[i * 16 + j]);
    }
  // Prefix consistency: a 1 x c matrix is the first row of any r x c matrix of the same seed.
  auto rng3 = GaussianRng::from_seed(0);
  const auto first_row = gaussian_test_matrix(rng3, 1, 16);
  EXPECT_TRUE(std::equal(first_row.begin(), first_row.end(), row_major.begin()));
  auto rng4 = GaussianRng::from_seed(0);
  EXPECT_TRUE(gaussian_test_matrix(rng4, 0, 16).empty());
}

}  // namespace
}  // namespace korvex
