#include "assoc/glm.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "assoc/pvalues.hpp"
#include "module/worker_pool.hpp"

namespace korvex {

namespace {

constexpr double kCollinearThreshold = 1e-8;

// Markers whose sample pass runs together, one SIMD lane each. Every accumulator still adds its
// terms in sample order, so a marker's sums are the same whether it runs in a group or alone.
constexpr std::size_t kGroup = 4;
// Covariate counts with a register-resident group kernel; larger q0 take the one-marker path.
constexpr std::size_t kMaxGroupCovariates = 8;

// Floating-point contraction (fused multiply-add) would change the rounding of `acc + a * b`
// between the group kernel and the one-marker path; the kernels are built without FMA (the avx2
// target does not enable it), so both paths round every product and every sum separately.
typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));
typedef int v4i __attribute__((vector_size(16)));

inline float load_float(const char* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The sample pass of one marker: xg = X'g, gg = g'g, gy = y'g, each sum in sample order.
void sample_pass_one(const GlmShared& s, const char* row, std::ptrdiff_t col_stride, double* xg,
                     double& gg_out, double& gy_out) {
  const std::size_t q0 = s.q0;
  const double* x = s.x.data();
  const double* y = s.y;
  std::fill(xg, xg + q0, 0.0);
  double gg = 0.0;
  double gy = 0.0;
  for (std::size_t i = 0; i < s.n; ++i) {
    const double gi = load_float(row + static_cast<std::ptrdiff_t>(i) * col_stride);
    const double* xi = x + i * q0;
    for (std::size_t j = 0; j < q0; ++j) xg[j] += xi[j] * gi;
    gg += gi * gi;
    gy += y[i] * gi;
  }
  gg_out = gg;
  gy_out = gy;
}

// The sample pass of kGroup markers at once with Q covariates, lane k holding marker k. `sums`
// receives, per marker k, (xg[0..Q), gg, gy) at sums + k * (Q + 2). Contiguous rows are read four
// samples at a time and transposed so that one vector holds one sample of the four markers.
template <std::size_t Q>
[[gnu::always_inline]] inline void sample_pass_group(const GlmShared& s, const char* const* rows,
                                                     std::ptrdiff_t col_stride, double* sums) {
  const double* x = s.x.data();
  const double* y = s.y;
  const std::size_t n = s.n;
  v4d acc[Q + 1];
  for (std::size_t j = 0; j <= Q; ++j) acc[j] = v4d{0.0, 0.0, 0.0, 0.0};
  v4d gg = {0.0, 0.0, 0.0, 0.0};
  v4d gy = {0.0, 0.0, 0.0, 0.0};

  auto add_sample = [&](const v4d& gv, std::size_t i) {
    const double* xi = x + i * Q;
    for (std::size_t j = 0; j < Q; ++j) acc[j] += xi[j] * gv;
    gg += gv * gv;
    gy += y[i] * gv;
  };

  std::size_t i = 0;
  if (col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
    for (; i + 4 <= n; i += 4) {
      v4f r0, r1, r2, r3;
      std::memcpy(&r0, rows[0] + i * sizeof(float), sizeof r0);
      std::memcpy(&r1, rows[1] + i * sizeof(float), sizeof r1);
      std::memcpy(&r2, rows[2] + i * sizeof(float), sizeof r2);
      std::memcpy(&r3, rows[3] + i * sizeof(float), sizeof r3);
      const v4f t0 = __builtin_shuffle(r0, r1, v4i{0, 4, 1, 5});
      const v4f t1 = __builtin_shuffle(r0, r1, v4i{2, 6, 3, 7});
      const v4f t2 = __builtin_shuffle(r2, r3, v4i{0, 4, 1, 5});
      const v4f t3 = __builtin_shuffle(r2, r3, v4i{2, 6, 3, 7});
      add_sample(__builtin_convertvector(__builtin_shuffle(t0, t2, v4i{0, 1, 4, 5}), v4d), i);
      add_sample(__builtin_convertvector(__builtin_shuffle(t0, t2, v4i{2, 3, 6, 7}), v4d), i + 1);
      add_sample(__builtin_convertvector(__builtin_shuffle(t1, t3, v4i{0, 1, 4, 5}), v4d), i + 2);
      add_sample(__builtin_convertvector(__builtin_shuffle(t1, t3, v4i{2, 3, 6, 7}), v4d), i + 3);
    }
  }
  for (; i < n; ++i) {
    const std::ptrdiff_t off = static_cast<std::ptrdiff_t>(i) * col_stride;
    const v4d gv = {load_float(rows[0] + off), load_float(rows[1] + off),
                    load_float(rows[2] + off), load_float(rows[3] + off)};
    add_sample(gv, i);
  }

  for (std::size_t k = 0; k < kGroup; ++k) {
    double* out = sums + k * (Q + 2);
    for (std::size_t j = 0; j < Q; ++j) out[j] = acc[j][k];
    out[Q] = gg[k];
    out[Q + 1] = gy[k];
  }
}

using GroupPass = void (*)(const GlmShared&, const char* const*, std::ptrdiff_t, double*);

template <std::size_t Q>
void group_pass_baseline(const GlmShared& s, const char* const* rows, std::ptrdiff_t cs,
                         double* sums) {
  sample_pass_group<Q>(s, rows, cs, sums);
}

template <std::size_t Q>
[[gnu::target("avx2")]] void group_pass_avx2(const GlmShared& s, const char* const* rows,
                                             std::ptrdiff_t cs, double* sums) {
  sample_pass_group<Q>(s, rows, cs, sums);
}

template <std::size_t... Q>
GroupPass pick_group_pass(std::size_t q0, bool avx2, std::index_sequence<Q...>) {
  GroupPass fn = nullptr;
  ((q0 == Q ? (fn = avx2 ? &group_pass_avx2<Q> : &group_pass_baseline<Q>) : fn), ...);
  return fn;
}

GroupPass group_pass_for(std::size_t q0) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (q0 > kMaxGroupCovariates) return nullptr;
  return pick_group_pass(q0, avx2, std::make_index_sequence<kMaxGroupCovariates + 1>{});
}

