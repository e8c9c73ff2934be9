// The rolling kernels' one-row-per-call driver for the stateful built-ins. Plain C++, no
// Python.
//
// State for n columns and window w, all in caller-owned arrays (zero-filled, +0.0, before
// the first row):
//   sum[n], sq[n], invalid[n]: the running totals after the last row consumed;
//   lag_sum[n], lag_sq[n], lag_invalid[n]: the trailing totals, after the last row that
//     has left the window (meaningful once more than w rows have been consumed);
//   ring[w * n]: the last w input rows, row-major (w, n); slot t % w holds row t.
// `sq` and `lag_sq` may be null for the mean. `count` is the number of rows consumed before
// this one; the state after the call is the state for count + 1.
//
// Consumes `row` (n cells) as row number `count` and writes to out[n] the statistic of the
// window that ends at it: NaN while fewer than w rows have been seen, otherwise the bits
// that run_matrix gives for that row. The row that leaves the window is folded into the
// trailing totals from the ring, exactly as run_matrix folds it from the matrix.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "rolling_accumulator.hpp"

namespace ee::kernels::rolling {

namespace detail {

// Where the one-row driver keeps a kind of running total, one per column.
//   WideTotals: the long double itself. Storing the 80-bit format costs several times an
//     addition, four times a cell.
//   SplitTotals: two doubles, hi = the total rounded to double and lo = the total minus hi,
//     which is exact, so that hi + lo gives the total back. That holds for every total of
//     cells that are NaN, +0.0 or of a magnitude in [2^-400, 2^401) (split_safe_cell): such
//     totals are +0.0 or of a magnitude in [2^-900, 2^1000) (split_safe_total), where the
//     remainder is a normal double; none is -0.0 or infinite.
struct WideTotals {
    acc_t *p;
    acc_t load(std::int64_t j) const noexcept { return p[j]; }
    void store(std::int64_t j, acc_t v) const noexcept { p[j] = v; }
    int special(std::int64_t j) const noexcept { return special_of(p[j]); }
};

struct SplitTotals {
    double *p;  // hi, lo of column j at p[2 j], p[2 j + 1]
    acc_t load(std::int64_t j) const noexcept {
        acc_t v = load_acc(p + 2 * j);
#if defined(__GNUC__) && defined(__x86_64__)
        __asm__("faddl %1" : "+t"(v) : "m"(p[2 * j + 1]));
#else
        v += (acc_t) p[2 * j + 1];
#endif
        return v;
    }
    void store(std::int64_t j, acc_t v) const noexcept {
        double *hi = p + 2 * j;
#if defined(__GNUC__) && defined(__x86_64__)
        __asm__("fstl %0" : "=m"(*hi) : "t"(v));
        acc_t rest = v;
        __asm__("fsubl %1" : "+t"(rest) : "m"(*hi));
        store_f64(hi + 1, rest);
#else
        *hi = (double) v;
        hi[1] = (double) (v - (acc_t) *hi);
#endif
    }
    int special(std::int64_t) const noexcept { return kFinite; }
};

template <Stat S, typename Totals>
inline void stream_rows(const double *row, double *out, std::int64_t n, std::int64_t count,
                        std::int64_t w, Totals sum, Totals sq, std::int64_t *invalid,
                        Totals lag_sum, Totals lag_sq, std::int64_t *lag_invalid,
                        double *ring) noexcept {
    constexpr bool squares = S != Stat::mean;
    const double wl = (double) w;
    const std::int64_t t = count;
    double *slot = ring + (t % w) * n;
    for (std::int64_t j = 0; j < n; ++j) {
        // The sums' values say what they are (read from memory, before they are loaded).
        int sp = t == 0 ? kFinite : sum.special(j);
        int lsp = t <= w ? kFinite : lag_sum.special(j);
        acc_t s = sum.load(j), q = squares ? sq.load(j) : 0.0L;
        std::int64_t c = invalid[j];
        fold<squares>(s, q, c, sp, row + j, t == 0);
        sum.store(j, s), invalid[j] = c;
        if constexpr (squares) sq.store(j, q);
        acc_t ls = lag_sum.load(j), lq = squares ? lag_sq.load(j) : 0.0L;
        std::int64_t lc = lag_invalid[j];
        if (t >= w) {  // row t - w leaves the window
            fold<squares>(ls, lq, lc, lsp, slot + j, t == w);
            lag_sum.store(j, ls), lag_invalid[j] = lc;
            if constexpr (squares) lag_sq.store(j, lq);
        }
        slot[j] = row[j];
        if (t < w - 1)
            out[j] = quiet_nan();
        else if (t == w - 1)
            cell<S>(s, q, c, sp, 0.0L, 0.0L, 0, kFinite, row + j, wl, out + j);
        else
            cell<S>(s, q, c, sp, ls, lq, lc, lsp, row + j, wl, out + j);
    }
}

template <typename Totals>
inline void stream_step(Stat stat, const double *row, double *out, std::int64_t n,
                        std::int64_t count, std::int64_t w, Totals sum, Totals sq,
                        std::int64_t *invalid, Totals lag_sum, Totals lag_sq,
                        std::int64_t *lag_invalid, double *ring) noexcept {
    switch (stat) {
        case Stat::mean:
            stream_rows<Stat::mean>(row, out, n, count, w, sum, sq, invalid, lag_sum, lag_sq,
                                    lag_invalid, ring);
            break;
        case Stat::std:
            stream_rows<Stat::std>(row, out, n, count, w, sum, sq, invalid, lag_sum, lag_sq,
                                   lag_invalid, ring);
            break;
        default:
            stream_rows<Stat::zscore>(row, out, n, count, w, sum, sq, invalid, lag_sum,
                                      lag_sq, lag_invalid, ring);
            break;
    }
}

}  // namespace detail

inline void stream_step(Stat stat, const double *row, double *out, std::int64_t n,
                        std::int64_t count, std::int64_t w, acc_t *sum, acc_t *sq,
                        std::int64_t *invalid, acc_t *lag_sum, acc_t *lag_sq,
                        std::int64_t *lag_invalid, double *ring) noexcept {
    detail::stream_step(stat, row, out, n, count, w, detail::WideTotals{sum},
                        detail::WideTotals{sq}, invalid, detail::WideTotals{lag_sum},
                        detail::WideTotals{lag_sq}, lag_invalid, ring);
}

// ---------------------------------------------------------------------------------------
// The same driver with the totals split into two doubles each (hi, lo): `split` holds
// 8 n doubles, the pairs of sum, sq, lag_sum and lag_sq in turn (2 n each). The same bits
// and the same totals as stream_step, as long as every cell consumed so far, and every
// cell of the row and of the ring slot that leaves the window, passes split_safe_cell.

// NaN, +0.0, or a magnitude in [2^-400, 2^401).
inline bool split_safe_cell(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t e = (bits >> 52) & 0x7FF;
    if (e == 0x7FF) return (bits << 12) != 0;  // NaN (contributes +0.0), not infinity
    return bits == 0 || (e >= 1023 - 400 && e <= 1023 + 400);
}

inline bool split_safe_cells(const double *p, std::int64_t n) noexcept {
    bool ok = true;
    for (std::int64_t j = 0; j < n; ++j) ok &= split_safe_cell(p[j]);
    return ok;
}

// Whether a total can be held split: +0.0, or a magnitude in [2^-900, 2^1000) (hi + lo is
// then exactly the total, and neither part is a subnormal double). Every total of split-safe
// cells is one.
inline bool split_safe_total(const acc_t &v) noexcept {
#if defined(__x86_64__) && LDBL_MANT_DIG == 64
    std::uint16_t exponent;
    std::uint64_t mantissa;
    std::memcpy(&exponent, reinterpret_cast<const unsigned char *>(&v) + 8, sizeof exponent);
    std::memcpy(&mantissa, &v, sizeof mantissa);
    if (exponent == 0 && mantissa == 0) return true;  // +0.0 (-0.0 has the sign bit set)
    const int e = (int) (exponent & 0x7FFF) - 16383;  // -0.0, infinities, NaN: out of range
    return e >= -900 && e < 1000;
#else
    if (v == 0.0L) return !std::signbit(v);
    return std::fabs(v) >= 0x1p-900L && std::fabs(v) < 0x1p1000L;
#endif
}

inline bool split_safe_totals(const acc_t *p, std::int64_t n) noexcept {
    bool ok = true;
    for (std::int64_t j = 0; j < n; ++j) ok &= split_safe_total(p[j]);
    return ok;
}

inline void stream_step_split(Stat stat, const double *row, double *out, std::int64_t n,
                              std::int64_t count, std::int64_t w, double *split,
                              std::int64_t *invalid, std::int64_t *lag_invalid,
                              double *ring) noexcept {
    detail::stream_step(stat, row, out, n, count, w, detail::SplitTotals{split},
                        detail::SplitTotals{split + 2 * n}, invalid,
                        detail::SplitTotals{split + 4 * n},
                        detail::SplitTotals{split + 6 * n}, lag_invalid, ring);
}

// Between the two forms: n totals, exactly.
inline void split_totals(const acc_t *wide, double *split, std::int64_t n) noexcept {
    const detail::SplitTotals to{split};
    for (std::int64_t j = 0; j < n; ++j) to.store(j, wide[j]);
}

inline void join_totals(const double *split, acc_t *wide, std::int64_t n) noexcept {
    const detail::SplitTotals from{const_cast<double *>(split)};
    for (std::int64_t j = 0; j < n; ++j) wide[j] = from.load(j);
}

}  // namespace ee::kernels::rolling
