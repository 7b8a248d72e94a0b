// Dense blocked randomized SVD and finish_from_projection.
//
// Exactness of the products. Every accumulator (a row of Y, Z or B) starts at +0.0 and receives
// its terms in increasing row (or column) order, one rounded multiplication and one rounded
// addition per term; no fused multiply-add is used (the vector kernels are built for AVX2 without FMA), so the
// AVX2 and the baseline kernels give the same bits. Skipping a zero entry of A is equivalent to
// adding the term 0 * w = +-0 as long as w is finite: in round-to-nearest an accumulator that
// starts at +0.0 can never become -0.0, and x + (+-0) == x for every x other than -0.0. The
// multiplicands are finite whenever a product is computed with a dense kernel: Omega always, Y and
// Z because they are checked after each product (a non-finite value ends the call), and A once the
// first product is known to be finite (any NaN or infinite entry of A makes its row of Y
// non-finite). So a kernel may either skip zeros (sparse rows: less work) or add them (dense rows:
// branch-free vector code) and the result is bitwise the same; the block height only groups rows.
#include "svd/dense_svd.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>

#include "svd/gaussian.hpp"

namespace korvex {

namespace {

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// ---- vector helpers (GCC vector extensions: AVX registers in the AVX2 build, SSE2 pairs in the
// baseline build; element-wise IEEE arithmetic either way) ----------------------------------------

// The helpers below are always inlined, so the AVX argument-passing ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4d __attribute__((vector_size(32)));

#define KORVEX_INLINE inline __attribute__((always_inline))

KORVEX_INLINE v4d load4(const double* p) {
  v4d v;
  __builtin_memcpy(&v, p, sizeof(v));
  return v;
}
KORVEX_INLINE void store4(double* p, const v4d& v) { __builtin_memcpy(p, &v, sizeof(v)); }
KORVEX_INLINE v4d splat(double x) { return v4d{x, x, x, x}; }

// Padded sketch width: the working matrices Omega, Y and Z keep L >= l columns (a multiple of 4)
// so that rows are whole vectors. Column j of a product depends only on column j of its operand,
// so the padding columns (zero, or whatever they become) never mix into the real ones.
std::size_t padded_width(std::size_t l) { return (l + 3) / 4 * 4; }

// The passes Z = A^T Y and B = Q^T A take the rows of each block in tiles of consecutive rows, so
// that a tile's rows of A and of Y (or Q) stay in cache while its terms are added column by
// column. Tiling only regroups the work: every accumulator still receives its terms in increasing
// row order.
constexpr std::size_t kTileRows = 16;

// Rows (or tiles) whose share of non-zero entries is at most this take the sparse paths.
constexpr double kSparseRowShare = 0.5;
constexpr double kSparseTileShare = 0.5;

// Bit masks of the non-zero entries of a row, 64 columns per word (bit t of word w: column
// 64 w + t); returns the number of non-zero entries. NaN counts as non-zero.
KORVEX_INLINE std::size_t nonzero_masks(const double* a, std::size_t n, std::uint64_t* masks) {
  std::size_t nnz = 0;
  for (std::size_t c0 = 0; c0 < n; c0 += 64) {
    const std::size_t width = std::min<std::size_t>(64, n - c0);
    std::uint64_t bits = 0;
    for (std::size_t t = 0; t < width; ++t)
      bits |= static_cast<std::uint64_t>(a[c0 + t] != 0.0) << t;
    masks[c0 / 64] = bits;
    nnz += static_cast<std::size_t>(std::popcount(bits));
  }
  return nnz;
}

KORVEX_INLINE std::size_t mask_words(std::size_t n) { return (n + 63) / 64; }

// Width (in vectors) of chunk `ch` when a row of `vectors` vectors is cut into `chunks` chunks.
KORVEX_INLINE std::size_t chunk_width(std::size_t vectors, std::size_t chunks, std::size_t ch) {
  return vectors / chunks + (ch < vectors % chunks ? 1 : 0);
}

#define KORVEX_DISPATCH_CV(width, CALL)            \
  switch (width) {                                 \
    case 1: { constexpr int CV = 1; CALL; } break; \
    case 2: { constexpr int CV = 2; CALL; } break; \
    case 3: { constexpr int CV = 3; CALL; } break; \
    case 4: { constexpr int CV = 4; CALL; } break; \
    case 5: { constexpr int CV = 5; CALL; } break; \
    default: { constexpr int CV = 6; CALL; } break; \
  }

// ---- Y[r, :] = sum_c A[r, c] * M[c, :] ----------------------------------------------------------

// Two rows over `n` consecutive columns, chunk of CV vectors at column offset `off` of the
// sketch; every term is added (M is finite, so zero entries of A add +-0, which changes nothing).
template <int CV>
KORVEX_INLINE void rows2_times(const double* a0, const double* a1, std::size_t n, const double* m,
                               std::size_t ld, std::size_t off, double* y0, double* y1) {
  v4d acc0[CV];
  v4d acc1[CV];
  for (int v = 0; v < CV; ++v) {
    acc0[v] = load4(y0 + off + 4 * v);
    acc1[v] = load4(y1 + off + 4 * v);
  }
  const double* w = m + off;
  for (std::size_t c = 0; c < n; ++c, w += ld) {
    const v4d s0 = splat(a0[c]);
    const v4d s1 = splat(a1[c]);
    for (int v = 0; v < CV; ++v) {
      const v4d x = load4(w + 4 * v);
      acc0[v] += s0 * x;
      acc1[v] += s1 * x;
    }
  }
  for (int v = 0; v < CV; ++v) {
    store4(y0 + off + 4 * v, acc0[v]);
    store4(y1 + off + 4 * v, acc1[v]);
  }
}

// One row over its non-zero entries only, found by walking the set bits of its masks.
template <int CV>
KORVEX_INLINE void sparse_row_times(const double* a, std::size_t n, const std::uint64_t* masks,
                                    const double* m, std::size_t ld, std::size_t off, double* y) {
  v4d acc[CV];
  for (int v = 0; v < CV; ++v) acc[v] = load4(y + off + 4 * v);
  const std::size_t words = mask_words(n);
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t bits = masks[w];
    while (bits != 0) {
      const std::size_t c = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
      const v4d s = splat(a[c]);
      const double* mc = m + c * ld + off;
      for (int v = 0; v < CV; ++v) acc[v] += s * load4(mc + 4 * v);
    }
  }
  for (int v = 0; v < CV; ++v) store4(y + off + 4 * v, acc[v]);
}

constexpr std::size_t kMaxChunk = 6;

KORVEX_INLINE void dense_pair(const double* a0, const double* a1, std::size_t n, const double* m,
                              std::size_t ld, double* y0, double* y1) {
  const std::size_t vectors = ld / 4;
  const std::size_t chunks = (vectors + kMaxChunk - 1) / kMaxChunk;
  std::size_t off = 0;
  for (std::size_t ch = 0; ch < chunks; ++ch) {
    const std::size_t width = chunk_width(vectors, chunks, ch);
    KORVEX_DISPATCH_CV(width, (rows2_times<CV>(a0, a1, n, m, ld, off, y0, y1)));
    off += 4 * width;
  }
}

KORVEX_INLINE void sparse_row(const double* a, std::size_t n, const std::uint64_t* masks,
                              const double* m, std::size_t ld, double* y) {
  const std::size_t vectors = ld / 4;
  const std::size_t chunks = (vectors + kMaxChunk - 1) / kMaxChunk;
  std::size_t off = 0;
  for (std::size_t ch = 0; ch < chunks; ++ch) {
    const std::size_t width = chunk_width(vectors, chunks, ch);
    KORVEX_DISPATCH_CV(width, (sparse_row_times<CV>(a, n, masks, m, ld, off, y)));
    off += 4 * width;
  }
}

// Y (rows [r0, r1), row length ld) = A (rows [r0, r1)) * M (n x ld). Sparse rows walk their
// non-zero entries; dense rows go in pairs through rows2_times. `masks` holds mask_words(n) words.
KORVEX_INLINE void product_a_m_impl(const double* a, std::size_t n, std::size_t r0, std::size_t r1,
                                    const double* m, std::size_t ld, double* y,
                                    std::uint64_t* masks) {
  std::fill(y + r0 * ld, y + r1 * ld, 0.0);
  std::size_t pending = SIZE_MAX;  // a dense row waiting for a partner
  for (std::size_t r = r0; r < r1; ++r) {
    const double* row = a + r * n;
    const std::size_t nnz = nonzero_masks(row, n, masks);
    if (static_cast<double>(nnz) <= kSparseRowShare * static_cast<double>(n)) {
      sparse_row(row, n, masks, m, ld, y + r * ld);
    } else if (pending == SIZE_MAX) {
      pending = r;
    } else {
      dense_pair(a + pending * n, row, n, m, ld, y + pending * ld, y + r * ld);
      pending = SIZE_MAX;
    }
  }
  // A lone dense row is paired with itself: both accumulators compute the same values.
  if (pending != SIZE_MAX)
    dense_pair(a + pending * n, a + pending * n, n, m, ld, y + pending * ld, y + pending * ld);
}

// ---- Z[c, :] += sum_r A[r, c] * Y[r, :] over the rows [r0, r1) ----------------------------------

// Columns c and c + 1 of a tile of `rows` rows: Z[c] and Z[c + 1] (chunk of CV vectors at `off`)
// stay in registers while the tile's terms are added in row order.
template <int CV, int NC>
KORVEX_INLINE void zt_tile_cols(const double* a, std::size_t n, std::size_t rows, const double* y,
                                std::size_t ld, std::size_t off, std::size_t c, double* z) {
  v4d acc[NC][CV];
  for (int k = 0; k < NC; ++k)
    for (int v = 0; v < CV; ++v) acc[k][v] = load4(z + (c + k) * ld + off + 4 * v);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* ar = a + r * n + c;
    const double* yr = y + r * ld + off;
    v4d s[NC];
    for (int k = 0; k < NC; ++k) s[k] = splat(ar[k]);
    for (int v = 0; v < CV; ++v) {
      const v4d x = load4(yr + 4 * v);
      for (int k = 0; k < NC; ++k) acc[k][v] += s[k] * x;
    }
  }
  for (int k = 0; k < NC; ++k)
    for (int v = 0; v < CV; ++v) store4(z + (c + k) * ld + off + 4 * v, acc[k][v]);
}