// From the sample-pass sums of one marker (ws.xg, gg, gy) to its output row.
void finish_marker(const GlmShared& s, GlmWorkspace& ws, double gg, double gy, double* out) {
  const std::size_t q0 = s.q0;
  const std::size_t q = q0 + 1;
  const double* ixx = s.ixx.data();
  const double* xg = ws.xg.data();
  double* b = ws.b.data();
  double* minv = ws.minv.data();
  double* rhs = ws.rhs.data();
  double* beta = ws.beta.data();

  // b = ixx' X'g; d = b . X'g; S = g'g - d is the marker's residual sum of squares after the
  // covariates are projected out.
  for (std::size_t i = 0; i < q0; ++i) {
    double acc = 0.0;
    for (std::size_t j = 0; j < q0; ++j) acc += xg[j] * ixx[j * q0 + i];
    b[i] = acc;
  }
  double d = 0.0;
  for (std::size_t i = 0; i < q0; ++i) d += b[i] * xg[i];
  const double schur = gg - d;

  // A marker (numerically) inside the covariate span contributes no coefficient: its row and
  // column of the inverse are zero and the covariates keep their own residual df.
  const bool collinear = schur < kCollinearThreshold;
  const double sinv = collinear ? 0.0 : 1.0 / schur;
  const std::int64_t df_int = static_cast<std::int64_t>(s.n) - static_cast<std::int64_t>(q0) -
                              (collinear ? 0 : 1);
  if (df_int <= 0) {
    std::fill(out, out + q0 + 3, std::numeric_limits<double>::quiet_NaN());
    return;
  }
  const double df = static_cast<double>(df_int);

  // Partitioned inverse of [[X'X, X'g], [g'X, g'g]].
  for (std::size_t i = 0; i < q0; ++i) {
    for (std::size_t k = 0; k < q0; ++k) minv[i * q + k] = ixx[i * q0 + k] + b[i] * b[k] * sinv;
    const double off = b[i] * (-sinv);
    minv[q0 * q + i] = off;
    minv[i * q + q0] = off;
  }
  minv[q0 * q + q0] = sinv;

  for (std::size_t i = 0; i < q0; ++i) rhs[i] = s.xty[i];
  rhs[q0] = gy;
  for (std::size_t i = 0; i < q; ++i) {
    double acc = 0.0;
    for (std::size_t k = 0; k < q; ++k) acc += minv[i * q + k] * rhs[k];
    beta[i] = acc;
  }
  double v = 0.0;
  for (std::size_t i = 0; i < q; ++i) v += beta[i] * rhs[i];
  const double rss = s.yty - v;
  const double sigma2 = rss / df;

  for (std::size_t j = 0; j < q; ++j) {
    const double t = beta[j] / std::sqrt(minv[j * q + j] * sigma2);
    out[j + 2] = student_t_p_two_sided(t, df);
  }
  if (sinv != 0.0) {
    out[0] = beta[q0];
    out[1] = std::sqrt(sigma2 * minv[q0 * q + q0]);
  } else {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    out[0] = nan;
    out[1] = nan;
    out[q0 + 2] = nan;
  }
}

}  // namespace

