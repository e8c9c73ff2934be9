// The one definition of an inactive cell: the universe is 0.0 or NaN there. Every other
// universe value (negative, fractional, infinite) leaves the cell active. Plain C++, no
// Python: shared by the whole-matrix fast paths and the row-by-row driver.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace ee::kernels {

inline bool inactive(double universe_value) {
    return universe_value == 0.0 || std::isnan(universe_value);
}

// out[i] = NaN where the universe cell is inactive, else data[i]; out may alias data.
inline void mask_row(const double *data, const double *universe, double *out, std::size_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) out[i] = inactive(universe[i]) ? nan : data[i];
}

}  // namespace ee::kernels
