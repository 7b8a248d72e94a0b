// The genotype rows every association scan reads: m markers of n float32 values, one marker per
// row, with arbitrary byte strides (a NumPy array read in place). Borrowed for the call.
#pragma once

#include <cstddef>
#include <cstring>

namespace korvex {

struct MarkerRows {
  const char* base = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes
  std::ptrdiff_t col_stride = 0;  // bytes

  const char* row(std::size_t e) const {
    return base + static_cast<std::ptrdiff_t>(e) * row_stride;
  }
  // The row as a float pointer when its elements are adjacent, otherwise nullptr.
  const float* contiguous_row(std::size_t e) const {
    return col_stride == static_cast<std::ptrdiff_t>(sizeof(float))
               ? reinterpret_cast<const float*>(row(e))
               : nullptr;
  }
  template <class T>
  void copy_row(std::size_t e, T* out) const {
    const char* r = row(e);
    for (std::size_t i = 0; i < cols; ++i) {
      float v;
      std::memcpy(&v, r + static_cast<std::ptrdiff_t>(i) * col_stride, sizeof(float));
      out[i] = static_cast<T>(v);
    }
  }
};

}  // namespace korvex