// Chunks of at most 5 vectors: two columns' accumulators (10) plus the broadcasts fit the 16
// vector registers.
constexpr std::size_t kZtChunk = 5;

KORVEX_INLINE void zt_tile(const double* a, std::size_t n, std::size_t rows, const double* y,
                           std::size_t ld, double* z) {
  const std::size_t vectors = ld / 4;
  const std::size_t chunks = (vectors + kZtChunk - 1) / kZtChunk;
  std::size_t off = 0;
  for (std::size_t ch = 0; ch < chunks; ++ch) {
    const std::size_t width = chunk_width(vectors, chunks, ch);
    std::size_t c = 0;
    for (; c + 2 <= n; c += 2) {
      switch (width) {
        case 1: zt_tile_cols<1, 2>(a, n, rows, y, ld, off, c, z); break;
        case 2: zt_tile_cols<2, 2>(a, n, rows, y, ld, off, c, z); break;
        case 3: zt_tile_cols<3, 2>(a, n, rows, y, ld, off, c, z); break;
        case 4: zt_tile_cols<4, 2>(a, n, rows, y, ld, off, c, z); break;
        default: zt_tile_cols<5, 2>(a, n, rows, y, ld, off, c, z); break;
      }
    }
    if (c < n) {
      switch (width) {
        case 1: zt_tile_cols<1, 1>(a, n, rows, y, ld, off, c, z); break;
        case 2: zt_tile_cols<2, 1>(a, n, rows, y, ld, off, c, z); break;
        case 3: zt_tile_cols<3, 1>(a, n, rows, y, ld, off, c, z); break;
        case 4: zt_tile_cols<4, 1>(a, n, rows, y, ld, off, c, z); break;
        default: zt_tile_cols<5, 1>(a, n, rows, y, ld, off, c, z); break;
      }
    }
    off += 4 * width;
  }
}

