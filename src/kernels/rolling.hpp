// Rolling-window statistics over the time axis (mean, population standard deviation,
// z-score) under the strict NaN policy: a window yields a value only when none of its w
// cells is NaN. Plain C++, no Python.
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
//
// Two drivers share the accumulator (`fold` and `cell`):
//   - `run_matrix`, the whole-matrix driver: besides the current totals it folds a trailing
//     set of totals from the row that leaves the window (row t - w of the same matrix);
//     repeating the same additions in the same order reproduces the running total before
//     the window bit for bit, so the scratch is O(columns) and no ring is needed. Runs of
//     rows without NaN or infinite cells add the cells as they are, without the tests of
//     `fold`.
//   - `stream_step`, the one-row-per-call driver for stateful functions: the same trailing
//     totals, folded from a ring that keeps the last w input rows. All of its state lives
//     in caller-owned arrays (current and trailing totals, the ring), so it can be saved
//     and restored at any row. `stream_step_split` is the same driver with each total held
//     as two doubles, for cells of moderate magnitude, where the 80-bit stores would cost
//     more than the arithmetic.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ee::kernels::rolling {

using acc_t = long double;

enum class Stat : int { mean = 0, std = 1, zscore = 2 };

// Running totals of one column after some row (or the leading zero row before row 0).
struct Totals {
    acc_t sum = 0.0L;          // running sum of the valid values (NaN cells count 0.0)
    acc_t sumsq = 0.0L;        // running sum of the squares of those values
    std::int64_t invalid = 0;  // running count of NaN cells
    int special = 0;           // what infinite cells made of sum (kFinite: none seen)
    bool tiny = false;         // subnormal cells or results met: loads and stores go around
};

inline double quiet_nan() noexcept { return std::numeric_limits<double>::quiet_NaN(); }

// ---------------------------------------------------------------------------------------
// Moving values between double cells and the x87 registers. Written as the x87
// instructions themselves so that values go straight between memory and the register
// stack; the compiler would otherwise route every value through an SSE register and a
// stack slot, which costs more than the arithmetic.

inline acc_t load_acc(const double *p) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    acc_t v;
    __asm__("fldl %1" : "=t"(v) : "m"(*p));
    return v;
#else
    return (acc_t) *p;
#endif
}

inline void store_f64(double *p, acc_t v) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("fstpl %0" : "=m"(*p) : "t"(v) : "st");
#else
    *p = (double) v;
#endif
}

// Subnormal doubles (below 2^-1022) take the x87 unit's microcoded path when loaded or
// stored, some hundred times the cost of a plain move. These two move them the long way
// round, to the same values: a subnormal cell m x 2^-1074 is loaded as the integer m
// scaled by 2^-1074 (both exact); a result below 2^-1022 is scaled by 2^1074 (exact) and
// rounded to an integer as the store rounds it (to nearest, ties to even: the x87 default),
// which is then its bit pattern (2^52, where it rounds up, being that of 2^-1022).
inline acc_t load_acc_tiny(const double *p) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    if ((bits & 0x7FF0000000000000ull) != 0 || (bits << 1) == 0) return load_acc(p);
    std::int64_t m = (std::int64_t) (bits & 0x000FFFFFFFFFFFFFull);
    if (bits >> 63) m = -m;
    return (acc_t) m * 0x1p-1074L;
}

inline void store_f64_tiny(double *p, acc_t v) noexcept {
    if (!(std::fabs(v) < 0x1p-1022L) || v == 0.0L) {  // NaN and normal values
        store_f64(p, v);
        return;
    }
    const bool negative = v < 0.0L;
    const acc_t scaled = v * 0x1p1074L;
    long long n;
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("fistpll %0" : "=m"(n) : "t"(scaled) : "st");
#else
    n = std::llrint(scaled);
#endif
    const std::uint64_t bits = (negative ? 0x8000000000000000ull : 0) |
                               (std::uint64_t) (negative ? -n : n);
    std::memcpy(p, &bits, sizeof bits);
}

// Whether x87 operations since the last call met a subnormal operand or made an underflow
// (the denormal-operand or underflow flag of the status word); clears the flags when so.
inline bool x87_met_tiny() noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    unsigned short status;
    __asm__ volatile("fnstsw %0" : "=am"(status) : : "memory");
    if (!(status & 0x12)) return false;
    __asm__ volatile("fnclex" : : : "memory");
    return true;
