// The rank kernels' AVX-512 path for rows too short to deal (rank_avx2.hpp deals the longer
// ones on this path too): items built and sorted with 512-bit vectors. Plain C++, no Python;
// compiled per function for AVX-512 and called only where the CPU has it (platform.hpp).
//
// A row of at most kNetworkMaxAvx512 cells is sorted whole in registers as 32-bit elements
// (a monotone map of each value above its column) by a bitonic network. Where two values
// share their map, a row's items are split by sign while they are built; the two halves are
// quicksorted with vector partitions down to blocks of at most 32, whose positions come from
// vector compares on 32 of the key bits (the highest, or else the 32 below the highest bit
// that varies in the block; blocks whose items agree on those are ordered on the items, then
// on full keys). When that sort gives up (many equal key bits) the row goes to the portable
// path.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "mask.hpp"
#include "platform.hpp"
#include "rank_keys.hpp"

#ifdef EE_KERNELS_X86

EE_AVX512_WARNINGS_OFF

namespace ee::kernels::detail {

// Eight cells of a row from column j (fewer at the end): their values, the valid finite
// ones (`good`) and the valid infinite ones, masked cells (NaN, inactive universe) in neither.
struct Cells8 {
    __m512d v;
    __mmask8 lanes, good, infinite;
};

__attribute__((target("avx512f,avx512vl"), always_inline)) inline Cells8 cells8(
    const double *row, const double *universe, std::size_t j, std::size_t n) {
    const __m512d zero = _mm512_setzero_pd();
    Cells8 c;
    c.lanes = n - j >= 8 ? (__mmask8) 0xFF : (__mmask8) ((1u << (n - j)) - 1);
    c.v = _mm512_maskz_loadu_pd(c.lanes, row + j);
    __mmask8 valid = _mm512_mask_cmp_pd_mask(c.lanes, c.v, c.v, _CMP_ORD_Q);
    if (universe) {
        const __m512d u = _mm512_maskz_loadu_pd(c.lanes, universe + j);
        valid &= _mm512_cmp_pd_mask(u, zero, _CMP_NEQ_OQ);  // neither 0.0 nor NaN
    }
    const __m512d a = _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(c.v), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFll)));
    const __mmask8 finite =
        _mm512_cmp_pd_mask(a, _mm512_set1_pd(std::numeric_limits<double>::infinity()), _CMP_LT_OQ);
    c.good = valid & finite;
    c.infinite = valid & (__mmask8) ~finite;
    return c;
}

// Counts the valid -inf and +inf cells among eight.
__attribute__((target("avx512f,avx512vl,popcnt"), always_inline)) inline void count_infinities(
    const Cells8 &c, std::size_t &ninf, std::size_t &pinf) {
    if (!c.infinite) return;
    const __mmask8 below = _mm512_cmp_pd_mask(c.v, _mm512_setzero_pd(), _CMP_LT_OQ);
    ninf += (std::size_t) __builtin_popcount((unsigned) (c.infinite & below));
    pinf += (std::size_t) __builtin_popcount((unsigned) (c.infinite & (__mmask8) ~below));
}

// The order keys of eight values (order_key, eight at a time).
__attribute__((target("avx512f,avx512vl"), always_inline)) inline __m512i keys8(__m512d v) {
    // -0.0 becomes 0.0, then the sign decides which bits flip.
    const __m512i b = _mm512_castpd_si512(_mm512_add_pd(v, _mm512_setzero_pd()));
    const __m512i sign = _mm512_set1_epi64((long long) 0x8000000000000000ull);
    return _mm512_xor_si512(b, _mm512_or_si512(_mm512_srai_epi64(b, 63), sign));
}

// The items of eight cells whose columns are `col` (cell_item, eight at a time).
__attribute__((target("avx512f,avx512vl"), always_inline)) inline __m512i items8(
    __m512d v, __m512i col, const Columns &c) {
    return _mm512_or_si512(_mm512_and_si512(keys8(v), _mm512_set1_epi64((long long) ~c.mask)),
                           col);
}

// Asks for the cells at row + j of the next row (null: none) to be on their way to the cache.
inline void prefetch_next(const double *next, std::size_t j) {
    if (next) _mm_prefetch((const char *) (next + j), _MM_HINT_T1);
}

