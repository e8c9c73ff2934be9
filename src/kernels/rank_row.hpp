// The rank kernels' row API: positions of one row, distinct ranks, average ranks, and the
// ranks and products written from positions, each on the path that platform.hpp selects.
// Plain C++, no Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "mask.hpp"
#include "platform.hpp"
#include "rank_avx2.hpp"
#include "rank_avx512.hpp"
#include "rank_avx512_emit.hpp"
#include "rank_keys.hpp"
#include "rank_portable.hpp"

namespace ee::kernels {

namespace detail {

// Results of at least this many bytes are written around the caches: they are far larger
// than the caches, written once, and not read back by the kernel.
inline constexpr std::size_t kStreamMinBytes = std::size_t(16) << 20;

// `stream`: write around the caches where the CPU can (fence_streams() must follow before
// the output is handed over).
inline void emit_ranks(const std::uint32_t *pos, std::size_t n, std::size_t valid, double *out,
                       bool stream = false) {
#ifdef EE_KERNELS_X86
    if (use_avx512()) return emit_ranks_avx512(pos, n, valid, out, stream);
    if (use_avx2()) return emit_ranks_avx2(pos, n, valid, out, stream);
#endif
    (void) stream;
    emit_ranks_generic(pos, n, valid, out);
}

template <typename P>
inline void emit_product(const unsigned char *left, std::size_t left_valid,
                         const std::uint32_t *right, std::size_t right_valid, std::size_t n,
                         double *out, const unsigned char *next_left = nullptr) {
#ifdef EE_KERNELS_X86
    if (use_avx512())
        return emit_product_avx512<P>(left, left_valid, right, right_valid, n, out, next_left);
    if (use_avx2())
        return emit_product_avx2<P>(left, left_valid, right, right_valid, n, out, next_left);
#endif
    (void) next_left;
    emit_product_generic<P>(left, left_valid, right, right_valid, n, out);
}

inline void fence_streams() {
#ifdef EE_KERNELS_X86
    if (use_avx2()) store_fence();
#endif
}

}  // namespace detail

// Positions of one row of n cells (n < 2^32) into s.pos[0, n): a valid cell's 0-based
// position in the stable ascending order of the row in which masked cells read as +inf,
// kNoRank for a masked cell. A cell is masked where its value is NaN or, when `universe` is
// not null, where the universe is inactive; a valid +inf cell's position counts the masked
// cells (and valid +inf cells) to its left. `valid` receives the number of valid cells.
// Returns false, leaving s.pos unspecified, when two valid finite cells are equal (-0.0
// equals 0.0). `next`, when not null, is the row the caller ranks next: its cells are
// fetched towards the cache meanwhile.
inline bool rank_row_positions(const double *row, const double *universe, std::size_t n,
                               RankScratch &s, std::size_t &valid,
                               const double *next = nullptr) {
    const double inf = std::numeric_limits<double>::infinity();
    s.reserve(n);
    std::uint32_t *pos = s.pos.data();
    std::size_t m = 0, neg = 0, pinf = 0;
    bool sorted = false;
    const detail::Columns cols(n);
#ifdef EE_KERNELS_X86
    const std::size_t deal_min =
        detail::use_avx512() ? detail::kNetworkMaxAvx512 + 1 : detail::kDealMin;
    const bool deal = detail::use_avx2() && n >= deal_min && n < (std::size_t(1) << 28);
    if (detail::use_avx512() || deal) {
        const detail::SortOutcome done =
            deal ? detail::deal_positions_avx2(row, universe, next, n, s, m, neg, pinf, cols)
                 : detail::row_positions_avx512(row, universe, next, n, s, m, neg, pinf, cols);
        if (done == detail::SortOutcome::kTie) return false;
        sorted = done == detail::SortOutcome::kDone;
        if (!sorted) m = neg = pinf = 0;  // the portable path starts over
    }
#else
    (void) next;
#endif
    if (!sorted && !detail::row_positions_portable(row, universe, n, s, m, neg, pinf, cols))
        return false;
    valid = m + neg + pinf;
    if (neg + pinf) {
        std::size_t neg_seen = 0, inf_like_seen = 0;
        for (std::size_t j = 0; j < n; ++j) {
            double v = row[j];
            if (std::isnan(v) || (universe && inactive(universe[j]))) {
                ++inf_like_seen;
            } else if (v == -inf) {
                pos[j] = (std::uint32_t) neg_seen++;
            } else if (v == inf) {
                pos[j] = (std::uint32_t) (m + neg + inf_like_seen);
                ++inf_like_seen;
            }
        }
    }
    return true;
}

// Ranks one row of n cells (n < 2^32) into out[0, n): position / (valid - 1) for a valid
// cell (positions as rank_row_positions gives them), 0.5 when the row has a single valid
// cell, NaN for a masked cell. Returns false, leaving out[] unspecified, when two valid
// finite cells are equal (-0.0 equals 0.0).
inline bool rank_row_distinct(const double *row, const double *universe, double *out,
                              std::size_t n, RankScratch &s) {
    std::size_t valid = 0;
    if (!rank_row_positions(row, universe, n, s, valid)) return false;
    detail::emit_ranks(s.pos.data(), n, valid, out);
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
    const detail::Columns cols(n);
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        out[j] = nan;
        if (!std::isnan(row[j])) items[m++] = detail::cell_item(row[j], (std::uint32_t) j, cols);
    }
    if (m == 0) return;
    if (m == 1) {
        out[items[0] & cols.mask] = 0.5;
        return;
    }
    const bool equal = detail::sort_items(items, m, row, s, cols);
    const double denom = double(m - 1);
    if (!equal) {
        for (std::size_t k = 0; k < m; ++k)
            out[items[k] & cols.mask] = double(k) / denom;
        return;
    }
    std::size_t i = 0;
    while (i < m) {
        const std::uint64_t key = order_key(row[items[i] & cols.mask]);
        std::size_t j = i;
        while (j + 1 < m && order_key(row[items[j + 1] & cols.mask]) == key) ++j;
        const double p = double(i + j) * 0.5;
        for (std::size_t a = i; a <= j; ++a) out[items[a] & cols.mask] = p / denom;
        i = j + 1;
    }
}

}  // namespace ee::kernels
