// Truncated SVD of a dense matrix by the seeded randomized range finder, and the shared last stage
// that turns an orthonormal basis and a projected matrix into singular triplets.
//
// All matrices are float64, row-major (element (r, c) of an R x C matrix at r * C + c).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "module/error.hpp"

namespace korvex {

// Truncated SVD factors in sorted order: column t of `left` and row t of `right` belong to s[t],
// s descending.
struct SvdFactors {
  std::vector<double> left;   // R x k, row-major; empty when the left factor was not requested
  std::vector<double> s;      // k values
  std::vector<double> right;  // k x C, row-major
};

// How step "S[t] from the t-th largest eigenvalue" treats an eigenvalue that is NaN: the dense SVD
// reports 0 (like any non-positive eigenvalue), the BED-streamed SVD keeps NaN.
enum class NanEigenvalue { Zero, Keep };

// From Q (rows x l, orthonormal columns) and B = Q^T A (l x cols) to the k leading triplets:
//  1. G = B B^T, each entry summed over t in increasing order;
//  2. all eigenpairs of G (Eigen's SelfAdjointEigenSolver);
//  3. eigenvalues sorted descending by a stable sort (NaN after every number);
//  4. S[t] = sqrt(lambda) when lambda > 0, else 0 (or NaN for a NaN eigenvalue with Keep);
//     W = the matching eigenvectors (l x k);
//  5. left = Q W (rows x k) when want_left;
//  6. right = diag(1/S) W^T B (k x cols), rows with S[t] = 0 all zero.
// Requires 1 <= k <= l, q.size() == rows * l and b.size() == l * cols.
SvdFactors finish_from_projection(std::span<const double> q, std::size_t rows,
                                  std::span<const double> b, std::size_t cols, std::size_t l,
                                  std::size_t k, bool want_left,
                                  NanEigenvalue nan_rule = NanEigenvalue::Zero);

// Rank-k truncated SVD of the m x n row-major matrix `a` (a.size() == m * n) with a Gaussian
// sketch of width l = k + oversample drawn from `seed`, `n_iter` power iterations without
// re-orthonormalisation, one thin Householder QR and finish_from_projection.
//
// Checks, in order (OperationFailed): "input matrix must be non-empty"; "k must be in 1..=<min>";
// "k + oversample overflow"; "k + oversample must be in 1..=min(m,n)". An input with NaN or
// infinite entries, or products that overflow, fails with kNonFiniteMessage instead of returning
// meaningless factors.
//
// Every product visits the rows in increasing order, `block_rows` rows at a time (0 or more than
// m: all rows at once). Each output element adds its terms in increasing row (or column) order and
// zero entries of A (and of Q in B = Q^T A) contribute nothing, so the result is bitwise
// independent of block_rows and of the instruction set the kernels run with.
Result<SvdFactors> randomized_svd_dense(std::span<const double> a, std::size_t m, std::size_t n,
                                        std::uint64_t k, std::uint64_t oversample,
                                        std::uint64_t n_iter, std::uint64_t block_rows,
                                        std::uint64_t seed);

namespace dense_svd_detail {
// Test hook: run the baseline (SSE2) kernels even on an AVX2 machine. Not thread-safe.
void force_baseline_kernels(bool on);
}  // namespace dense_svd_detail

inline constexpr const char* kNonFiniteMessage =
    "input matrix contains NaN or infinite values, or the products overflowed";

}  // namespace korvex
