// Ordering primitives of the rank kernels. Plain C++, no Python.
//
//  - sort_u64: ascending sort of unsigned 64-bit keys whose lowest `skip_bits` bits hold a
//    payload already ascending in input order (a stable sort keeps it so): insertion sort
//    for tiny inputs, std::sort for small ones, LSD radix on the remaining bits otherwise;
//    long inputs are radix-sorted on their 22 highest varying bits only and finished by an
//    insertion pass.
//  - count_less: for each of m doubles, how many of the others are smaller; vectorised with
//    the widest compares of the selected path (platform.hpp).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform.hpp"

#ifndef EE_RADIX_DIGIT
#define EE_RADIX_DIGIT 8
#endif

namespace ee::kernels {

struct SortScratch {
    std::vector<std::uint32_t> counts;
};

// Inputs of at least this many keys take the two-pass radix on the top varying bits.
inline constexpr std::size_t kTopRadixMin = 1024;

namespace detail {

inline void insertion_sort_u64(std::uint64_t *keys, std::size_t m) {
    for (std::size_t a = 1; a < m; ++a) {
        std::uint64_t item = keys[a];
        std::size_t b = a;
        while (b > 0 && keys[b - 1] > item) {
            keys[b] = keys[b - 1];
            --b;
        }
        keys[b] = item;
    }
}

// One stable pass of an LSD radix sort: the m keys at src go to dst ordered on their digit
// (k >> shift) & mask, whose counts c[0, buckets) were taken beforehand; src and dst then
// change places. Nothing moves when one bucket holds every key.
inline void radix_pass(std::uint64_t *&src, std::uint64_t *&dst, std::size_t m,
                       std::uint32_t *c, std::size_t buckets, unsigned shift,
                       std::uint64_t mask) {
    if (c[(src[0] >> shift) & mask] == m) return;
    std::uint32_t sum = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::uint32_t v = c[b];
        c[b] = sum;
        sum += v;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t k = src[i];
        dst[c[(k >> shift) & mask]++] = k;
    }
    std::swap(src, dst);
}

// LSD radix sort of keys[0, m) on bits [lo_bit, 64), `digit` bits per pass; passes whose
// digit is the same for every key are skipped. Stable, so keys equal on those bits keep
// their input order.
inline void radix_sort_u64(std::uint64_t *keys, std::uint64_t *tmp, std::size_t m,
                           unsigned lo_bit, unsigned digit, SortScratch &s) {
    const unsigned passes = (64 - lo_bit + digit - 1) / digit;
    const std::size_t buckets = std::size_t(1) << digit;
    const std::uint64_t mask = buckets - 1;
    s.counts.assign(passes * buckets, 0);
    std::uint32_t *counts = s.counts.data();
    for (std::size_t i = 0; i < m; ++i) {
        std::uint64_t k = keys[i] >> lo_bit;
        for (unsigned p = 0; p < passes; ++p) {
            ++counts[p * buckets + (k & mask)];
            k >>= digit;
        }
    }
    std::uint64_t *src = keys, *dst = tmp;
    for (unsigned p = 0; p < passes; ++p)
        radix_pass(src, dst, m, counts + p * buckets, buckets, lo_bit + p * digit, mask);
    if (src != keys) std::memcpy(keys, src, m * sizeof(std::uint64_t));
}

// Sorts keys[0, m) fully ascending, given that keys equal on bits [skip_bits, 64) are
// already ascending (their low bits are a payload in input order). Two stable LSD passes of
// 11 bits order the keys on their 22 highest bits that are not the same in every key; bits
// below those differ only between keys that now sit next to each other in short runs, which
// one insertion pass finishes. When the runs turn out long (values that agree on those 22
// bits come in bulk), the insertion pass gives up after a bounded number of moves and
// std::sort finishes instead. 2 <= m < 2^32, skip_bits <= 42.
inline void radix_top_u64(std::uint64_t *keys, std::uint64_t *tmp, std::size_t m,
                          unsigned skip_bits, SortScratch &s) {
    std::uint64_t any = 0, all = ~std::uint64_t(0);
    for (std::size_t i = 0; i < m; ++i) {
        any |= keys[i];
        all &= keys[i];
    }
    const std::uint64_t varying = (any ^ all) >> skip_bits;
    if (varying == 0) return;  // equal high bits: the payload order is the sorted order
    const unsigned top = skip_bits + 63 - (unsigned) __builtin_clzll(varying);
    constexpr unsigned kDigit = 11, kBuckets = 1u << kDigit;
    const unsigned lo = top + 1 >= skip_bits + 2 * kDigit ? top + 1 - 2 * kDigit : skip_bits;
    s.counts.assign(2 * kBuckets, 0);
    std::uint32_t *c0 = s.counts.data(), *c1 = c0 + kBuckets;
    const unsigned s0 = lo, s1 = lo + kDigit;
    const std::uint64_t mask = kBuckets - 1;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t k = keys[i];
        ++c0[(k >> s0) & mask];
        ++c1[(k >> s1) & mask];
    }
    std::uint64_t *src = keys, *dst = tmp;
    radix_pass(src, dst, m, c0, kBuckets, s0, mask);
    radix_pass(src, dst, m, c1, kBuckets, s1, mask);
    if (src != keys) std::memcpy(keys, src, m * sizeof(std::uint64_t));
    if (lo == skip_bits) return;  // every varying bit was sorted on
    std::size_t moves = 0;
    const std::size_t budget = 8 * m;
    for (std::size_t i = 1; i < m; ++i) {
        const std::uint64_t item = keys[i];
        if (keys[i - 1] <= item) continue;
        std::size_t q = i;
        do {
            keys[q] = keys[q - 1];
            --q;
        } while (q > 0 && keys[q - 1] > item);
        keys[q] = item;
        moves += i - q;
        if (moves > budget) {
            std::sort(keys, keys + m);
            return;
        }
    }
}

}  // namespace detail