#else
    return false;
#endif
}

inline void x87_clear_flags() noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__ volatile("fnclex" : : : "memory");
#endif
}

// The x87 square root (correctly rounded in the 80-bit format, as sqrtl), without the
// errno check that the library call carries.
inline acc_t sqrt_acc(acc_t v) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("fsqrt" : "+t"(v));
    return v;
#else
    return std::sqrt(v);
#endif
}

// x / w for a window length held as a double (exact for any length below 2^53): the x87
// division with its operand in memory, the same correctly rounded quotient as dividing by
// w converted to long double, without keeping w in a register or reloading it in the
// 80-bit format.
inline acc_t div_w(acc_t x, const double &w) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("fdivl %1" : "+t"(x) : "m"(w));
    return x;
#else
    return x / (acc_t) w;
#endif
}

inline std::uint64_t cell_bits(const double *p) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return bits;
}

// NaN test on the bits of a double cell (any payload, either sign).
inline bool is_nan_cell(const double *p) noexcept {
    return (cell_bits(p) << 1) > 0xFFE0000000000000ull;
}

// NaN or infinite.
inline bool is_nonfinite_cell(const double *p) noexcept {
    return (cell_bits(p) << 1) >= 0xFFE0000000000000ull;
}

// ---------------------------------------------------------------------------------------
// Infinite inputs.
//
// Running totals of finite doubles never overflow the 80-bit format, so a total is infinite
// or NaN only once an infinite cell has been added: +inf or -inf after cells of one sign,
// the default NaN (inf - inf) after both, and so for good, as later additions leave it so.
// The x87 unit takes a slow microcoded path for every operation on such values, hundreds of
// times the cost of a plain one, and a column holds them from its first infinite cell on.
// The accumulator therefore keeps what the infinite cells made of a sum beside it
// (`Special`) and works out the statistics of such windows without x87 arithmetic: the same
// values (and NaN bits) that the arithmetic gives.
enum Special : int { kFinite = 0, kPosInf = 1, kNegInf = 2, kNaN = 3 };

// x87's default NaN (what inf - inf makes): negative, quiet, zero payload; and as a double.
inline acc_t default_nan_acc() noexcept { return -std::numeric_limits<acc_t>::quiet_NaN(); }
inline double default_nan() noexcept { return -std::numeric_limits<double>::quiet_NaN(); }

// What a running sum's value says of it (read from its bits where it is the x87 format, as
// a comparison with the value would take the slow path itself).
inline int special_of(const acc_t &v) noexcept {
#if defined(__x86_64__) && LDBL_MANT_DIG == 64
    std::uint16_t exponent;
    std::memcpy(&exponent, reinterpret_cast<const unsigned char *>(&v) + 8, sizeof exponent);
    if ((exponent & 0x7FFFu) != 0x7FFFu) return kFinite;
    std::uint64_t mantissa;
    std::memcpy(&mantissa, &v, sizeof mantissa);
    if ((mantissa << 1) != 0) return kNaN;
    return (exponent & 0x8000u) ? kNegInf : kPosInf;
#else
    if (std::isnan(v)) return kNaN;
    if (std::isinf(v)) return std::signbit(v) ? kNegInf : kPosInf;
    return kFinite;
#endif
}

// ---------------------------------------------------------------------------------------
// The accumulator.

