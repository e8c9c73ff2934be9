// Ranks from positions, and products of two ranks, eight cells a step with AVX-512. Plain
// C++, no Python; called only where the CPU has AVX-512 (platform.hpp).
//
// Quotients: position / (valid - 1) must be the correctly rounded quotient. With FMA it is
// computed as q = k * y, r = k - q * d (exact), q + r * y, where y = 1 / d rounded: for
// integers 0 <= k, d < 2^32 the last step's exact value lies within 2^-100 |k / d| of k / d,
// while k / d is never a rounding midpoint and lies at least ulp / (4 d) away from every
// midpoint, so the rounding is that of the division itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "platform.hpp"
#include "rank_keys.hpp"

#ifdef EE_KERNELS_X86

EE_AVX512_WARNINGS_OFF

namespace ee::kernels::detail {

// The quotient p / d (integers below 2^32) rounded as the division rounds it; see the note
// at the top of the file.
__attribute__((target("avx512f"), always_inline)) inline __m512d quotient8(__m512d k, __m512d d,
                                                                           __m512d y) {
    __m512d q = _mm512_mul_pd(k, y);
    __m512d r = _mm512_fnmadd_pd(q, d, k);
    return _mm512_fmadd_pd(r, y, q);
}

// Eight ranks from eight positions: NaN where the position is kNoRank.
__attribute__((target("avx512f,avx512vl"), always_inline)) inline __m512d ranks8(__m256i p,
                                                                        std::size_t valid,
                                                                        __m512d d, __m512d y,
                                                                        __mmask8 &known) {
    known = _mm256_cmpneq_epi32_mask(p, _mm256_set1_epi32((int) kNoRank));
    if (valid == 1) return _mm512_set1_pd(0.5);
    return quotient8(_mm512_cvtepu32_pd(p), d, y);
}

// Eight results (fewer at the ends) at out + j: straight to memory when `stream` is set and
// out + j is 64-byte aligned (callers fence once after their rows), else a plain store.
__attribute__((target("avx512f"), always_inline)) inline void store8(double *out, std::size_t j,
                                                                      __mmask8 lanes, __m512d v,
                                                                      bool stream) {
    if (stream && lanes == 0xFF && ((std::uintptr_t) (out + j) & 63) == 0)
        _mm512_stream_pd(out + j, v);
    else
        _mm512_mask_storeu_pd(out + j, lanes, v);
}

// Lanes of the step at j: eight, fewer at the end, and fewer at the start of a streamed row
// so that the following steps are 64-byte aligned.
inline std::size_t step_at(const double *out, std::size_t j, std::size_t n, bool stream) {
    std::size_t step = std::min<std::size_t>(8, n - j);
    const std::size_t misaligned = ((std::uintptr_t) (out + j) & 63) / sizeof(double);
    if (stream && j == 0 && misaligned) step = std::min(step, 8 - misaligned);
    return step;
}

__attribute__((target("avx512f,avx512vl"))) inline void emit_ranks_avx512(
    const std::uint32_t *pos, std::size_t n, std::size_t valid, double *out, bool stream) {
    const __m512d nan = _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN());
    const double dd = valid > 1 ? double(valid - 1) : 1.0;
    const __m512d d = _mm512_set1_pd(dd), y = _mm512_set1_pd(1.0 / dd);
    for (std::size_t j = 0; j < n;) {
        const std::size_t step = step_at(out, j, n, stream);
        const __mmask8 lanes = (__mmask8) ((1u << step) - 1);
        const __m256i p = _mm256_maskz_loadu_epi32(lanes, pos + j);
        __mmask8 known;
        const __m512d r = ranks8(p, valid, d, y, known);
        store8(out, j, lanes, _mm512_mask_blend_pd(known, nan, r), stream);
        j += step;
    }
}

__attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) inline __m256i
load_positions(const std::uint32_t *p, __mmask8 lanes) {
    return _mm256_maskz_loadu_epi32(lanes, p);
}
__attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) inline __m256i
load_positions(const std::uint16_t *p, __mmask8 lanes) {
    // 0xFFFF (no rank) widens to kNoRank.
    const __m256i w = _mm256_cvtepu16_epi32(_mm_maskz_loadu_epi16(lanes, p));
    return _mm256_mask_mov_epi32(w, _mm256_cmpeq_epi32_mask(w, _mm256_set1_epi32(0xFFFF)),
                                 _mm256_set1_epi32((int) kNoRank));
}

template <typename P>
__attribute__((target("avx512f,avx512vl,avx512bw"))) inline void emit_product_avx512(
    const unsigned char *left_row, std::size_t left_valid, const std::uint32_t *right,
    std::size_t right_valid, std::size_t n, double *out, const unsigned char *next_left) {
    // Vector loads only (they may alias anything): each step reads its positions before
    // it stores its results. The next row's left positions, when given, are fetched
    // meanwhile, a line every few steps.
    const P *left = reinterpret_cast<const P *>(left_row);
    const __m512d nan = _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN());
    const double dl = left_valid > 1 ? double(left_valid - 1) : 1.0;
    const double dr = right_valid > 1 ? double(right_valid - 1) : 1.0;
    const __m512d ld = _mm512_set1_pd(dl), ly = _mm512_set1_pd(1.0 / dl);
    const __m512d rd = _mm512_set1_pd(dr), ry = _mm512_set1_pd(1.0 / dr);
    for (std::size_t j = 0; j < n; j += 8) {
        if (next_left && (j * sizeof(P)) % 64 == 0)
            _mm_prefetch((const char *) (next_left + j * sizeof(P)), _MM_HINT_T0);
        const __mmask8 lanes = n - j >= 8 ? (__mmask8) 0xFF : (__mmask8) ((1u << (n - j)) - 1);
        __mmask8 lk, rk;
        const __m512d a = ranks8(load_positions(left + j, lanes), left_valid, ld, ly, lk);
        const __m512d b = ranks8(load_positions(right + j, lanes), right_valid, rd, ry, rk);
        _mm512_mask_storeu_pd(out + j, lanes,
                              _mm512_mask_blend_pd(lk & rk, nan, _mm512_mul_pd(a, b)));
    }
}

__attribute__((target("sse2"))) inline void store_fence() { _mm_sfence(); }

}  // namespace ee::kernels::detail

EE_AVX512_WARNINGS_ON

#endif