// Stores the lanes of v that `keep` selects, packed, at p[0, count) and returns the count:
// compressed in the register, then a masked store of the packed lanes. A compress store
// straight to memory writes the same bytes but is microcoded on AMD's Zen 4, about ten
// times the cost (a full store into slack measured no faster than the masked one).
template <typename T, typename V>
__attribute__((target("avx512f,avx512vl,popcnt"), always_inline)) inline unsigned pack_store(
    T *p, __mmask8 keep, V v) {
    const unsigned count = (unsigned) __builtin_popcount((unsigned) keep);
    const __mmask8 packed = (__mmask8) ((1u << count) - 1);
    if constexpr (sizeof(T) == 8)
        _mm512_mask_storeu_epi64(p, packed, _mm512_maskz_compress_epi64(keep, v));
    else
        _mm256_mask_storeu_epi32(p, packed, _mm256_maskz_compress_epi32(keep, v));
    return count;
}

// As build_items_generic, split by sign on the way: the items of negative values go to
// items[0, below) and the others to items[n - (m - below), n), so the sort starts one split
// further down. `next`, when not null, is the next row to be ranked. Returns m.
__attribute__((target("avx512f,avx512vl,popcnt"))) inline std::size_t build_items_avx512(
    const double *row, const double *universe, const double *next, std::size_t n,
    std::uint64_t *items, std::uint32_t *pos, std::size_t &neg, std::size_t &pinf,
    std::size_t &below, const Columns &c) {
    const __m512i sign = _mm512_set1_epi64((long long) 0x8000000000000000ull);
    const __m256i none = _mm256_set1_epi32((int) kNoRank);
    __m512i col = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i step = _mm512_set1_epi64(8);
    std::size_t front = 0, back = n, ninf = 0, pinfs = 0;
    for (std::size_t j = 0; j < n; j += 8) {
        prefetch_next(next, j);
        const Cells8 cells = cells8(row, universe, j, n);
        count_infinities(cells, ninf, pinfs);
        const __m512i item = items8(cells.v, col, c);
        // Keys of negative values have their top bit clear.
        const __mmask8 negative = cells.good & _mm512_cmplt_epu64_mask(item, sign);
        const __mmask8 other = cells.good & (__mmask8) ~negative;
        front += pack_store(items + front, negative, item);
        back -= (unsigned) __builtin_popcount((unsigned) other);
        pack_store(items + back, other, item);
        _mm256_mask_storeu_epi32(pos + j, cells.lanes, none);
        col = _mm512_add_epi64(col, step);
    }
    neg += ninf;
    pinf += pinfs;
    below = front;
    return front + (n - back);
}

// Counts for a block of n <= 32 items (raw[4], lanes past n all ones), each item's count
// of the block's items whose bits [shift, shift + 32) are smaller, plus start: items 0-15
// in c0, 16-31 in c1 (32-bit lanes). Returns one bit per count (bit count - start).
__attribute__((target("avx512f,avx512vl,popcnt"), always_inline)) inline std::uint64_t
block_counts(const __m512i *raw, std::size_t n, unsigned shift, std::uint32_t start, __m512i &c0,
             __m512i &c1) {
    alignas(64) std::uint32_t prefix[32];
    const __m128i count = _mm_cvtsi32_si128((int) shift);
    __m512i q[4];
    for (int h = 0; h < 4; ++h) q[h] = _mm512_srl_epi64(raw[h], count);
    const __m512i p0 = _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm512_cvtepi64_epi32(q[0])), _mm512_cvtepi64_epi32(q[1]), 1);
    const __m512i p1 = _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm512_cvtepi64_epi32(q[2])), _mm512_cvtepi64_epi32(q[3]), 1);
    _mm512_store_si512(prefix, p0);
    _mm512_store_si512(prefix + 16, p1);
    const __m512i one = _mm512_set1_epi32(1);
    c0 = _mm512_set1_epi32((int) start);
    c1 = c0;
    // Prefixes in steps of eight, the padding included (it counts as no smaller prefix):
    // few distinct trip counts keep the loop exits predictable.
    const std::size_t trip = (n + 7) & ~std::size_t(7);
    if (n <= 16) {
        for (std::size_t k = 0; k < trip; ++k) {
            const __m512i x = _mm512_set1_epi32((int) prefix[k]);
            c0 = _mm512_mask_add_epi32(c0, _mm512_cmpgt_epu32_mask(p0, x), c0, one);
        }
    } else {
        for (std::size_t k = 0; k < trip; ++k) {
            const __m512i x = _mm512_set1_epi32((int) prefix[k]);
            c0 = _mm512_mask_add_epi32(c0, _mm512_cmpgt_epu32_mask(p0, x), c0, one);
            c1 = _mm512_mask_add_epi32(c1, _mm512_cmpgt_epu32_mask(p1, x), c1, one);
        }
    }
    // One bit per count: n distinct counts set the n lowest bits.
    const __m512i s = _mm512_set1_epi32((int) start);
    const __m512i bits = _mm512_or_si512(_mm512_sllv_epi32(one, _mm512_sub_epi32(c0, s)),
                                         _mm512_sllv_epi32(one, _mm512_sub_epi32(c1, s)));
    return (std::uint32_t) _mm512_reduce_or_epi32(bits);
}

