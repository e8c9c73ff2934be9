// Cross-sectional ranks of float64 rows. Plain C++, no Python.
//
// One row kernel, two drivers:
//   - rank_matrix_distinct (and rank_matrix_distinct_multiply): the whole-matrix fast
//     path. A row's valid cells are ranked k / (n - 1) by their position k in the stable
//     ascending order of the row in which masked cells read as +inf; any finite tie in any
//     row declines the whole matrix (returns false).
//   - rank_row_average: one row, equal values sharing the mean of their positions, for the
//     row-by-row rank function.
//
// Ordering: a cell's value becomes a 64-bit key that sorts like the double (-0.0 and 0.0
// share a key). Short rows count, for every finite value, how many are smaller (vector
// compares on the keys' high 32 bits, and on the doubles themselves when those collide);
// long rows sort items (high 32 key bits, column) and re-sort the rare runs whose high bits
// collide on full keys.
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
    x += 0.0;  // -0.0 becomes 0.0; every other value is unchanged
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t negative = (std::uint64_t) ((std::int64_t) b >> 63);
    return b ^ (negative | 0x8000000000000000ull);
}

// The key's high 32 bits as a signed integer with the same order.
inline std::int32_t key_prefix(double x) {
    return (std::int32_t) (std::uint32_t) ((order_key(x) >> 32) ^ 0x80000000u);
}

// Rows with at most this many finite cells are ranked by counting; longer rows are sorted.
inline constexpr std::size_t kCountRanksMax = 160;

// Per-thread buffers, O(n) each, reused from row to row.
struct RankScratch {
    std::vector<std::uint64_t> items, tmp;
    std::vector<double> vals, row;
    std::vector<std::int32_t> prefixes;
    std::vector<std::uint32_t> cols, ranks;
    std::vector<unsigned char> seen;
    SortScratch sort;
    void reserve(std::size_t n) {
        if (cols.size() < n) {
            items.resize(n);
            tmp.resize(n);
            vals.resize(n + 16);
            prefixes.resize(n + 16);
            cols.resize(n);
            ranks.resize(n + 16);
            seen.resize(n);
        }
    }
};

namespace detail {

constexpr std::uint64_t kColumnMask = 0xFFFFFFFFull;

inline std::uint64_t cell_item(double v, std::uint32_t col) {
    return (order_key(v) & ~kColumnMask) | col;
}

// Sorts items[0, m) (high 32 key bits, column) into ascending value order, equal values in
// column order; row[col] is the value of a column. Returns true when two items hold equal
// values.
inline bool sort_items(std::uint64_t *items, std::size_t m, const double *row, RankScratch &s) {
    sort_u64(items, s.tmp.data(), m, 32, s.sort);
    bool equal_found = false;
    auto full_less = [row](std::uint64_t a, std::uint64_t b) {
        std::uint64_t ka = order_key(row[a & kColumnMask]), kb = order_key(row[b & kColumnMask]);
        return ka < kb || (ka == kb && (a & kColumnMask) < (b & kColumnMask));
    };
    std::size_t i = 1;
    while (i < m) {
        if ((items[i] >> 32) != (items[i - 1] >> 32)) {
            ++i;
            continue;
        }
        std::size_t start = i - 1, end = i + 1;
        while (end < m && (items[end] >> 32) == (items[start] >> 32)) ++end;
        std::sort(items + start, items + end, full_less);
        for (std::size_t a = start + 1; a < end; ++a)
            if (order_key(row[items[a] & kColumnMask]) ==
                order_key(row[items[a - 1] & kColumnMask]))
                equal_found = true;
        i = end;
    }
    return equal_found;
}

// ranks[i] = number of vals[0, m) smaller than vals[i], all distinct; false when two
// values are equal. vals and prefixes need room for m rounded up to 16.
inline bool count_ranks(double *vals, std::int32_t *prefixes, std::size_t m,
                        std::uint32_t *ranks, unsigned char *seen) {
    if (m == 0) return true;  // an empty row: the scratch buffers may not even exist
    for (std::size_t i = 0; i < m; ++i) prefixes[i] = key_prefix(vals[i]);
    count_less(prefixes, m, ranks);
    std::memset(seen, 0, m);
    bool distinct = true;
    for (std::size_t i = 0; i < m; ++i) {
        if (seen[ranks[i]]) {
            distinct = false;
            break;
        }
        seen[ranks[i]] = 1;
    }
    if (distinct) return true;  // distinct prefixes order the values
    count_less(vals, m, ranks);  // prefixes collide: count on the values themselves
    std::memset(seen, 0, m);
    for (std::size_t i = 0; i < m; ++i) {
        if (seen[ranks[i]]) return false;  // equal values share a count
        seen[ranks[i]] = 1;
    }
    return true;
}

}  // namespace detail