// One sparse row: Z[c] += A[r, c] * Y[r] for its non-zero entries only.
template <int CV>
KORVEX_INLINE void zt_sparse_row(const double* a, std::size_t n, const std::uint64_t* masks,
                                 const double* yrow, std::size_t ld, std::size_t off, double* z) {
  v4d y[CV];
  for (int v = 0; v < CV; ++v) y[v] = load4(yrow + off + 4 * v);
  const std::size_t words = mask_words(n);
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t bits = masks[w];
    while (bits != 0) {
      const std::size_t c = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
      const v4d s = splat(a[c]);
      double* zc = z + c * ld + off;
      for (int v = 0; v < CV; ++v) store4(zc + 4 * v, load4(zc + 4 * v) + s * y[v]);
    }
  }
}

KORVEX_INLINE void zt_sparse(const double* arow, std::size_t n, const std::uint64_t* masks,
                             const double* yrow, std::size_t ld, double* z) {
  const std::size_t vectors = ld / 4;
  const std::size_t chunks = (vectors + kMaxChunk - 1) / kMaxChunk;
  std::size_t off = 0;
  for (std::size_t ch = 0; ch < chunks; ++ch) {
    const std::size_t width = chunk_width(vectors, chunks, ch);
    KORVEX_DISPATCH_CV(width, (zt_sparse_row<CV>(arow, n, masks, yrow, ld, off, z)));
    off += 4 * width;
  }
}