// Sorts keys[0, m) ascending on bits [skip_bits, 64); keys equal there keep their input
// order (the payload in the low bits is ascending in input order, so a full sort of the
// keys gives the same result). tmp has room for m keys.
inline void sort_u64(std::uint64_t *keys, std::uint64_t *tmp, std::size_t m, unsigned skip_bits,
                     SortScratch &s) {
    if (m <= 24) {
        detail::insertion_sort_u64(keys, m);
    } else if (m <= 192 || m > (std::size_t(1) << 31)) {
        std::sort(keys, keys + m);
    } else if (m < kTopRadixMin || skip_bits > 42) {
        detail::radix_sort_u64(keys, tmp, m, skip_bits, EE_RADIX_DIGIT, s);
    } else {
        detail::radix_top_u64(keys, tmp, m, skip_bits, s);
    }
}

// ---------------------------------------------------------------------------------------

namespace detail {

typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8i __attribute__((vector_size(64)));
typedef int v4s __attribute__((vector_size(16)));
typedef int v8s __attribute__((vector_size(32)));
typedef int v16s __attribute__((vector_size(64)));

// The counting loop for one vector width; inlined into a function compiled for the
// matching instruction set (vectors never cross a function boundary).
template <typename VD, typename VI, typename T>
__attribute__((always_inline)) inline void count_less_body(const T *vals, std::size_t m,
                                                           std::uint32_t *out) {
    constexpr std::size_t W = sizeof(VD) / sizeof(T);
    const std::size_t mp = (m + W - 1) / W * W;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        VD a = (VD){} + vals[i], b = (VD){} + vals[i + 1];
        VD c = (VD){} + vals[i + 2], d = (VD){} + vals[i + 3];
        VI ca = (VI){}, cb = (VI){}, cc = (VI){}, cd = (VI){};
        for (std::size_t j = 0; j < mp; j += W) {
            VD v;
            std::memcpy(&v, vals + j, sizeof v);
            ca -= (VI) (v < a);
            cb -= (VI) (v < b);
            cc -= (VI) (v < c);
            cd -= (VI) (v < d);
        }
        std::int64_t sa = 0, sb = 0, sc = 0, sd = 0;
        for (std::size_t k = 0; k < W; ++k) {
            sa += ca[k];
            sb += cb[k];
            sc += cc[k];
            sd += cd[k];
        }
        out[i] = (std::uint32_t) sa;
        out[i + 1] = (std::uint32_t) sb;
        out[i + 2] = (std::uint32_t) sc;
        out[i + 3] = (std::uint32_t) sd;
    }
    for (; i < m; ++i) {
        VD a = (VD){} + vals[i];
        VI ca = (VI){};
        for (std::size_t j = 0; j < mp; j += W) {
            VD v;
            std::memcpy(&v, vals + j, sizeof v);
            ca -= (VI) (v < a);
        }
        std::int64_t sa = 0;
        for (std::size_t k = 0; k < W; ++k) sa += ca[k];
        out[i] = (std::uint32_t) sa;
    }
}

