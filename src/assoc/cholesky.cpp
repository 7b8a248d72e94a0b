#include "assoc/cholesky.hpp"

#include <cmath>

namespace korvex {

bool cholesky_in_place(std::span<double> a, std::size_t k) {
  double* m = a.data();
  for (std::size_t i = 0; i < k; ++i) {
    double* row_i = m + i * k;
    for (std::size_t j = 0; j <= i; ++j) {
      const double* row_j = m + j * k;
      double sum = 0.0;
      for (std::size_t l = 0; l < j; ++l) sum += row_i[l] * row_j[l];
      const double t = row_i[j] - sum;
      if (j == i) {
        // Written as "t <= threshold" so that a NaN pivot passes and propagates.
        if (t <= kCholeskyMinPivot) return false;
        row_i[i] = std::sqrt(t);
      } else {
        row_i[j] = t / row_j[j];
      }
    }
    for (std::size_t j = i + 1; j < k; ++j) row_i[j] = 0.0;
  }
  return true;
}

void cholesky_solve(std::span<const double> l, std::size_t k, std::span<const double> b,
                    std::span<double> x) {
  const double* m = l.data();
  // Forward: L z = b (z is kept in x; b[i] is read before x[i] is written, so x may alias b).
  for (std::size_t i = 0; i < k; ++i) {
    const double* row_i = m + i * k;
    double sum = 0.0;
    for (std::size_t j = 0; j < i; ++j) sum += row_i[j] * x[j];
    x[i] = (b[i] - sum) / row_i[i];
  }
  // Backward: L' x = z, using column i of L below the diagonal.
  for (std::size_t i = k; i-- > 0;) {
    double sum = 0.0;
    for (std::size_t j = i + 1; j < k; ++j) sum += m[j * k + i] * x[j];
    x[i] = (x[i] - sum) / m[i * k + i];
  }
}

}  // namespace korvex