// Positions of items[lo, hi) (which sit in src) by a quicksort on the key bits of the
// items: each level splits the range around the median of three keys with packed stores
// into dst (smaller keys from the front, the others from the back), so items sharing their
// key bits always stay together; a range of at most 32 items counts, for each item, the
// items below it (vector compares) and writes pos[column] = base + its position. Items that
// share their key bits are ordered on their full keys (row[column]); equal keys are a tie.
// Gives up (the caller sorts another way) when a split leaves one side empty, which needs
// two of the three sampled items to share the smallest key bits, or when the recursion
// gets deep.
__attribute__((target("avx512f,avx512vl,popcnt"))) inline SortOutcome sort_positions_avx512(
    std::uint64_t *src, std::uint64_t *dst, std::size_t lo, std::size_t hi, std::uint32_t *pos,
    std::uint32_t base, const double *row, int depth, const Columns &cols) {
    const std::size_t n = hi - lo;
    if (n <= 32) {
        // The positions from 32 key bits alone, which is enough when no two items agree on
        // them: then the counts of smaller prefixes are all different. First the highest 32
        // bits; where two items agree on those, the 32 below the highest key bit that varies
        // in the block (the bits above it are the same for all).
        const std::uint32_t start = (std::uint32_t) (base + lo);
        __m512i raw[4], c0, c1;
        __mmask8 used[4];
        for (int h = 0; h < 4; ++h) {
            const std::size_t o = std::size_t(h) * 8;
            const __mmask8 lanes = n >= o + 8 ? (__mmask8) 0xFF
                                   : n > o    ? (__mmask8) ((1u << (n - o)) - 1)
                                              : (__mmask8) 0;
            used[h] = lanes;
            // Lanes past the block hold all ones: prefixes of 0xFFFFFFFF, never below one
            // of the block's.
            raw[h] = _mm512_mask_loadu_epi64(_mm512_set1_epi64(-1), lanes, src + lo + o);
        }
        const std::uint64_t low = n == 32 ? 0xFFFFFFFFull : (std::uint64_t(1) << n) - 1;
        std::uint64_t seen = block_counts(raw, n, 32, start, c0, c1);
        if ((seen & low) != low) {
            __m512i any = _mm512_setzero_si512(), all = _mm512_set1_epi64(-1);
            for (int h = 0; h < 4; ++h) {
                any = _mm512_mask_or_epi64(any, used[h], any, raw[h]);
                all = _mm512_mask_and_epi64(all, used[h], all, raw[h]);
            }
            const std::uint64_t varying = ((std::uint64_t) _mm512_reduce_or_epi64(any) ^
                                           (std::uint64_t) _mm512_reduce_and_epi64(all)) >>
                                          cols.bits;
            const unsigned top =
                varying ? cols.bits + 64u - (unsigned) __builtin_clzll(varying) : 0;
            const unsigned shift = top > cols.bits + 32 ? top - 32 : cols.bits;
            if (shift < 32) seen = block_counts(raw, n, shift, start, c0, c1);
        }
        if ((seen & low) == low) {
            const __m512i column = _mm512_set1_epi64((long long) cols.mask);
            _mm512_mask_i64scatter_epi32(pos, used[0], _mm512_and_si512(raw[0], column),
                                         _mm512_castsi512_si256(c0), 4);
            _mm512_mask_i64scatter_epi32(pos, used[1], _mm512_and_si512(raw[1], column),
                                         _mm512_extracti64x4_epi64(c0, 1), 4);
            if (n > 16) {
                _mm512_mask_i64scatter_epi32(pos, used[2], _mm512_and_si512(raw[2], column),
                                             _mm512_castsi512_si256(c1), 4);
                _mm512_mask_i64scatter_epi32(pos, used[3], _mm512_and_si512(raw[3], column),
                                             _mm512_extracti64x4_epi64(c1, 1), 4);
            }
            return SortOutcome::kDone;
        }
        // Two items agree on those bits: order the block on the full items, then on full keys.
        __m512i c[4];
        alignas(64) std::uint64_t item[32], at[32], sorted[32];
        const __m512i one = _mm512_set1_epi64(1);
        const std::uint64_t first = start;
        for (int q = 0; q < 4; ++q) {
            _mm512_store_si512(item + q * 8, raw[q]);
            c[q] = _mm512_set1_epi64((long long) first);
        }
        if (n <= 16) {
            for (std::size_t k = 0; k < n; ++k) {
                const __m512i x = _mm512_set1_epi64((long long) item[k]);
                c[0] = _mm512_mask_add_epi64(c[0], _mm512_cmpgt_epu64_mask(raw[0], x), c[0], one);
                c[1] = _mm512_mask_add_epi64(c[1], _mm512_cmpgt_epu64_mask(raw[1], x), c[1], one);
            }
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                const __m512i x = _mm512_set1_epi64((long long) item[k]);
                c[0] = _mm512_mask_add_epi64(c[0], _mm512_cmpgt_epu64_mask(raw[0], x), c[0], one);
                c[1] = _mm512_mask_add_epi64(c[1], _mm512_cmpgt_epu64_mask(raw[1], x), c[1], one);
                c[2] = _mm512_mask_add_epi64(c[2], _mm512_cmpgt_epu64_mask(raw[2], x), c[2], one);
                c[3] = _mm512_mask_add_epi64(c[3], _mm512_cmpgt_epu64_mask(raw[3], x), c[3], one);
            }
        }
        for (int q = 0; q < 4; ++q) _mm512_store_si512(at + q * 8, c[q]);
        for (std::size_t k = 0; k < n; ++k) {
            pos[item[k] & cols.mask] = (std::uint32_t) at[k];
            sorted[at[k] - first] = item[k];
        }
        std::uint64_t shared = 0;
        for (std::size_t k = 1; k < n; ++k)
            shared |= ((sorted[k] ^ sorted[k - 1]) >> cols.bits) == 0;
        if (!shared) return SortOutcome::kDone;
        if (resolve_prefix_runs(sorted, n, row, cols, cols.bits)) return SortOutcome::kTie;
        for (std::size_t k = 0; k < n; ++k)
            pos[sorted[k] & cols.mask] = (std::uint32_t) (first + k);
        return SortOutcome::kDone;
    }
    if (depth == 0) return SortOutcome::kGiveUp;
    const unsigned bits = cols.bits;
    const std::uint64_t a = src[lo] >> bits, b = src[lo + n / 2] >> bits, c = src[hi - 1] >> bits;
    const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c)) << bits;
    const __m512i p = _mm512_set1_epi64((long long) pivot);
    std::size_t left = lo, right = hi, i = lo;
    for (; i + 8 <= hi; i += 8) {
        const __m512i v = _mm512_loadu_si512(src + i);
        const __mmask8 below = _mm512_cmplt_epu64_mask(v, p);
        const unsigned nb = pack_store(dst + left, below, v);
        left += nb;
        right -= 8 - nb;
        pack_store(dst + right, (__mmask8) ~below, v);
    }
    if (i < hi) {
        const __mmask8 lanes = (__mmask8) ((1u << (hi - i)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi64(lanes, src + i);
        const __mmask8 below = _mm512_cmplt_epu64_mask(v, p) & lanes;
        const __mmask8 above = (__mmask8) ~below & lanes;
        left += pack_store(dst + left, below, v);
        right -= (unsigned) __builtin_popcount((unsigned) above);
        pack_store(dst + right, above, v);
    }
    if (left == lo) return SortOutcome::kGiveUp;
    const SortOutcome first =
        sort_positions_avx512(dst, src, lo, left, pos, base, row, depth - 1, cols);
    if (first != SortOutcome::kDone) return first;
    return sort_positions_avx512(dst, src, left, hi, pos, base, row, depth - 1, cols);
}

// Rows of at most this many cells are sorted whole in registers (network_positions_avx512).
inline constexpr std::size_t kNetworkMaxAvx512 = 128;

// One step of a sorting network inside each register: lane i meets the lane that `partner`
// holds in lane i; the lanes in `upper` keep the larger of the two, the others the smaller.
__attribute__((target("avx512f"), always_inline)) inline __m512i exchange_lanes(
    __m512i v, __m512i partner, __mmask16 upper) {
    return _mm512_mask_max_epu32(_mm512_min_epu32(v, partner), upper, v, partner);
}

// Lane i of v meets lane i ^ 1, i ^ 2, i ^ 4 and i ^ 8.
__attribute__((target("avx512f"), always_inline)) inline __m512i meet1(__m512i v) {
    return exchange_lanes(v, _mm512_shuffle_epi32(v, (_MM_PERM_ENUM) 0xB1), 0xAAAA);
}
__attribute__((target("avx512f"), always_inline)) inline __m512i meet2(__m512i v) {
    return exchange_lanes(v, _mm512_shuffle_epi32(v, (_MM_PERM_ENUM) 0x4E), 0xCCCC);
}
__attribute__((target("avx512f"), always_inline)) inline __m512i meet4(__m512i v) {
    return exchange_lanes(v, _mm512_shuffle_i64x2(v, v, 0xB1), 0xF0F0);
}
__attribute__((target("avx512f"), always_inline)) inline __m512i meet8(__m512i v) {
    return exchange_lanes(v, _mm512_shuffle_i64x2(v, v, 0x4E), 0xFF00);
}

// The sixteen lanes of v in the reverse order.
__attribute__((target("avx512f"), always_inline)) inline __m512i reversed16(__m512i v) {
    return _mm512_permutexvar_epi32(
        _mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0), v);
}