// Ranks one row of n cells (n < 2^32) into out[0, n). A cell is masked where its value is
// NaN or, when `universe` is not null, where the universe is inactive. Masked cells read as
// +inf, so a valid +inf cell's position counts the masked cells (and valid +inf cells) to
// its left. Returns false, leaving out[] unspecified, when two valid finite cells are
// equal (-0.0 equals 0.0).
inline bool rank_row_distinct(const double *row, const double *universe, double *out,
                              std::size_t n, RankScratch &s) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    s.reserve(n);
    double *vals = s.vals.data();
    std::uint32_t *cols = s.cols.data();
    std::size_t m = 0, neg = 0, pos = 0;
    if (n <= kCountRanksMax) {
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            out[j] = nan;
            if (std::isnan(v) || (universe && inactive(universe[j]))) continue;
            if (v == inf) {
                ++pos;
            } else if (v == -inf) {
                ++neg;
            } else {
                vals[m] = v;
                cols[m++] = (std::uint32_t) j;
            }
        }
        std::uint32_t *ranks = s.ranks.data();
        if (!detail::count_ranks(vals, s.prefixes.data(), m, ranks, s.seen.data())) return false;
        for (std::size_t i = 0; i < m; ++i) out[cols[i]] = double(neg + ranks[i]);
    } else {
        std::uint64_t *items = s.items.data();
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            out[j] = nan;
            bool masked = std::isnan(v) || (universe && inactive(universe[j]));
            bool infinite = std::fabs(v) == inf;
            items[m] = detail::cell_item(v, (std::uint32_t) j);
            m += !(masked || infinite);
            if (infinite && !masked) {
                if (v > 0) ++pos; else ++neg;
            }
        }
        if (detail::sort_items(items, m, row, s)) return false;
        for (std::size_t k = 0; k < m; ++k) out[items[k] & detail::kColumnMask] = double(neg + k);
    }
    const std::size_t valid = m + neg + pos;
    if (valid == 0) return true;  // every cell masked: all NaN
    if (neg + pos) {
        std::size_t neg_seen = 0, inf_like_seen = 0;
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            if (std::isnan(v) || (universe && inactive(universe[j]))) {
                ++inf_like_seen;
            } else if (v == -inf) {
                out[j] = double(neg_seen++);
            } else if (v == inf) {
                out[j] = double(m + neg + inf_like_seen);
                ++inf_like_seen;
            }
        }
    }
    if (valid == 1) {
        for (std::size_t j = 0; j < n; ++j)
            if (!std::isnan(out[j])) out[j] = 0.5;
        return true;
    }
    // Positions become k / (n - 1); masked cells stay NaN (NaN / x keeps its bits).
    const double denom = double(valid - 1);
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] / denom;
    return true;
}

// Ranks one row of n cells (n < 2^32): the valid (non-NaN) cells, infinities included, get
// k / (n_valid - 1) by ascending position k, equal values (-0.0 equals 0.0, equal
// infinities too) sharing the mean of their positions, (first + last) / 2, before the
// division; a single valid cell gets 0.5; NaN cells are NaN. out may not alias row.
inline void rank_row_average(const double *row, double *out, std::size_t n, RankScratch &s) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.reserve(n);
    std::uint64_t *items = s.items.data();
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        out[j] = nan;
        if (!std::isnan(row[j])) items[m++] = detail::cell_item(row[j], (std::uint32_t) j);
    }
    if (m == 0) return;
    if (m == 1) {
        out[items[0] & detail::kColumnMask] = 0.5;
        return;
    }
    const bool equal = detail::sort_items(items, m, row, s);
    const double denom = double(m - 1);
    if (!equal) {
        for (std::size_t k = 0; k < m; ++k)
            out[items[k] & detail::kColumnMask] = double(k) / denom;
        return;
    }
    std::size_t i = 0;
    while (i < m) {
        const std::uint64_t key = order_key(row[items[i] & detail::kColumnMask]);
        std::size_t j = i;
        while (j + 1 < m && order_key(row[items[j + 1] & detail::kColumnMask]) == key) ++j;
        const double p = double(i + j) * 0.5;
        for (std::size_t a = i; a <= j; ++a) out[items[a] & detail::kColumnMask] = p / denom;
        i = j + 1;
    }
}

// The whole-matrix driver. Row r of the data starts at data + r * data_row_stride
// (elements); when `universe` is not null its row r starts at universe + r *
// universe_row_stride (0: one universe row for every row). out is C-contiguous (rows, n),
// n < 2^32. Returns false when any row holds a finite tie (out is then unspecified).
// Large matrices are split over the worker threads; touches no Python object.
inline bool rank_matrix_distinct(const double *data, std::size_t data_row_stride,
                                 const double *universe, std::size_t universe_row_stride,
                                 double *out, std::size_t rows, std::size_t n) {
    std::atomic<bool> tie{false};
    parallel_rows(rows, n, kComputeBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        RankScratch s;
        for (std::size_t r = r0; r < r1; ++r) {
            if ((r & 31) == 0 && tie.load(std::memory_order_relaxed)) return;
            const double *u = universe ? universe + r * universe_row_stride : nullptr;
            if (!rank_row_distinct(data + r * data_row_stride, u, out + r * n, n, s)) {
                tie.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return !tie.load();
}

// As rank_matrix_distinct, but multiplies each ranked row into out (out[r] *= ranks of
// row r) instead of storing it: the second operand of a product of two rank matrices.
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
            if ((r & 31) == 0 && tie.load(std::memory_order_relaxed)) return;
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