// Folds the cell *p into running totals (sum, sq, bad; `special` says what infinite cells
// made of sum, and so of sq, which is then +inf). `first` marks the first row of the
// series, whose value (and square) is copied rather than added to +0.0. Squares are kept
// only when `Squares` (the mean needs none). Without `Infs`, the caller knows that neither
// the cell nor the sums are infinite; with `Tiny`, subnormal cells are loaded the long way.
template <bool Squares, bool Infs = true, bool Tiny = false>
inline void fold(acc_t &sum, acc_t &sq, std::int64_t &bad, int &special, const double *p,
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
inline void cell(acc_t sum, acc_t sq, std::int64_t bad, int special, acc_t sum0, acc_t sq0,
                 std::int64_t bad0, int special0, const double *latest, const double &w,
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

// ---------------------------------------------------------------------------------------
// Whole-matrix driver.

namespace detail {

// n rows of one column inside the warm-up (no full window yet), none of whose cells is NaN
// or infinite, after the first row and while the sums are finite: the cells are added to
// the totals as they are and the statistic is NaN. The same bits as `fold` gives for them.
template <bool Squares>
inline void warmup_rows(const double *in, std::ptrdiff_t stride, double *out,
                        std::ptrdiff_t out_stride, std::int64_t n, acc_t &s, acc_t &q) noexcept {
    acc_t s_ = s, q_ = q;
    for (std::int64_t i = 0; i < n; ++i, in += stride, out += out_stride) {
        const acc_t x = load_acc(in);
        s_ += x;
        if constexpr (Squares) q_ += x * x;
        *out = quiet_nan();
    }
    s = s_, q = q_;
}

// n rows of one column past the warm-up whose cells, and the cells leaving their windows,
// hold no NaN: lead[i * stride] is a row's cell, trail[i * stride] the cell leaving its
// window, the statistic goes to out[i * out_stride]. A loop of x87 arithmetic alone: no
// NaN test, no count, the same bits as the careful loop gives for such rows.
template <Stat S>
inline void steady_rows(const double *lead, const double *trail, std::ptrdiff_t stride,
                        double *out, std::ptrdiff_t out_stride, std::int64_t n,
                        const double &w, acc_t &s, acc_t &q, acc_t &ls, acc_t &lq) noexcept {
    constexpr bool sq = S != Stat::mean;
    acc_t s_ = s, q_ = q, ls_ = ls, lq_ = lq;
    for (std::int64_t i = 0; i < n; ++i, lead += stride, trail += stride, out += out_stride) {
        const acc_t x = load_acc(lead), y = load_acc(trail);
        s_ += x;
        ls_ += y;
        if constexpr (sq) {
            q_ += x * x;
            lq_ += y * y;
        }
        cell<S>(s_, q_, 0, kFinite, ls_, lq_, 0, kFinite, lead, w, out);  // no NaN, no inf
    }
    s = s_, q = q_, ls = ls_, lq = lq_;
}

// Rows [t, r1) of one column past the first windows, with the NaN test: the totals come
// in and go out through the references and stay in locals in between. Rows whose cells
// hold no NaN or infinity (`clean`), once their window holds no NaN and their sums are
// finite, go on in steady_rows: the cells leaving their windows are then either in that
// window or among these rows. Without `Infs` the sums must be finite, and the rows stop
// before the first infinite cell (returns the row reached, r1 when there is none): the
// cells leaving the windows, added to the sums before, are finite then.
template <Stat S, bool Infs, bool Tiny = false>
__attribute__((always_inline)) inline std::int64_t careful_rows(
    const double *in, std::ptrdiff_t in_stride, double *out, std::ptrdiff_t out_stride,
    std::int64_t t, std::int64_t r1, std::int64_t w, bool clean, acc_t &s_, acc_t &q_,
    std::int64_t &c_, int &sp_, acc_t &ls_, acc_t &lq_, std::int64_t &lc_, int &lsp_) noexcept {
    constexpr bool sq = S != Stat::mean;
    const double wl = (double) w;
    acc_t s = s_, q = q_, ls = ls_, lq = lq_;
    std::int64_t c = c_, lc = lc_;
    int sp = sp_, lsp = lsp_;
    for (; t < r1; ++t) {
        if (!Tiny && clean && c == lc && sp == kFinite) {
            steady_rows<S>(in + t * in_stride, in + (t - w) * in_stride, in_stride,
                           out + t * out_stride, out_stride, r1 - t, wl, s, q, ls, lq);
            t = r1;
            break;
        }
        if (!Infs && (cell_bits(in + t * in_stride) << 1) == 0xFFE0000000000000ull) break;
        fold<sq, Infs, Tiny>(s, q, c, sp, in + t * in_stride, false);
        fold<sq, Infs, Tiny>(ls, lq, lc, lsp, in + (t - w) * in_stride, false);
        cell<S, Tiny>(s, q, c, Infs ? sp : kFinite, ls, lq, lc, Infs ? lsp : kFinite,
                      in + t * in_stride, wl, out + t * out_stride);
    }
    s_ = s, q_ = q, c_ = c, sp_ = sp, ls_ = ls, lq_ = lq, lc_ = lc, lsp_ = lsp;
    return t;
}

// Bit k set when column k of rows [0, rows) of a tile of width <= kLine columns holds a
// NaN or infinite cell: row r of the tile starts at p + r * stride.
inline unsigned nonfinite_columns(const double *p, std::ptrdiff_t stride, std::int64_t rows,
                                  std::int64_t width) noexcept {
    unsigned mask = 0;
    std::int64_t k = 0;
#if defined(__SSE2__)
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    const std::int64_t pairs = width / 2;
    auto scan = [&](auto count) {  // a constant count keeps the accumulators in registers
        for (std::int64_t r = 0; r < rows; ++r) {
            const double *row = p + r * stride;
            for (std::int64_t i = 0; i < count; ++i) {
                const __m128d x = _mm_loadu_pd(row + 2 * i);
                const __m128d d = _mm_sub_pd(x, x);  // NaN exactly for NaN and infinite cells
                acc[i] = _mm_or_pd(acc[i], _mm_cmpunord_pd(d, d));
            }
        }
    };
    if (pairs == 4) scan(std::integral_constant<std::int64_t, 4>());
    else scan(pairs);
    for (std::int64_t i = 0; i < pairs; ++i) mask |= (unsigned) _mm_movemask_pd(acc[i]) << (2 * i);
    k = 2 * pairs;
#endif
    for (; k < width; ++k)
        for (std::int64_t r = 0; r < rows; ++r)
            if (is_nonfinite_cell(p + r * stride + k)) {
                mask |= 1u << k;
                break;
            }
    return mask;
}

// Rows [r0, r1) of one column: input cells in[t * in_stride], output cells
// out[t * out_stride]. The column's current totals `now` (after row r0 - 1) and trailing
// totals `lag` (after row r0 - 1 - w, once r0 > w) are carried in and out. `clean`: no
// cell of these rows is NaN or infinite.
template <Stat S>
inline void column_rows(const double *in, std::ptrdiff_t in_stride, double *out,
                        std::ptrdiff_t out_stride, std::int64_t r0, std::int64_t r1,
                        std::int64_t w, Totals &now, Totals &lag, bool clean) noexcept {
    constexpr bool sq = S != Stat::mean;
    const double wl = (double) w;
    acc_t s = now.sum, q = now.sumsq, ls = lag.sum, lq = lag.sumsq;
    std::int64_t c = now.invalid, lc = lag.invalid;
    int sp = now.special, lsp = lag.special;
    std::int64_t t = r0;
    // Rows before the first full window.
    for (; t < r1 && t < w - 1; ++t) {
        if (clean && t > 0 && sp == kFinite) {
            const std::int64_t end = std::min(r1, w - 1);
            detail::warmup_rows<sq>(in + t * in_stride, in_stride, out + t * out_stride,
                                    out_stride, end - t, s, q);
            t = end;
            break;
        }
        fold<sq>(s, q, c, sp, in + t * in_stride, t == 0);
        out[t * out_stride] = quiet_nan();
    }
    // The first full window: the totals before it are the leading zero row.
    if (t < r1 && t == w - 1) {
        fold<sq>(s, q, c, sp, in + t * in_stride, t == 0);
        cell<S>(s, q, c, sp, 0.0L, 0.0L, 0, kFinite, in + t * in_stride, wl,
                out + t * out_stride);
        ++t;
    }
    // The first window that starts after row 0: the trailing totals start with row 0.
    if (t < r1 && t == w) {
        fold<sq>(s, q, c, sp, in + t * in_stride, false);
        fold<sq>(ls, lq, lc, lsp, in, true);
        cell<S>(s, q, c, sp, ls, lq, lc, lsp, in + t * in_stride, wl, out + t * out_stride);
        ++t;
    }
    // The remaining rows: while the sums are finite without the infinity test, then with;
    // in a column that has met subnormal values, with the long way for them.
    if (t < r1 && now.tiny) {
        careful_rows<S, true, true>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c,
                                    sp, ls, lq, lc, lsp);
        t = r1;
    }
    if (t < r1 && sp == kFinite)
        t = careful_rows<S, false>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c,
                                   sp, ls, lq, lc, lsp);
    if (t < r1)
        careful_rows<S, true>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c, sp, ls,
                              lq, lc, lsp);
    now.sum = s, now.sumsq = q, now.invalid = c, now.special = sp;
    lag.sum = ls, lag.sumsq = lq, lag.invalid = lc, lag.special = lsp;
}

}  // namespace detail

