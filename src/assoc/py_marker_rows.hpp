// The association scans' genotype argument as the core's MarkerRows view (read in place).
#pragma once

#include "assoc/marker_rows.hpp"
#include "module/py_binding.hpp"

namespace korvex::py {

inline MarkerRows marker_rows(const ArrayView<float, 2>& g) {
  return MarkerRows{g.base, g.shape[0], g.shape[1], g.strides[0], g.strides[1]};
}

}  // namespace korvex::py
