// The one definition of an inactive cell: the universe is 0.0 or NaN there. Every other
// universe value (negative, fractional, infinite) leaves the cell active. Plain C++, no
// Python: shared by the whole-matrix fast paths and the row-by-row driver.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ee::kernels {

inline bool inactive(double universe_value) {
    return universe_value == 0.0 || std::isnan(universe_value);
}

// out[i] = NaN where the universe cell is inactive, else data[i]; out may alias data.
// Branch-free: a universe with scattered inactive cells would otherwise cost a
// mispredicted branch every few cells.
inline void mask_row(const double *data, const double *universe, double *out, std::size_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd(), nans = _mm_set1_pd(nan);
    for (; i + 2 <= n; i += 2) {
        const __m128d u = _mm_loadu_pd(universe + i), d = _mm_loadu_pd(data + i);
        const __m128d off = _mm_or_pd(_mm_cmpeq_pd(u, zero), _mm_cmpunord_pd(u, u));
        _mm_storeu_pd(out + i, _mm_or_pd(_mm_and_pd(off, nans), _mm_andnot_pd(off, d)));
    }
#endif
    for (; i < n; ++i) out[i] = inactive(universe[i]) ? nan : data[i];
}

// Rows [r0, r1) of a C-contiguous (rows, n) matrix masked into `out` (same layout). The
// universe row r starts at universe + r * universe_row_stride, so a stride of 0 applies
// one (n,) universe to every row.
inline void mask_rows(const double *data, const double *universe, std::size_t universe_row_stride,
                      double *out, std::size_t n, std::size_t r0, std::size_t r1) {
    for (std::size_t r = r0; r < r1; ++r)
        mask_row(data + r * n, universe + r * universe_row_stride, out + r * n, n);
}

// The whole matrix, split over the worker threads when it is large enough to pay for them.
// Touches no Python object: callers may release the GIL around it.
inline void mask_matrix(const double *data, const double *universe,
                        std::size_t universe_row_stride, double *out, std::size_t rows,
                        std::size_t n) {
    parallel_rows(rows, n, kMemoryBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        mask_rows(data, universe, universe_row_stride, out, n, r0, r1);
    });
}

}  // namespace ee::kernels