// Rows per tile of the whole-matrix driver.
inline constexpr std::int64_t kRowBlock = 64;
inline constexpr std::int64_t kLine = 8;  // doubles per 64-byte cache line

// Rows wider than this many bytes are walked tile column by tile column (see run_matrix).
inline constexpr std::int64_t kWideRowBytes = 2048;

// Rows per tile on a walk down wide rows whose byte stride is a multiple of 16 KiB (2048
// columns, 4096, ...): a tile column's lines then fall into a few cache sets, too few to
// hold the input, output and trailing lines of a full row block, which would be fetched
// again for each column of the tile; short blocks keep them resident (about twice as fast
// there; other strides are faster with full blocks).
inline constexpr std::int64_t kAliasedRowBlock = 8;

inline bool aliasing_stride(std::int64_t stride) noexcept {
    const std::int64_t bytes = stride * (std::int64_t) sizeof(double);
    return bytes != 0 && bytes % 16384 == 0;
}

// The end of the tile that starts at column j0: the next cache-line boundary of the input
// row (or c1).
inline std::int64_t tile_end(const double *in, std::int64_t j0, std::int64_t c1) noexcept {
    const std::int64_t offset = (std::int64_t) (((std::uintptr_t) (in + j0) / sizeof(double)) % kLine);
    return std::min(c1, j0 + kLine - offset);
}