// Two sparse rows r0 < r1 together, over the union of their non-zero columns: Z[c] gets
// A[r0, c] Y[r0] and then A[r1, c] Y[r1]. A column that is zero in one of the rows adds +-0 for it
// (Y is finite), which changes nothing; sharing the load and store of Z[c] halves the memory
// traffic of the scatter.
template <int CV>
KORVEX_INLINE void zt_sparse_pair(const double* a0, const double* a1, std::size_t n,
                                  const std::uint64_t* masks0, const std::uint64_t* masks1,
                                  const double* y0row, const double* y1row, std::size_t ld,
                                  std::size_t off, double* z) {
  v4d y0[CV];
  v4d y1[CV];
  for (int v = 0; v < CV; ++v) {
    y0[v] = load4(y0row + off + 4 * v);
    y1[v] = load4(y1row + off + 4 * v);
  }
  const std::size_t words = mask_words(n);
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t bits = masks0[w] | masks1[w];
    while (bits != 0) {
      const std::size_t c = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
      const v4d s0 = splat(a0[c]);
      const v4d s1 = splat(a1[c]);
      double* zc = z + c * ld + off;
      for (int v = 0; v < CV; ++v) {
        v4d acc = load4(zc + 4 * v);
        acc += s0 * y0[v];
        acc += s1 * y1[v];
        store4(zc + 4 * v, acc);
      }
    }
  }
}

KORVEX_INLINE void zt_pair(const double* a0, const double* a1, std::size_t n,
                           const std::uint64_t* masks0, const std::uint64_t* masks1,
                           const double* y0row, const double* y1row, std::size_t ld, double* z) {
  const std::size_t vectors = ld / 4;
  const std::size_t chunks = (vectors + kZtChunk - 1) / kZtChunk;
  std::size_t off = 0;
  for (std::size_t ch = 0; ch < chunks; ++ch) {
    const std::size_t width = chunk_width(vectors, chunks, ch);
    switch (width) {
      case 1: zt_sparse_pair<1>(a0, a1, n, masks0, masks1, y0row, y1row, ld, off, z); break;
      case 2: zt_sparse_pair<2>(a0, a1, n, masks0, masks1, y0row, y1row, ld, off, z); break;
      case 3: zt_sparse_pair<3>(a0, a1, n, masks0, masks1, y0row, y1row, ld, off, z); break;
      case 4: zt_sparse_pair<4>(a0, a1, n, masks0, masks1, y0row, y1row, ld, off, z); break;
      default: zt_sparse_pair<5>(a0, a1, n, masks0, masks1, y0row, y1row, ld, off, z); break;
    }
    off += 4 * width;
  }
}