#ifdef EE_KERNELS_X86
__attribute__((target("avx512f"))) inline void count_less_avx512(const double *v, std::size_t m,
                                                                   std::uint32_t *o) {
    count_less_body<v8d, v8i>(v, m, o);
}
__attribute__((target("avx2"))) inline void count_less_avx2(const double *v, std::size_t m,
                                                              std::uint32_t *o) {
    count_less_body<v4d, v4i>(v, m, o);
}
// Sixteen values per register, one lane each: every value of the row is broadcast and
// compared against the register, and the lanes count the smaller ones (no reductions).
__attribute__((target("avx512f"))) inline void count_less_i32_avx512(const std::int32_t *v,
                                                                       std::size_t m,
                                                                       std::uint32_t *o) {
    const __m512i one = _mm512_set1_epi32(1);
    for (std::size_t i = 0; i < m; i += 16) {
        const __m512i a = _mm512_loadu_si512((const void *) (v + i));
        __m512i c0 = _mm512_setzero_si512(), c1 = _mm512_setzero_si512();
        std::size_t j = 0;
        for (; j + 2 <= m; j += 2) {
            c0 = _mm512_mask_add_epi32(c0, _mm512_cmpgt_epi32_mask(a, _mm512_set1_epi32(v[j])),
                                       c0, one);
            c1 = _mm512_mask_add_epi32(
                c1, _mm512_cmpgt_epi32_mask(a, _mm512_set1_epi32(v[j + 1])), c1, one);
        }
        if (j < m)
            c0 = _mm512_mask_add_epi32(c0, _mm512_cmpgt_epi32_mask(a, _mm512_set1_epi32(v[j])),
                                       c0, one);
        _mm512_storeu_si512((void *) (o + i), _mm512_add_epi32(c0, c1));
    }
}
__attribute__((target("avx2"))) inline void count_less_i32_avx2(const std::int32_t *v,
                                                                  std::size_t m,
                                                                  std::uint32_t *o) {
    for (std::size_t i = 0; i < m; i += 8) {
        const __m256i a = _mm256_loadu_si256((const __m256i *) (v + i));
        __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
        std::size_t j = 0;
        for (; j + 2 <= m; j += 2) {
            c0 = _mm256_sub_epi32(c0, _mm256_cmpgt_epi32(a, _mm256_set1_epi32(v[j])));
            c1 = _mm256_sub_epi32(c1, _mm256_cmpgt_epi32(a, _mm256_set1_epi32(v[j + 1])));
        }
        if (j < m) c0 = _mm256_sub_epi32(c0, _mm256_cmpgt_epi32(a, _mm256_set1_epi32(v[j])));
        _mm256_storeu_si256((__m256i *) (o + i), _mm256_add_epi32(c0, c1));
    }
}
#endif
inline void count_less_generic(const double *v, std::size_t m, std::uint32_t *o) {
    count_less_body<v2d, v2i>(v, m, o);
}
inline void count_less_i32_generic(const std::int32_t *v, std::size_t m, std::uint32_t *o) {
    count_less_body<v4s, v4s>(v, m, o);
}

}  // namespace detail

// count_less(vals, m, out): out[i] = #{j < m : vals[j] < vals[i]}. vals must have room for
// m rounded up to a multiple of 16; the cells past m are overwritten with padding that is
// never smaller than a value. vals[0, m) must not be NaN.
inline void count_less(double *vals, std::size_t m, std::uint32_t *out) {
    const std::size_t mp = (m + 15) / 16 * 16;
    for (std::size_t j = m; j < mp; ++j) vals[j] = std::numeric_limits<double>::infinity();
#ifdef EE_KERNELS_X86
    if (detail::use_avx2()) return detail::count_less_avx2(vals, m, out);
#endif
    detail::count_less_generic(vals, m, out);
}

// The same count over 32-bit signed integers (room for m rounded up to 16 in vals and in
// out, whose cells past m are overwritten).
inline void count_less(std::int32_t *vals, std::size_t m, std::uint32_t *out) {
    const std::size_t mp = (m + 15) / 16 * 16;
    for (std::size_t j = m; j < mp; ++j) vals[j] = std::numeric_limits<std::int32_t>::max();
#ifdef EE_KERNELS_X86
    if (detail::use_avx512()) return detail::count_less_i32_avx512(vals, m, out);
    if (detail::use_avx2()) return detail::count_less_i32_avx2(vals, m, out);
#endif
    detail::count_less_i32_generic(vals, m, out);
}

}  // namespace ee::kernels

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
