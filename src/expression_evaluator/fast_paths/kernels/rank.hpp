// Cross-sectional ranks of float64 rows. Plain C++, no Python.
//
// One row kernel, two drivers:
//   - rank_matrix_distinct: the whole-matrix fast path. Rows are ranked k / (n - 1) by
//     their stable ascending order, masked cells sorting as +inf; any finite tie in any
//     row declines the whole matrix (returns false).
//   - rank_row_average: one row, ties sharing the mean of their positions, for the
//     row-by-row rank function.
//
// Ordering works on 64-bit keys that sort like the doubles (-0.0 and 0.0 share a key);
// the low bits of a key are replaced by the cell's column, the packed keys are sorted as
// plain integers, and the rare runs whose high bits collide are re-sorted on full keys.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "mask.hpp"
#include "parallel.hpp"
#include "sort.hpp"

namespace ee::kernels {

// An unsigned key that orders like the double (NaN excluded); -0.0 and 0.0 map to one key.
inline std::uint64_t order_key(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    if (x == 0.0) b = 0;
    return (b >> 63) ? ~b : (b | 0x8000000000000000ull);
}

// Number of low key bits that hold the column of a row of n cells (at least 1).
inline unsigned column_bits(std::size_t n) {
    unsigned bits = 1;
    while (bits < 63 && (std::size_t(1) << bits) < n) ++bits;
    return bits;
}

// Per-thread buffers: O(n) each, reused from row to row.
struct RankScratch {
    std::vector<std::uint64_t> keys, tmp;
    std::vector<double> row;
    SortScratch sort;
    void reserve(std::size_t n) {
        if (keys.size() < n) {
            keys.resize(n);
            tmp.resize(n);
        }
    }
};

namespace detail {

// Sorts keys[0, m) (packed: high bits of the order key, column in the low `cbits` bits) so
// that cells come in ascending value order, equal values in column order. `values` gives
// the row's values by column. Returns true when two entries hold equal values.
inline bool sort_packed(std::uint64_t *keys, std::size_t m, unsigned cbits, const double *values,
                        RankScratch &s) {
    sort_u64(keys, s.tmp.data(), m, cbits, s.sort);
    const std::uint64_t cmask = (std::uint64_t(1) << cbits) - 1, hmask = ~cmask;
    bool equal_found = false;
    std::size_t i = 1;
    while (i < m) {
        if ((keys[i] & hmask) != (keys[i - 1] & hmask)) {
            ++i;
            continue;
        }
        // A run of equal high bits: order it on full keys (stable in column order).
        std::size_t start = i - 1, end = i + 1;
        while (end < m && (keys[end] & hmask) == (keys[start] & hmask)) ++end;
        for (std::size_t a = start + 1; a < end; ++a) {
            std::uint64_t item = keys[a];
            std::uint64_t ka = order_key(values[item & cmask]);
            std::size_t b = a;
            while (b > start) {
                std::uint64_t prev = keys[b - 1];
                std::uint64_t kp = order_key(values[prev & cmask]);
                if (kp < ka || (kp == ka && (prev & cmask) < (item & cmask))) break;
                keys[b] = prev;
                --b;
            }
            keys[b] = item;
        }
        for (std::size_t a = start + 1; a < end; ++a)
            if (order_key(values[keys[a] & cmask]) == order_key(values[keys[a - 1] & cmask]))
                equal_found = true;
        i = end;
    }
    return equal_found;
}

}  // namespace detail

// Ranks one row of n cells into out[0, n). A cell is masked where its value is NaN or,
// when `universe` is not null, where the universe is inactive. Masked cells sort as +inf,
// so a valid +inf cell's position counts the masked cells (and valid +inf cells) to its
// left. Returns false, leaving out[] unspecified, when two valid finite cells are equal.
inline bool rank_row_distinct(const double *row, const double *universe, double *out,
                              std::size_t n, RankScratch &s) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    s.reserve(n);
    std::uint64_t *keys = s.keys.data();
    const unsigned cbits = column_bits(n);
    const std::uint64_t hmask = ~((std::uint64_t(1) << cbits) - 1);
    std::size_t m = 0, neg = 0, pos = 0;
    for (std::size_t j = 0; j < n; ++j) {
        double v = row[j];
        if (std::isnan(v) || (universe && inactive(universe[j]))) {
            out[j] = nan;
        } else if (v == inf) {
            ++pos;
        } else if (v == -inf) {
            ++neg;
        } else {
            keys[m++] = (order_key(v) & hmask) | j;
        }
    }
    if (detail::sort_packed(keys, m, cbits, row, s)) return false;
    const std::size_t valid = m + neg + pos;
    if (valid == 0) return true;  // all masked: already NaN
    if (valid == 1) {
        for (std::size_t j = 0; j < n; ++j)
            if (!std::isnan(row[j]) && !(universe && inactive(universe[j]))) out[j] = 0.5;
        return true;
    }
    const double denom = double(valid - 1);
    const std::uint64_t cmask = ~hmask;
    for (std::size_t k = 0; k < m; ++k) out[keys[k] & cmask] = double(neg + k) / denom;
    if (neg + pos) {
        std::size_t neg_seen = 0, inf_like_seen = 0;
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            if (std::isnan(v) || (universe && inactive(universe[j]))) {
                ++inf_like_seen;
            } else if (v == -inf) {
                out[j] = double(neg_seen++) / denom;
            } else if (v == inf) {
                out[j] = double(m + neg + inf_like_seen) / denom;
                ++inf_like_seen;
            }
        }
    }
    return true;
}