// Columns [c0, c1) of a T-row matrix: input row t starts at in + t * in_stride, output row
// t at out + t * out_stride (out must not overlap in). `scratch` holds at least
// 2 * (c1 - c0) Totals. Requires w >= 1; a window longer than T gives all NaN.
//
// The matrix is cut into tiles of row_block rows by one cache line of columns: each column
// of a tile runs down the tile's rows with its totals in registers, and the tile's lines
// stay in L1 for the other columns of the line. Narrow rows are taken a row block at a
// time across all columns (the hardware prefetchers follow the short stride; the next
// tile is prefetched as well). Wide rows are taken one tile column at a time down all the
// rows, so that the row leaving the window (w rows up the same tile column) is still in
// L1, with the next row block of the tile column prefetched: walks down wide rows are not
// picked up by the hardware prefetchers.
template <Stat S>
inline void run_matrix(const double *in, std::int64_t in_stride, double *out,
                       std::int64_t out_stride, std::int64_t T, std::int64_t c0,
                       std::int64_t c1, std::int64_t w, Totals *scratch,
                       std::int64_t row_block = kRowBlock) noexcept {
    if (c1 <= c0) return;
    if (w > T) {
        for (std::int64_t t = 0; t < T; ++t)
            for (std::int64_t j = c0; j < c1; ++j) out[t * out_stride + j] = quiet_nan();
        return;
    }
    const std::int64_t n = c1 - c0;
    Totals *now = scratch, *lag = scratch + n;
    for (std::int64_t k = 0; k < n; ++k) now[k] = Totals{}, lag[k] = Totals{};
    x87_clear_flags();  // what earlier x87 work left in the status word
    // The lines of rows [f0, f1) at column fj (input and output, and the input rows w above
    // when `lagged`) are asked for while a tile runs, a slice before each of its columns:
    // asked for all at once, most requests would wait for a free fill buffer.
    struct Fetch {
        std::int64_t f0 = 0, f1 = 0, fj = 0;
        bool lagged = false;
    };
    auto run_tile = [&](std::int64_t r0, std::int64_t r1, std::int64_t j0, std::int64_t j1,
                        Fetch f) {
        // The columns that hold a NaN or infinite cell in these rows.
        const unsigned dirty =
            detail::nonfinite_columns(in + r0 * in_stride + j0, in_stride, r1 - r0, j1 - j0);
        const std::int64_t slice = (f.f1 - f.f0 + (j1 - j0) - 1) / (j1 - j0);
        // Columns that meet subnormal values take the long way from then on. The status
        // word is looked at once a tile (reading it waits for the x87 unit to drain), which
        // tells the tile's columns together; the first tile is looked at after its first 8
        // rows too, as columns of subnormal values mostly hold them throughout.
        auto columns = [&](std::int64_t a, std::int64_t b, bool fetch) {
            for (std::int64_t j = j0; j < j1; ++j) {
                const std::int64_t t0 = f.f0 + (j - j0) * slice;
                for (std::int64_t t = t0; fetch && t < std::min(f.f1, t0 + slice); ++t) {
                    __builtin_prefetch(in + t * in_stride + f.fj, 0, 3);
                    if (f.lagged && t >= w)
                        __builtin_prefetch(in + (t - w) * in_stride + f.fj, 0, 3);
                    __builtin_prefetch(out + t * out_stride + f.fj, 1, 3);
                }
                detail::column_rows<S>(in + j, in_stride, out + j, out_stride, a, b, w,
                                       now[j - c0], lag[j - c0], !((dirty >> (j - j0)) & 1u));
            }
            if (x87_met_tiny())
                for (std::int64_t j = j0; j < j1; ++j) now[j - c0].tiny = true;
        };
        if (r0 == 0 && r1 > 8) {
            columns(0, 8, false);
            columns(8, r1, true);
        } else {
            columns(r0, r1, true);
        }
    };
    if (in_stride * (std::int64_t) sizeof(double) > kWideRowBytes) {
        if (aliasing_stride(in_stride) || aliasing_stride(out_stride))
            row_block = std::min(row_block, kAliasedRowBlock);
        for (std::int64_t j0 = c0; j0 < c1;) {
            const std::int64_t j1 = tile_end(in, j0, c1);
            for (std::int64_t r0 = 0; r0 < T; r0 += row_block) {
                const std::int64_t r1 = std::min(T, r0 + row_block);
                run_tile(r0, r1, j0, j1, Fetch{r1, std::min(T, r1 + row_block), j0, false});
            }
            j0 = j1;
        }
        return;
    }
    for (std::int64_t r0 = 0; r0 < T; r0 += row_block) {
        const std::int64_t r1 = std::min(T, r0 + row_block);
        for (std::int64_t j0 = c0; j0 < c1;) {
            const std::int64_t j1 = tile_end(in, j0, c1);
            // The next tile: the next line of these rows, or the first of the next rows.
            const std::int64_t f0 = j1 < c1 ? r0 : r1;
            run_tile(r0, r1, j0, j1,
                     Fetch{f0, std::min(T, f0 + row_block), j1 < c1 ? j1 : c0, true});
            j0 = j1;
        }
    }
}