// Sorts the 16R unsigned lanes of v[0, R) ascending, lane i of register r being element
// 16r + i: a bitonic network on P >= R registers (a power of two), those from R on
// standing for all-ones lanes, whose exchanges move nothing and are left out. Each merge
// starts by meeting element e with the mirror of e in its block, so that both halves of
// every block stay ascending.
template <int R, int P>
__attribute__((target("avx512f"), always_inline)) inline void sort_network(__m512i *v) {
    const __m512i mirror8 = _mm512_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        __m512i x = meet1(v[r]);
        x = meet1(exchange_lanes(x, _mm512_shuffle_epi32(x, (_MM_PERM_ENUM) 0x1B), 0xCCCC));
        x = meet1(meet2(exchange_lanes(x, _mm512_permutexvar_epi32(mirror8, x), 0xF0F0)));
        v[r] = meet1(meet2(meet4(exchange_lanes(x, reversed16(x), 0xFF00))));
    }
#pragma GCC unroll 8
    for (int g = 2; g <= P; g *= 2) {
#pragma GCC unroll 8
        for (int b = 0; b < P; b += g)
#pragma GCC unroll 8
            for (int i = 0; i < g / 2; ++i) {
                const int lo = b + i, hi = b + g - 1 - i;
                if (hi >= R) continue;
                const __m512i rlo = reversed16(v[lo]), rhi = reversed16(v[hi]);
                v[lo] = _mm512_min_epu32(v[lo], rhi);
                v[hi] = _mm512_max_epu32(rlo, v[hi]);
            }
#pragma GCC unroll 8
        for (int d = g / 4; d >= 1; d /= 2)
#pragma GCC unroll 8
            for (int i = 0; i + d < R; ++i) {
                if (i & d) continue;
                const __m512i lo = _mm512_min_epu32(v[i], v[i + d]);
                v[i + d] = _mm512_max_epu32(v[i], v[i + d]);
                v[i] = lo;
            }
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) v[r] = meet1(meet2(meet4(meet8(v[r]))));
    }
}