// Tiles with few non-zeros scatter two rows at a time; the others add every term (Y is finite).
// `masks` holds kTileRows * mask_words(n) words.
KORVEX_INLINE void product_at_y_impl(const double* a, std::size_t n, std::size_t r0,
                                     std::size_t r1, const double* y, std::size_t ld, double* z,
                                     std::uint64_t* masks) {
  const std::size_t words = mask_words(n);
  for (std::size_t t0 = r0; t0 < r1; t0 += kTileRows) {
    const std::size_t t1 = std::min(r1, t0 + kTileRows);
    std::size_t nnz = 0;
    for (std::size_t r = t0; r < t1; ++r)
      nnz += nonzero_masks(a + r * n, n, masks + (r - t0) * words);
    if (static_cast<double>(nnz) > kSparseTileShare * static_cast<double>((t1 - t0) * n)) {
      zt_tile(a + t0 * n, n, t1 - t0, y + t0 * ld, ld, z);
      continue;
    }
    std::size_t r = t0;
    for (; r + 2 <= t1; r += 2)
      zt_pair(a + r * n, a + (r + 1) * n, n, masks + (r - t0) * words,
              masks + (r + 1 - t0) * words, y + r * ld, y + (r + 1) * ld, ld, z);
    if (r < t1) zt_sparse(a + r * n, n, masks + (r - t0) * words, y + r * ld, ld, z);
  }
}

// ---- B[j, :] += sum_r Q[r, j] * A[r, :] over the rows [r0, r1) ----------------------------------

// Columns [c, c + 4 * CV) of every row of B for one tile: the B chunk stays in registers while the
// tile's rows are added in order; the tile's A chunk stays in the first-level cache across j.
template <int CV>
KORVEX_INLINE void qta_tile_cols(const double* a, std::size_t n, std::size_t rows,
                                 const double* q, std::size_t l, std::size_t c, double* b) {
  for (std::size_t j = 0; j < l; ++j) {
    double* bj = b + j * n + c;
    v4d acc[CV];
    for (int v = 0; v < CV; ++v) acc[v] = load4(bj + 4 * v);
    for (std::size_t r = 0; r < rows; ++r) {
      const v4d s = splat(q[r * l + j]);
      const double* ar = a + r * n + c;
      for (int v = 0; v < CV; ++v) acc[v] += s * load4(ar + 4 * v);
    }
    for (int v = 0; v < CV; ++v) store4(bj + 4 * v, acc[v]);
  }
}

// Rows per tile of the B pass (8 measured faster than 4 or 16: fewer concurrent row streams).
constexpr std::size_t kQtaRows = 8;

// Q zero entries add +-0 (A is finite once Y = A Omega was), which leaves B unchanged.
KORVEX_INLINE void product_qt_a_impl(const double* a, std::size_t n, std::size_t r0,
                                     std::size_t r1, const double* q, std::size_t l, double* b) {
  for (std::size_t t0 = r0; t0 < r1; t0 += kQtaRows) {
    const std::size_t rows = std::min(r1, t0 + kQtaRows) - t0;
    const double* at = a + t0 * n;
    const double* qt = q + t0 * l;
    std::size_t c = 0;
    for (; c + 32 <= n; c += 32) qta_tile_cols<8>(at, n, rows, qt, l, c, b);
    for (; c + 4 <= n; c += 4) qta_tile_cols<1>(at, n, rows, qt, l, c, b);
    for (; c < n; ++c)
      for (std::size_t j = 0; j < l; ++j) {
        double acc = b[j * n + c];
        for (std::size_t r = 0; r < rows; ++r) acc += qt[r * l + j] * at[r * n + c];
        b[j * n + c] = acc;
      }
  }
}

// ---- instruction-set dispatch -------------------------------------------------------------------