inline void run_matrix(Stat stat, const double *in, std::int64_t in_stride, double *out,
                       std::int64_t out_stride, std::int64_t T, std::int64_t c0,
                       std::int64_t c1, std::int64_t w, Totals *scratch,
                       std::int64_t row_block = kRowBlock) noexcept {
    switch (stat) {
        case Stat::mean:
            run_matrix<Stat::mean>(in, in_stride, out, out_stride, T, c0, c1, w, scratch,
                                   row_block);
            break;
        case Stat::std:
            run_matrix<Stat::std>(in, in_stride, out, out_stride, T, c0, c1, w, scratch,
                                  row_block);
            break;
        default:
            run_matrix<Stat::zscore>(in, in_stride, out, out_stride, T, c0, c1, w, scratch,
                                     row_block);
            break;
    }
}

// Whether any window of w rows (w >= 1) of the T x N matrix holds no NaN cell, i.e.
// whether run_matrix would compute any cell. `run` is scratch of N counters.
inline bool any_computable(const double *in, std::int64_t in_stride, std::int64_t T,
                           std::int64_t N, std::int64_t w, std::int64_t *run) noexcept {
    if (w > T) return false;
    for (std::int64_t j = 0; j < N; ++j) run[j] = 0;
    for (std::int64_t t = 0; t < T; ++t) {
        const double *row = in + t * in_stride;
        for (std::int64_t j = 0; j < N; ++j) {
            run[j] = is_nan_cell(row + j) ? 0 : run[j] + 1;
            if (run[j] >= w) return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// One-row-per-call driver.
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
