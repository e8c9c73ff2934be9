// The rank kernels' portable path: no vector code of their own (the counting of short rows
// uses the widest compares the selected path allows). Plain C++, no Python.
//
// Short rows count for every finite value how many are smaller; long rows radix-sort their
// items on the high 32 key bits and re-sort the rare runs that agree on those on full keys.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "mask.hpp"
#include "rank_keys.hpp"

namespace ee::kernels::detail {

// One pass over a long row: items[0, m) for the valid finite cells, pos[j] = kNoRank for
// every cell, and the counts of valid -inf and +inf cells. Returns m.
inline std::size_t build_items_generic(const double *row, const double *universe, std::size_t n,
                                       std::uint64_t *items, std::uint32_t *pos,
                                       std::size_t &neg, std::size_t &pinf, const Columns &c) {
    const double inf = std::numeric_limits<double>::infinity();
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        double v = row[j];
        pos[j] = kNoRank;
        bool masked = std::isnan(v) || (universe && inactive(universe[j]));
        bool infinite = std::fabs(v) == inf;
        items[m] = cell_item(v, (std::uint32_t) j, c);
        m += !(masked || infinite);
        if (infinite && !masked) {
            if (v > 0) ++pinf; else ++neg;
        }
    }
    return m;
}

// The rank of position p among `valid` cells: p / (valid - 1), 0.5 for a single cell.
inline double rank_value(std::uint32_t p, std::size_t valid) {
    return valid == 1 ? 0.5 : double(p) / double(valid - 1);
}

inline void emit_ranks_generic(const std::uint32_t *pos, std::size_t n, std::size_t valid,
                               double *out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < n; ++j) out[j] = pos[j] == kNoRank ? nan : rank_value(pos[j], valid);
}

// Position j of a row of P-sized positions (kNoRank for a masked cell), read byte-wise:
// the bytes of a kept row of positions have held, and will hold, parts of doubles.
template <typename P>
inline std::uint32_t position_at(const unsigned char *row, std::size_t j) {
    P p;
    std::memcpy(&p, row + j * sizeof(P), sizeof(P));
    return p == P(kNoRank) ? kNoRank : p;
}

// out[j] from the left row's P-sized positions at `left` and the right row's positions; the
// left row may sit in the tail of out (see RankPositions).
template <typename P>
inline void emit_product_generic(const unsigned char *left, std::size_t left_valid,
                                 const std::uint32_t *right, std::size_t right_valid,
                                 std::size_t n, double *out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t l = position_at<P>(left, j);
        out[j] = l == kNoRank || right[j] == kNoRank
                     ? nan
                     : rank_value(l, left_valid) * rank_value(right[j], right_valid);
    }
}

// The positions of a row's valid finite cells (as rank_row_positions gives them, before the
// infinite cells are placed): pos[j] = kNoRank for every other cell, m receives the number
// of valid finite cells, and the valid -inf and +inf cells are added to neg and pinf.
// Returns false when two valid finite cells are equal.
inline bool row_positions_portable(const double *row, const double *universe, std::size_t n,
                                   RankScratch &s, std::size_t &m, std::size_t &neg,
                                   std::size_t &pinf, const Columns &cols) {
    const double inf = std::numeric_limits<double>::infinity();
    std::uint32_t *pos = s.pos.data();
    if (n <= kCountRanksMax) {
        double *vals = s.vals.data();
        std::uint32_t *column = s.cols.data();
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            pos[j] = kNoRank;
            if (std::isnan(v) || (universe && inactive(universe[j]))) continue;
            if (v == inf) {
                ++pinf;
            } else if (v == -inf) {
                ++neg;
            } else {
                vals[m] = v;
                column[m++] = (std::uint32_t) j;
            }
        }
        std::uint32_t *ranks = s.ranks.data();
        if (!count_ranks(vals, s.prefixes.data(), m, ranks, s.seen.data())) return false;
        for (std::size_t i = 0; i < m; ++i)
            pos[column[i]] = (std::uint32_t) (neg + ranks[i]);
        return true;
    }
    std::uint64_t *items = s.items.data();
    m = build_items_generic(row, universe, n, items, pos, neg, pinf, cols);
    if (m > 1) sort_u64(items, s.tmp.data(), m, kRadixFrom, s.sort);
    // Positions, and whether two neighbours share their high key bits (then the full keys
    // decide: a rare, slower pass).
    std::uint64_t shared = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint64_t it = items[k];
        pos[it & cols.mask] = (std::uint32_t) (neg + k);
        if (k) shared |= ((it ^ items[k - 1]) >> kRadixFrom) == 0;
    }
    if (shared) {
        if (resolve_prefix_runs(items, m, row, cols, kRadixFrom)) return false;
        for (std::size_t k = 0; k < m; ++k) pos[items[k] & cols.mask] = (std::uint32_t) (neg + k);
    }
    return true;
}

}  // namespace ee::kernels::detail