// Sorts e[0, 16R) ascending in R registers (the network above), R the fewest that hold the
// `count` elements e[0, count); the lanes past those read as all ones. Returns true when
// two of the elements agree on all bits above `mask` (the column bits).
template <int R>
__attribute__((target("avx512f"))) inline bool sort_elements(std::uint32_t *e, std::size_t count,
                                                            std::uint32_t mask) {
    if constexpr (R < 8)
        if (count > std::size_t(16) * R) return sort_elements<R + 1>(e, count, mask);
    constexpr int P = R <= 1 ? 1 : R <= 2 ? 2 : R <= 4 ? 4 : 8;
    const __m512i ones = _mm512_set1_epi32(-1);
    __mmask16 lanes[R];
    __m512i v[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        const std::size_t left = count - std::size_t(16) * r;
        lanes[r] = left >= 16 ? (__mmask16) 0xFFFF : (__mmask16) ((1u << left) - 1);
        v[r] = _mm512_mask_loadu_epi32(ones, lanes[r], e + 16 * r);
    }
    sort_network<R, P>(v);
    // Each element against the one before it.
    const __m512i columns = _mm512_set1_epi32((int) mask);
    __mmask16 shared = 0;
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        _mm512_storeu_si512(e + 16 * r, v[r]);
        const __m512i before = _mm512_alignr_epi32(v[r], r ? v[r - 1] : v[r], 15);
        const __mmask16 from = r ? lanes[r] : (__mmask16) (lanes[r] & 0xFFFE);
        shared |= _mm512_mask_cmple_epu32_mask(from, _mm512_xor_si512(v[r], before), columns);
    }
    return shared != 0;
}

