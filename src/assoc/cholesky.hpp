// A small dense solver for symmetric positive-definite systems, used by the mixed-model scans for
// their (p + 1) x (p + 1) normal equations. Matrices are k x k, row-major, in caller-owned storage.
#pragma once

#include <cstddef>
#include <span>

namespace korvex {

// Pivot threshold of cholesky_in_place: a pivot at or below it means "not positive definite".
inline constexpr double kCholeskyMinPivot = 1e-18;

// Overwrites the symmetric k x k matrix `a` (row-major, a.size() >= k * k) with its lower Cholesky
// factor L, row by row; the entries above the diagonal of each finished row are set to 0.
// Returns false when a pivot is <= kCholeskyMinPivot (`a` is then partly overwritten). A NaN pivot
// is not a failure: it propagates into L. k = 0 succeeds.
bool cholesky_in_place(std::span<double> a, std::size_t k);

// Solves L * L' * x = b for the factor of cholesky_in_place: forward substitution with i ascending,
// then back substitution with i descending. `x` may be the same storage as `b`.
void cholesky_solve(std::span<const double> l, std::size_t k, std::span<const double> b,
                    std::span<double> x);

}  // namespace korvex
