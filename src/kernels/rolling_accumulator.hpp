// The rolling kernels' accumulator: running totals of one column, and the statistic of a
// window from two sets of them. Plain C++, no Python.
//
// Arithmetic. Everything is accumulated in long double (the x87 80-bit type on x86-64
// Linux) from the start of each column's series; a window's sums are the difference of two
// running totals, the one after the window's last row minus the one before its first row:
//
//   - the running totals of a column start as a copy of its first value (a -0.0 stays
//     -0.0) and of its square; later values are added; NaN cells count 0.0 and are counted
//     as invalid;
//   - before the first row the totals are a leading zero row: +0.0, +0.0, no invalid cell;
//   - mean = (sum_now - sum_before) / w;
//     var = max(0, (sq_now - sq_before) / w - mean * mean), where max(0, v) is +0.0 for
//     v <= 0 (-0.0 included) and passes NaN through; std = sqrt(var);
//     z = (x - mean) / std, or +0.0 where std == 0;
//   - one rounding to double at the end. NaNs made by the arithmetic (inf - inf) are the
//     x87 default NaN, sign bit set; cells that are not computable hold a positive quiet
//     NaN.
// The divisions by w stay divisions (a product with 1/w would round differently), and the
// operations run in exactly this order, so every driver gives the same bits.
#pragma once

#include <cstdint>
#include <limits>

#include "rolling_x87.hpp"

namespace ee::kernels::rolling {

// Folds the cell *p into running totals (sum, sq, bad; `special` says what infinite cells
// made of sum, and so of sq, which is then +inf). `first` marks the first row of the
// series, whose value (and square) is copied rather than added to +0.0. Squares are kept
// only when `Squares` (the mean needs none). Without `Infs`, the caller knows that neither
// the cell nor the sums are infinite; with `Tiny`, subnormal cells are loaded the long way.
template <bool Squares, bool Infs = true, bool Tiny = false>
__attribute__((always_inline)) inline void fold(acc_t &sum, acc_t &sq, std::int64_t &bad,
                                                int &special, const double *p,
                                                bool first) noexcept {
    if (first) special = kFinite;
    const std::uint64_t bits = cell_bits(p);
    if (Infs && (special != kFinite || (bits << 1) == 0xFFE0000000000000ull)) {
        // An infinite cell, or a sum that one has made infinite or NaN: no arithmetic.
        const bool nan = (bits << 1) > 0xFFE0000000000000ull;
        bad = first ? (nan ? 1 : 0) : bad + (nan ? 1 : 0);
        if ((bits << 1) != 0xFFE0000000000000ull) return;  // leaves a special sum as it is
        const int sign = (bits >> 63) ? kNegInf : kPosInf;
        if (special == kFinite) {
            special = sign;
            sum = load_acc(p);
            if constexpr (Squares) sq = (acc_t) std::numeric_limits<double>::infinity();
        } else if (special != sign && special != kNaN) {
            special = kNaN;
            sum = default_nan_acc();
        }
        return;
    }
    const bool nan = (bits << 1) > 0xFFE0000000000000ull;
    acc_t v = Tiny ? load_acc_tiny(p) : load_acc(p);
    if (nan) v = 0.0L;
    if (first) {
        sum = v;
        if constexpr (Squares) sq = v * v;
        bad = nan ? 1 : 0;
    } else {
        sum += v;
        if constexpr (Squares) sq += v * v;
        bad += nan ? 1 : 0;
    }
}

// The statistic of a computable window whose sum after its last row is special: the
// difference with the sum before its first row is +-inf when that one is finite and the
// later one infinite, NaN otherwise; the mean follows it, while the variance takes
// (+inf) - (+inf) or a NaN, so the deviation and z-score are NaN.
template <Stat S>
inline double special_result(int special, int special0) noexcept {
    if constexpr (S == Stat::mean) {
        if (special0 == kFinite && special != kNaN)
            return special == kPosInf ? std::numeric_limits<double>::infinity()
                                      : -std::numeric_limits<double>::infinity();
    }
    (void) special, (void) special0;
    return default_nan();
}

// Writes to *out the statistic of the window that ends at the row whose input cell is
// *latest, from the totals after that row (sum, sq, bad, special) and the totals before the
// window's first row (sum0, sq0, bad0, special0): a positive quiet NaN when the window
// holds a NaN cell. `w` is the window length. With `Tiny`, subnormal values are moved the
// long way.
template <Stat S, bool Tiny = false>
__attribute__((always_inline)) inline void cell(acc_t sum, acc_t sq, std::int64_t bad,
                                                int special, acc_t sum0, acc_t sq0,
                                                std::int64_t bad0, int special0,
                                                const double *latest, const double &w,
                                                double *out) noexcept {
    if (bad != bad0) {
        *out = quiet_nan();
        return;
    }
    if (special != kFinite) {  // (the sum before the window is finite when this one is)
        *out = special_result<S>(special, special0);
        return;
    }
    const acc_t mean = div_w(sum - sum0, w);
    if constexpr (S == Stat::mean) {
        (void) sq, (void) sq0, (void) latest;
        Tiny ? store_f64_tiny(out, mean) : store_f64(out, mean);
    } else {
        const acc_t var = div_w(sq - sq0, w) - mean * mean;
        // max(0, var) is +0.0 here, so is its square root, and the z-score of a zero
        // deviation is +0.0 as well. Otherwise var is positive or NaN and so is the
        // deviation, which then differs from 0.
        if (0.0L >= var) {
            *out = 0.0;
            return;
        }
        const acc_t sd = sqrt_acc(var);
        if constexpr (S == Stat::std) {
            (void) latest;
            Tiny ? store_f64_tiny(out, sd) : store_f64(out, sd);
        } else {
            const acc_t x = Tiny ? load_acc_tiny(latest) : load_acc(latest);
            Tiny ? store_f64_tiny(out, (x - mean) / sd) : store_f64(out, (x - mean) / sd);
        }
    }
}

}  // namespace ee::kernels::rolling
