// The rolling kernels' arithmetic type and the x87 moves and tests they are built on. Plain
// C++, no Python.
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

}  // namespace ee::kernels::rolling