GlmWorkspace::GlmWorkspace(std::size_t q0)
    : xg(q0),
      b(q0),
      rhs(q0 + 1),
      beta(q0 + 1),
      minv((q0 + 1) * (q0 + 1)),
      sums(q0 <= kMaxGroupCovariates ? kGroup * (q0 + 2) : 0) {}

Status check_glm_inputs(std::size_t n, std::size_t x_rows, std::size_t q0, std::size_t ixx_rows,
                        std::size_t ixx_cols, std::size_t g_cols, std::size_t step) {
  if (x_rows != n) return operation_failed("X.n_rows must equal len(y)");
  if (ixx_rows != q0 || ixx_cols != q0) return operation_failed("ixx must be (q0,q0)");
  if (g_cols != n) return operation_failed("G must be shape (m, n) for float32 fast path");
  if (n <= q0 + 1)
    return operation_failed("n too small: require n > q0+1, got n=" + std::to_string(n) +
                            ", q0=" + std::to_string(q0));
  if (step == 0) return operation_failed("step must be > 0");
  return {};
}

GlmShared make_glm_shared(const double* y, std::size_t n, std::size_t q0,
                          std::vector<double> x_row_major, std::vector<double> ixx_row_major) {
  GlmShared s;
  s.n = n;
  s.q0 = q0;
  s.y = y;
  s.x = std::move(x_row_major);
  s.ixx = std::move(ixx_row_major);
  s.xty.assign(s.q0, 0.0);
  double yty = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = s.x.data() + i * s.q0;
    for (std::size_t j = 0; j < s.q0; ++j) s.xty[j] += y[i] * xi[j];
    yty += y[i] * y[i];
  }
  s.yty = yty;
  return s;
}

void glm_scan_range(const GlmShared& shared, const MarkerRows& g, std::size_t lo, std::size_t hi,
                    GlmWorkspace& ws, double* out) {
  const std::size_t q0 = shared.q0;
  const std::size_t width = q0 + 3;
  auto row_of = [&](std::size_t e) {
    return g.base + static_cast<std::ptrdiff_t>(e) * g.row_stride;
  };
  std::size_t e = lo;
  if (const GroupPass group = group_pass_for(q0); group != nullptr) {
    for (; e + kGroup <= hi; e += kGroup) {
      const char* rows[kGroup] = {row_of(e), row_of(e + 1), row_of(e + 2), row_of(e + 3)};
      group(shared, rows, g.col_stride, ws.sums.data());
      for (std::size_t k = 0; k < kGroup; ++k) {
        const double* sums = ws.sums.data() + k * (q0 + 2);
        std::copy(sums, sums + q0, ws.xg.begin());
        finish_marker(shared, ws, sums[q0], sums[q0 + 1], out + (e + k) * width);
      }
    }
  }
  for (; e < hi; ++e) {
    double gg = 0.0;
    double gy = 0.0;
    sample_pass_one(shared, row_of(e), g.col_stride, ws.xg.data(), gg, gy);
    finish_marker(shared, ws, gg, gy, out + e * width);
  }
}

void glm_scan(const GlmShared& shared, const MarkerRows& g, std::size_t step, WorkerPool& pool,
              std::span<double> out) {
  const std::size_t m = g.rows;
  if (m == 0) return;
  if (step == 0) step = 1;  // callers check; never loop without progress
  const std::size_t workers = std::max<std::size_t>(pool.size(), 1);
  std::vector<GlmWorkspace> workspaces;
  workspaces.reserve(workers);
  for (std::size_t w = 0; w < workers; ++w) workspaces.emplace_back(shared.q0);

  for (std::size_t block_lo = 0; block_lo < m;) {
    const std::size_t len = std::min(step, m - block_lo);
    const std::size_t block_hi = block_lo + len;
    // A few contiguous runs per worker for balance, each a whole number of marker groups.
    std::size_t grain = (len + 4 * workers - 1) / (4 * workers);
    grain = std::max<std::size_t>(16, (grain + kGroup - 1) / kGroup * kGroup);
    if (len <= grain) {
      // One run: the pool would only add a hand-off.
      glm_scan_range(shared, g, block_lo, block_hi, workspaces[0], out.data());
    } else {
      pool.parallel_for(block_lo, block_hi, grain,
                        [&](std::size_t lo, std::size_t hi, std::size_t worker) {
                          glm_scan_range(shared, g, lo, hi, workspaces[worker], out.data());
                        });
    }
    block_lo = block_hi;
  }
}

}  // namespace korvex
