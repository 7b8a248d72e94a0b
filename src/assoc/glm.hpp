// Fast GLM scan: per-marker ordinary least squares of a phenotype on q0 fixed covariates plus one
// float32 marker, with Student-t p-values for every coefficient.
//
// The covariate fit is done once by the caller, who passes ixx = (X'X)^-1. For every marker the
// scan makes one pass over the n samples (Xg, g'g, g'y, each sum in sample order) and extends ixx
// to the inverse of the augmented cross-product matrix by the partitioned-inverse (Schur
// complement) formula, so the cost per marker is O(n * q0 + q0^2) and nothing is refitted.
//
// Output rows (q0 + 3 doubles per marker): beta_snp, se_snp, the q0 covariate p-values in the
// column order of X, the marker's p-value. Each marker's row depends only on its own data: the
// results are bitwise the same for any thread count and any block size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "assoc/marker_rows.hpp"
#include "module/error.hpp"

namespace korvex {

class WorkerPool;

// Values computed once per call and shared read-only by every worker.
struct GlmShared {
  std::size_t n = 0;              // samples
  std::size_t q0 = 0;             // covariates
  const double* y = nullptr;      // phenotype, n values (borrowed)
  std::vector<double> x;          // covariates, n x q0 row-major
  std::vector<double> ixx;        // (X'X)^-1 as given, q0 x q0 row-major (not symmetrised)
  std::vector<double> xty;        // X'y, q0 values
  double yty = 0.0;               // y'y
};

// Per-worker scratch, reused for every marker the worker processes (no allocation per marker).
struct GlmWorkspace {
  explicit GlmWorkspace(std::size_t q0);
  std::vector<double> xg;    // X'g (q0)
  std::vector<double> b;     // ixx' X'g (q0)
  std::vector<double> rhs;   // (X'y, g'y) (q0 + 1)
  std::vector<double> beta;  // coefficients (q0 + 1)
  std::vector<double> minv;  // inverse of the augmented cross-product matrix, (q0 + 1)^2 row-major
  std::vector<double> sums;  // sample-pass sums of a group of markers processed together
};

// The argument checks of a scan, in their fixed order:
//   rows of X == len(y), ixx is q0 x q0, columns of G == n, n > q0 + 1, step > 0.
Status check_glm_inputs(std::size_t n, std::size_t x_rows, std::size_t q0, std::size_t ixx_rows,
                        std::size_t ixx_cols, std::size_t g_cols, std::size_t step);

// Takes the row-major copies of X (n x q0) and ixx (q0 x q0) and computes X'y and y'y.
GlmShared make_glm_shared(const double* y, std::size_t n, std::size_t q0,
                          std::vector<double> x_row_major, std::vector<double> ixx_row_major);

// Markers [lo, hi) of `g` into rows [lo, hi) of `out` (row-major, q0 + 3 columns).
void glm_scan_range(const GlmShared& shared, const MarkerRows& g, std::size_t lo, std::size_t hi,
                    GlmWorkspace& ws, double* out);

// The whole scan: consecutive blocks of `step` markers (step > 0), one block after another; each
// block's markers are split into contiguous runs spread over the pool's workers. `out` must hold
// g.rows * (q0 + 3) doubles; every element is overwritten.
void glm_scan(const GlmShared& shared, const MarkerRows& g, std::size_t step, WorkerPool& pool,
              std::span<double> out);

}  // namespace korvex