__attribute__((target("avx2"))) void product_a_m_avx2(const double* a, std::size_t n,
                                                      std::size_t r0, std::size_t r1,
                                                      const double* m, std::size_t ld, double* y,
                                                      std::uint64_t* masks) {
  product_a_m_impl(a, n, r0, r1, m, ld, y, masks);
}
void product_a_m_base(const double* a, std::size_t n, std::size_t r0, std::size_t r1,
                      const double* m, std::size_t ld, double* y, std::uint64_t* masks) {
  product_a_m_impl(a, n, r0, r1, m, ld, y, masks);
}
__attribute__((target("avx2"))) void product_at_y_avx2(const double* a, std::size_t n,
                                                       std::size_t r0, std::size_t r1,
                                                       const double* y, std::size_t ld, double* z,
                                                       std::uint64_t* masks) {
  product_at_y_impl(a, n, r0, r1, y, ld, z, masks);
}
void product_at_y_base(const double* a, std::size_t n, std::size_t r0, std::size_t r1,
                       const double* y, std::size_t ld, double* z, std::uint64_t* masks) {
  product_at_y_impl(a, n, r0, r1, y, ld, z, masks);
}
__attribute__((target("avx2"))) void product_qt_a_avx2(const double* a, std::size_t n,
                                                       std::size_t r0, std::size_t r1,
                                                       const double* q, std::size_t l, double* b) {
  product_qt_a_impl(a, n, r0, r1, q, l, b);
}
void product_qt_a_base(const double* a, std::size_t n, std::size_t r0, std::size_t r1,
                       const double* q, std::size_t l, double* b) {
  product_qt_a_impl(a, n, r0, r1, q, l, b);
}

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

bool g_force_baseline = false;

bool use_avx2() { return !g_force_baseline && cpu_has_avx2(); }

// ---- helpers ----------------------------------------------------------------------------------

bool all_finite(const double* p, std::size_t count) {
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(p[i]);
    bad |= static_cast<std::uint64_t>((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull);
  }
  return bad == 0;
}

// Only the first l columns of a padded row-major matrix count.
bool all_finite_padded(const std::vector<double>& mat, std::size_t rows, std::size_t l,
                       std::size_t ld) {
  if (l == ld) return all_finite(mat.data(), mat.size());
  for (std::size_t r = 0; r < rows; ++r)
    if (!all_finite(mat.data() + r * ld, l)) return false;
  return true;
}

// A strict weak order for the descending sort: numbers by value, NaN after all of them.
bool descending(double x, double y) {
  if (std::isnan(x)) return false;
  if (std::isnan(y)) return true;
  return x > y;
}

}  // namespace

namespace dense_svd_detail {
void force_baseline_kernels(bool on) { g_force_baseline = on; }
}  // namespace dense_svd_detail