// The positions of a row of n <= kNetworkMaxAvx512 cells, as row_positions_portable gives
// them, sorted whole in registers: each valid finite cell becomes a 32-bit element, a map of
// its value above its column's bits that is monotone in the value, so that the elements order
// the cells wherever two cells' map differs. The map is first linear in the values; where it
// gives two cells the same element (values close for the range, one far off) it is linear
// in their order keys, which spreads each binary order of magnitude alike. kGiveUp when
// that one too gives two cells the same element: then the outputs are to be discarded and
// the row sorted another way.
__attribute__((target("avx512f,avx512vl,popcnt"))) inline SortOutcome network_positions_avx512(
    const double *row, const double *universe, const double *next, std::size_t n,
    std::uint32_t *pos, std::size_t &m, std::size_t &neg, std::size_t &pinf, const Columns &c) {
    const double inf = std::numeric_limits<double>::infinity();
    const __m256i none = _mm256_set1_epi32((int) kNoRank);
    __mmask8 good[kNetworkMaxAvx512 / 8];
    __m512d lo = _mm512_set1_pd(inf), hi = _mm512_set1_pd(-inf);
    std::size_t count = 0, ninf = 0, pinfs = 0;
    for (std::size_t j = 0; j < n; j += 8) {
        prefetch_next(next, j);
        const Cells8 cells = cells8(row, universe, j, n);
        count_infinities(cells, ninf, pinfs);
        good[j / 8] = cells.good;
        lo = _mm512_mask_min_pd(lo, cells.good, lo, cells.v);
        hi = _mm512_mask_max_pd(hi, cells.good, hi, cells.v);
        count += (unsigned) __builtin_popcount((unsigned) cells.good);
        _mm256_mask_storeu_epi32(pos + j, cells.lanes, none);
    }
    neg += ninf;
    pinf += pinfs;
    m = count;
    if (count == 0) return SortOutcome::kDone;
    const double vmin = _mm512_reduce_min_pd(lo), vmax = _mm512_reduce_max_pd(hi);
    if (count > 1 && !(vmax > vmin)) return SortOutcome::kTie;  // every value the same
    // The linear map: floor(min((v - vmin) * scale, top)), which the rounding of each step
    // keeps monotone in v. The key map: (key(v) - key(vmin)) >> drop.
    const unsigned id_bits = 32 - c.bits;
    const double top = double((std::uint32_t(1) << id_bits) - 1);
    const double scale = count > 1 ? top / (vmax - vmin) : 0.0;
    const bool linear = vmax - vmin < inf && scale < inf;
    const std::uint64_t span = order_key(vmax) - order_key(vmin);
    const unsigned span_bits = span ? 64u - (unsigned) __builtin_clzll(span) : 0u;
    const __m512d origin = _mm512_set1_pd(vmin), factor = _mm512_set1_pd(scale),
                  cap = _mm512_set1_pd(top);
    const __m512i key_origin = _mm512_set1_epi64((long long) order_key(vmin));
    const __m128i drop = _mm_cvtsi32_si128((int) (span_bits > id_bits ? span_bits - id_bits : 0));
    const __m128i shift = _mm_cvtsi32_si128((int) c.bits);
    const std::uint32_t mask = (std::uint32_t) c.mask;
    // The elements of the valid finite cells packed, with room for a whole step past them.
    alignas(64) std::uint32_t e[kNetworkMaxAvx512 + 8];
    for (int map = linear ? 0 : 1; map < 2; ++map) {
        __m256i col = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        std::size_t at = 0;
        for (std::size_t j = 0; j < n; j += 8) {
            const __mmask8 keep = good[j / 8];
            const __m512d v = _mm512_maskz_loadu_pd(keep, row + j);
            const __m256i id =
                map == 0 ? _mm512_cvttpd_epu32(_mm512_min_pd(
                               _mm512_mul_pd(_mm512_sub_pd(v, origin), factor), cap))
                         : _mm512_cvtepi64_epi32(
                               _mm512_srl_epi64(_mm512_sub_epi64(keys8(v), key_origin), drop));
            const __m256i item = _mm256_or_si256(_mm256_sll_epi32(id, shift), col);
            _mm256_storeu_si256((__m256i *) (e + at), _mm256_maskz_compress_epi32(keep, item));
            at += (unsigned) __builtin_popcount((unsigned) keep);
            col = _mm256_add_epi32(col, _mm256_set1_epi32(8));
        }
        if (sort_elements<1>(e, count, mask)) continue;
        const std::uint32_t base = (std::uint32_t) neg;
        for (std::size_t k = 0; k < count; ++k) pos[e[k] & mask] = base + (std::uint32_t) k;
        return SortOutcome::kDone;
    }
    return SortOutcome::kGiveUp;
}