// Ranks one row of n cells: the valid (non-NaN) cells, infinities included, get
// k / (n_valid - 1) by ascending position k, equal values sharing the mean of their
// positions ((first + last) / 2); a single valid cell gets 0.5; NaN cells stay NaN.
inline void rank_row_average(const double *row, double *out, std::size_t n, RankScratch &s) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.reserve(n);
    std::uint64_t *keys = s.keys.data();
    const unsigned cbits = column_bits(n);
    const std::uint64_t hmask = ~((std::uint64_t(1) << cbits) - 1), cmask = ~hmask;
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (std::isnan(row[j])) {
            out[j] = nan;
        } else {
            keys[m++] = (order_key(row[j]) & hmask) | j;
        }
    }
    if (m == 0) return;
    if (m == 1) {
        out[keys[0] & cmask] = 0.5;
        return;
    }
    bool equal = detail::sort_packed(keys, m, cbits, row, s);
    const double denom = double(m - 1);
    if (!equal) {
        for (std::size_t k = 0; k < m; ++k) out[keys[k] & cmask] = double(k) / denom;
        return;
    }
    std::size_t i = 0;
    while (i < m) {
        std::uint64_t key = order_key(row[keys[i] & cmask]);
        std::size_t j = i;
        while (j + 1 < m && order_key(row[keys[j + 1] & cmask]) == key) ++j;
        const double p = double(i + j) * 0.5;
        for (std::size_t a = i; a <= j; ++a) out[keys[a] & cmask] = p / denom;
        i = j + 1;
    }
}

// The whole-matrix driver. Row r of the data starts at data + r * data_row_stride (in
// elements); when `universe` is not null its row r starts at universe + r *
// universe_row_stride (0: one universe row for all rows). out is C-contiguous (rows, n).
// Returns false when any row holds a finite tie (out is then unspecified). Large matrices
// are split over the worker threads; touches no Python object.
inline bool rank_matrix_distinct(const double *data, std::size_t data_row_stride,
                                 const double *universe, std::size_t universe_row_stride,
                                 double *out, std::size_t rows, std::size_t n) {
    std::atomic<bool> tie{false};
    parallel_rows(rows, n, kComputeBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        RankScratch s;
        for (std::size_t r = r0; r < r1; ++r) {
            if ((r & 63) == 0 && tie.load(std::memory_order_relaxed)) return;
            const double *u = universe ? universe + r * universe_row_stride : nullptr;
            if (!rank_row_distinct(data + r * data_row_stride, u, out + r * n, n, s)) {
                tie.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return !tie.load();
}

// As rank_matrix_distinct, but multiplies each ranked row into out (out *= ranks) instead
// of storing it: the second operand of a product of two rank matrices.
inline bool rank_matrix_distinct_multiply(const double *data, std::size_t data_row_stride,
                                          const double *universe,
                                          std::size_t universe_row_stride, double *out,
                                          std::size_t rows, std::size_t n) {
    std::atomic<bool> tie{false};
    parallel_rows(rows, n, kComputeBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        RankScratch s;
        s.row.resize(n);
        double *buf = s.row.data();
        for (std::size_t r = r0; r < r1; ++r) {
            if ((r & 63) == 0 && tie.load(std::memory_order_relaxed)) return;
            const double *u = universe ? universe + r * universe_row_stride : nullptr;
            if (!rank_row_distinct(data + r * data_row_stride, u, buf, n, s)) {
                tie.store(true, std::memory_order_relaxed);
                return;
            }
            double *o = out + r * n;
            for (std::size_t j = 0; j < n; ++j) o[j] = o[j] * buf[j];
        }
    });
    return !tie.load();
}

}  // namespace ee::kernels