SvdFactors finish_from_projection(std::span<const double> q, std::size_t rows,
                                  std::span<const double> b, std::size_t cols, std::size_t l,
                                  std::size_t k, bool want_left, NanEigenvalue nan_rule) {
  // 1. G = B B^T, each entry summed in increasing t; four entries of a row of G at a time so the
  //    four sums run side by side.
  Eigen::MatrixXd g(static_cast<Eigen::Index>(l), static_cast<Eigen::Index>(l));
  for (std::size_t i = 0; i < l; ++i) {
    const double* bi = b.data() + i * cols;
    std::size_t j = i;
    for (; j + 4 <= l; j += 4) {
      const double* bj0 = b.data() + j * cols;
      const double* bj1 = bj0 + cols;
      const double* bj2 = bj1 + cols;
      const double* bj3 = bj2 + cols;
      double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
      for (std::size_t t = 0; t < cols; ++t) {
        s0 += bi[t] * bj0[t];
        s1 += bi[t] * bj1[t];
        s2 += bi[t] * bj2[t];
        s3 += bi[t] * bj3[t];
      }
      const double s[4] = {s0, s1, s2, s3};
      for (std::size_t d = 0; d < 4; ++d) {
        g(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j + d)) = s[d];
        g(static_cast<Eigen::Index>(j + d), static_cast<Eigen::Index>(i)) = s[d];
      }
    }
    for (; j < l; ++j) {
      const double* bj = b.data() + j * cols;
      double s = 0.0;
      for (std::size_t t = 0; t < cols; ++t) s += bi[t] * bj[t];
      g(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = s;
      g(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) = s;
    }
  }

  // 2. All eigenpairs (ascending eigenvalues, unit eigenvectors). The solver's iteration cap only
  //    matters for non-finite input, where it stops instead of looping.
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(g, Eigen::ComputeEigenvectors);
  const Eigen::VectorXd& lambda = eig.eigenvalues();
  const Eigen::MatrixXd& e = eig.eigenvectors();

  // 3. Stable descending sort of (lambda_i, i).
  std::vector<std::size_t> order(l);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return descending(lambda(static_cast<Eigen::Index>(x)), lambda(static_cast<Eigen::Index>(y)));
  });

  // 4. S and W.
  SvdFactors out;
  out.s.resize(k);
  Eigen::MatrixXd w(static_cast<Eigen::Index>(l), static_cast<Eigen::Index>(k));
  for (std::size_t t = 0; t < k; ++t) {
    const double lam = lambda(static_cast<Eigen::Index>(order[t]));
    if (lam > 0.0)
      out.s[t] = std::sqrt(lam);
    else if (std::isnan(lam) && nan_rule == NanEigenvalue::Keep)
      out.s[t] = lam;
    else
      out.s[t] = 0.0;
    w.col(static_cast<Eigen::Index>(t)) = e.col(static_cast<Eigen::Index>(order[t]));
  }

  const auto ri = static_cast<Eigen::Index>(rows);
  const auto ci = static_cast<Eigen::Index>(cols);
  const auto li = static_cast<Eigen::Index>(l);
  const auto ki = static_cast<Eigen::Index>(k);

  // 5. Left factor Q W.
  if (want_left) {
    out.left.resize(rows * k);
    Eigen::Map<const RowMajorMatrix> qm(q.data(), ri, li);
    Eigen::Map<RowMajorMatrix>(out.left.data(), ri, ki).noalias() = qm * w;
  }

  // 6. Right factor diag(1/S) W^T B.
  out.right.resize(k * cols);
  Eigen::Map<const RowMajorMatrix> bm(b.data(), li, ci);
  Eigen::Map<RowMajorMatrix> right(out.right.data(), ki, ci);
  right.noalias() = w.transpose() * bm;
  for (std::size_t t = 0; t < k; ++t) {
    if (out.s[t] != 0.0)
      right.row(static_cast<Eigen::Index>(t)) *= 1.0 / out.s[t];
    else
      right.row(static_cast<Eigen::Index>(t)).setZero();
  }
  return out;
}