// The positions of a row's valid finite cells, as row_positions_portable gives them; kGiveUp
// when the vector sort gave up (the outputs are then to be discarded).
__attribute__((target("avx512f,avx512vl,popcnt"))) inline SortOutcome row_positions_avx512(
    const double *row, const double *universe, const double *next, std::size_t n,
    RankScratch &s, std::size_t &m, std::size_t &neg, std::size_t &pinf, const Columns &cols) {
    if (n <= kNetworkMaxAvx512) {
        const std::size_t neg0 = neg, pinf0 = pinf;
        const SortOutcome done =
            network_positions_avx512(row, universe, next, n, s.pos.data(), m, neg, pinf, cols);
        if (done != SortOutcome::kGiveUp) return done;
        neg = neg0;  // two values share their map: the quicksort ranks the row
        pinf = pinf0;
    }
    std::size_t below = 0;
    m = build_items_avx512(row, universe, next, n, s.items.data(), s.pos.data(), neg, pinf,
                           below, cols);
    // The two signs apart: positions neg + [0, below) and neg + below + [0, m - below), the
    // second range sitting at items[n - (m - below), n) (the base wraps around).
    const SortOutcome done = sort_positions_avx512(s.items.data(), s.tmp.data(), 0, below,
                                                   s.pos.data(), (std::uint32_t) neg, row, 64,
                                                   cols);
    if (done != SortOutcome::kDone) return done;
    return sort_positions_avx512(s.items.data(), s.tmp.data(), n - (m - below), n, s.pos.data(),
                                 (std::uint32_t) (neg + below - (n - (m - below))), row, 64,
                                 cols);
}

}  // namespace ee::kernels::detail

EE_AVX512_WARNINGS_ON

#endif
