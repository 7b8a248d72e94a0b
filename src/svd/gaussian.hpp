// GaussianRng: the seeded generator of standard normal deviates behind every randomized test
// matrix.
//
// The stream is fixed bit for bit, so a seed gives the same matrix on every machine:
//  * key: eight 32-bit words expanded from the 64-bit seed by the PCG32 step (state * MUL + INC,
//    output = ((s >> 18) ^ s) >> 27 rotated right by s >> 59);
//  * keystream: ChaCha with 12 rounds, 64-bit block counter from 0, 64-bit nonce 0; blocks are
//    produced four at a time into a 64-word buffer (the buffering is not observable);
//  * next_u64: two consecutive keystream words, the first one as the low half;
//  * next_standard_normal: the symmetric 256-layer ziggurat over next_u64 draws.
//
// gaussian_test_matrix draws rows * cols deviates; deviate number i * cols + j is entry (i, j)
// whatever the storage order the caller asks for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvex {

class GaussianRng {
 public:
  static GaussianRng from_seed(std::uint64_t seed);

  std::uint64_t next_u64();
  // One N(0, 1) deviate.
  double next_standard_normal();
  // A uniform deviate strictly inside (0, 1): 52 random mantissa bits in [1, 2), minus 1 - 2^-53.
  double open01();

 private:
  GaussianRng() = default;
  void refill();

  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;           // next block to produce
  std::array<std::uint32_t, 64> buf_{};  // four keystream blocks
  std::size_t pos_ = 64;                 // next unread word of buf_; 64 = empty
};

enum class MatrixOrder { RowMajor, ColMajor };

// Fills a rows x cols matrix with consecutive deviates in row-by-row draw order. With RowMajor
// entry (i, j) is stored at i * cols + j, with ColMajor at j * rows + i; the values are the same.
std::vector<double> gaussian_test_matrix(GaussianRng& rng, std::size_t rows, std::size_t cols,
                                         MatrixOrder order = MatrixOrder::RowMajor);

namespace gaussian_detail {
// The ziggurat tables: X[0..256] layer edges (X[0] = V / f(R), X[1] = R, X[256] = 0) and
// F[i] = exp(-X[i]^2 / 2) for i >= 1 (F[0] is never read). Exposed for tests.
extern const double kZigX[257];
extern const double kZigF[257];
inline constexpr double kZigR = 3.6541528853610088;
}  // namespace gaussian_detail

}  // namespace korvex