Result<SvdFactors> randomized_svd_dense(std::span<const double> a, std::size_t m, std::size_t n,
                                        std::uint64_t k, std::uint64_t oversample,
                                        std::uint64_t n_iter, std::uint64_t block_rows,
                                        std::uint64_t seed) {
  if (m == 0 || n == 0) return operation_failed("input matrix must be non-empty");
  const std::uint64_t min_mn = std::min<std::uint64_t>(m, n);
  if (k == 0 || k > min_mn) return operation_failed("k must be in 1..=" + std::to_string(min_mn));
  if (oversample > std::numeric_limits<std::uint64_t>::max() - k)
    return operation_failed("k + oversample overflow");
  const std::uint64_t l64 = k + oversample;
  if (l64 > min_mn) return operation_failed("k + oversample must be in 1..=min(m,n)");
  if (a.size() / n != m || a.size() % n != 0)
    return fatal("randomized_svd_dense: buffer holds " + std::to_string(a.size()) +
                 " values, not " + std::to_string(m) + " x " + std::to_string(n));

  const auto l = static_cast<std::size_t>(l64);
  const std::size_t ld = padded_width(l);
  const std::size_t h =
      (block_rows == 0 || block_rows > m) ? m : static_cast<std::size_t>(block_rows);
  const bool avx2 = use_avx2();
  const double* pa = a.data();

  // Non-zero masks of one tile of rows for the sparse kernels.
  std::vector<std::uint64_t> masks(kTileRows * mask_words(n));

  // Omega (n x l), stored with the padded row length.
  std::vector<double> omega(n * ld, 0.0);
  {
    auto rng = GaussianRng::from_seed(seed);
    const std::vector<double> drawn = gaussian_test_matrix(rng, n, l);
    for (std::size_t c = 0; c < n; ++c)
      std::copy_n(drawn.data() + c * l, l, omega.data() + c * ld);
  }

  std::vector<double> y(m * ld);
  auto product_a_m = [&](const std::vector<double>& mat) {
    for (std::size_t r0 = 0; r0 < m; r0 += h) {
      const std::size_t r1 = std::min(m, r0 + h);
      if (avx2)
        product_a_m_avx2(pa, n, r0, r1, mat.data(), ld, y.data(), masks.data());
      else
        product_a_m_base(pa, n, r0, r1, mat.data(), ld, y.data(), masks.data());
    }
    return all_finite_padded(y, m, l, ld);
  };

  // Y = A Omega. A NaN or infinite entry of A makes its row of Y non-finite.
  if (!product_a_m(omega)) return operation_failed(kNonFiniteMessage);
  omega = {};

  // Power iterations without re-orthonormalisation.
  if (n_iter > 0) {
    std::vector<double> z(n * ld);
    for (std::uint64_t it = 0; it < n_iter; ++it) {
      std::fill(z.begin(), z.end(), 0.0);
      for (std::size_t r0 = 0; r0 < m; r0 += h) {
        const std::size_t r1 = std::min(m, r0 + h);
        if (avx2)
          product_at_y_avx2(pa, n, r0, r1, y.data(), ld, z.data(), masks.data());
        else
          product_at_y_base(pa, n, r0, r1, y.data(), ld, z.data(), masks.data());
      }
      if (!all_finite_padded(z, n, l, ld)) return operation_failed(kNonFiniteMessage);
      if (!product_a_m(z)) return operation_failed(kNonFiniteMessage);
    }
  }

  // Thin Householder QR of Y; Q back to row-major m x l.
  std::vector<double> q(m * l);
  {
    Eigen::MatrixXd ycol(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(l));
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t j = 0; j < l; ++j)
        ycol(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(j)) = y[r * ld + j];
    y = {};
    Eigen::HouseholderQR<Eigen::MatrixXd> qr(ycol.rows(), ycol.cols());
    qr.compute(ycol);
    ycol.resize(0, 0);
    const Eigen::MatrixXd qthin = qr.householderQ() * Eigen::MatrixXd::Identity(
                                                          static_cast<Eigen::Index>(m),
                                                          static_cast<Eigen::Index>(l));
    Eigen::Map<RowMajorMatrix>(q.data(), static_cast<Eigen::Index>(m),
                               static_cast<Eigen::Index>(l)) = qthin;
  }
  if (!all_finite(q.data(), q.size())) return operation_failed(kNonFiniteMessage);

  // B = Q^T A.
  std::vector<double> b(l * n, 0.0);
  for (std::size_t r0 = 0; r0 < m; r0 += h) {
    const std::size_t r1 = std::min(m, r0 + h);
    if (avx2)
      product_qt_a_avx2(pa, n, r0, r1, q.data(), l, b.data());
    else
      product_qt_a_base(pa, n, r0, r1, q.data(), l, b.data());
  }
  if (!all_finite(b.data(), b.size())) return operation_failed(kNonFiniteMessage);

  SvdFactors out = finish_from_projection(q, m, b, n, l, static_cast<std::size_t>(k), true);
  // B B^T itself may overflow although B is finite.
  if (!all_finite(out.left.data(), out.left.size()) ||
      !all_finite(out.right.data(), out.right.size()))
    return operation_failed(kNonFiniteMessage);
  return out;
}

}  // namespace korvex
