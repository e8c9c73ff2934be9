// The rank kernels' AVX2 path: rows of more than 32 cells dealt into buckets and ranked with
// 256-bit vectors, and ranks and products written from positions four cells a step. Plain
// C++, no Python; compiled per function for AVX2 and FMA and called only where the CPU has
// both (platform.hpp).
//
// A row's items are dealt by a monotone linear map into twice as many buckets as items, most
// holding none, one or two. The map reads each item's value with its column bits cleared, so
// items that agree on their key bits share a bucket and no item of a bucket lies above an
// item of a later one. Buckets of more than four items are sorted in place; then an item's
// position is its index in the dealt order, plus the items of the next three that lie below
// it, minus the items of the previous three that lie above it. Items are kept with their top
// bit flipped, so that signed compares order them. Shorter rows are ranked by counting.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform.hpp"
#include "rank_keys.hpp"
#include "rank_portable.hpp"

#ifdef EE_KERNELS_X86

namespace ee::kernels::detail {

// Rows at least this long are dealt into buckets on this path (shorter ones count faster),
// and on the AVX-512 path those longer than kNetworkMaxAvx512 (shorter ones are sorted in
// registers there).
inline constexpr std::size_t kDealMin = 33;
// Buckets per valid finite cell.
inline constexpr std::size_t kDealBucketsPerCell = 2;
// How far apart, in the dealt order, two items can be whose order is still to be settled.
inline constexpr std::size_t kDealWindow = 3;
// Buckets of more items than the window holds are sorted, up to this many items; a map that
// crowds more into a bucket is dropped for the next (a linear map of the values, then one of
// their magnitudes' bits), and a row that crowds both goes to the portable path.
inline constexpr std::uint32_t kDealSortMax = 64;
// Above every flipped item: the padding after the last.
inline constexpr std::int64_t kDealAbsent = std::numeric_limits<std::int64_t>::max();

// For each set of four 64-bit lanes (a 4-bit mask), the 32-bit lanes that move the set's
// lanes, in order, to the front of a register.
struct PackLanes {
    alignas(32) std::int32_t index[16][8];
};
constexpr PackLanes pack_lanes() {
    PackLanes t{};
    for (int mask = 0; mask < 16; ++mask) {
        int out = 0;
        for (int lane = 0; lane < 4; ++lane)
            if (mask >> lane & 1) {
                t.index[mask][out++] = 2 * lane;
                t.index[mask][out++] = 2 * lane + 1;
            }
    }
    return t;
}
inline constexpr PackLanes kPackLanes = pack_lanes();

__attribute__((target("avx2"), always_inline)) inline __m256i lanes_below(std::size_t count) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x((long long) std::min<std::size_t>(count, 4)),
                              _mm256_setr_epi64x(0, 1, 2, 3));
}

// Bucket ids of the m flipped items: floor(clamp((w - vmin) * scale, 0, buckets - 1)), w
// the value of the item with its column bits cleared (`keep`), which is monotone in the
// item's key bits. Writes ids up to m rounded up to 4.
__attribute__((target("avx2"))) inline void deal_ids_linear(const std::int64_t *flipped,
                                                             std::size_t m, std::uint32_t *ids,
                                                             double vmin, double scale,
                                                             std::size_t buckets, __m256i keep) {
    const __m256d origin = _mm256_set1_pd(vmin), scale4 = _mm256_set1_pd(scale);
    const __m256d last = _mm256_set1_pd(double(buckets - 1));
    for (std::size_t j = 0; j < m; j += 4) {
        const __m256i f = _mm256_loadu_si256((const __m256i *) (flipped + j));
        const __m256i t = _mm256_and_si256(f, keep);
        const __m256i w = _mm256_xor_si256(
            t, _mm256_srli_epi64(_mm256_cmpgt_epi64(_mm256_setzero_si256(), t), 1));
        __m256d x = _mm256_mul_pd(_mm256_sub_pd(_mm256_castsi256_pd(w), origin), scale4);
        x = _mm256_min_pd(_mm256_max_pd(x, _mm256_setzero_pd()), last);
        _mm_storeu_si128((__m128i *) (ids + j), _mm256_cvttpd_epi32(x));
    }
}

// The signed distance of the flipped item t (column bits cleared) past e0 in magnitude
// bits: sign(t) * max(|t| - e0, 0), |t| the bits of the value's magnitude; monotone in t.
__attribute__((target("avx2"), always_inline)) inline __m256i beyond(__m256i t, __m256i e0) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i negative = _mm256_cmpgt_epi64(zero, t);  // then t = -1 - |t|
    const __m256i up = _mm256_sub_epi64(t, e0);
    const __m256i down = _mm256_add_epi64(_mm256_add_epi64(t, e0), _mm256_set1_epi64x(1));
    return _mm256_blendv_epi8(_mm256_andnot_si256(_mm256_cmpgt_epi64(zero, up), up),
                              _mm256_and_si256(_mm256_cmpgt_epi64(zero, down), down), negative);
}

// Bucket ids as deal_ids_linear, by the items' magnitude bits past the smallest nonzero
// magnitude instead of their values: for values spread over many binary orders (heavy
// tails). low and high: the smallest and largest items, column bits cleared;
// flipped[m, m + 4) hold kDealAbsent.
__attribute__((target("avx2"))) inline void deal_ids_magnitude(const std::int64_t *flipped,
                                                                std::size_t m, std::uint32_t *ids,
                                                                std::int64_t low,
                                                                std::int64_t high,
                                                                std::size_t buckets,
                                                                __m256i keep) {
    const __m256i absent = _mm256_set1_epi64x(kDealAbsent), zero = _mm256_setzero_si256();
    __m256i e0 = absent;
    for (std::size_t j = 0; j < m; j += 4) {
        const __m256i f = _mm256_loadu_si256((const __m256i *) (flipped + j));
        const __m256i t = _mm256_and_si256(f, keep);
        __m256i size = _mm256_xor_si256(t, _mm256_cmpgt_epi64(zero, t));
        size = _mm256_blendv_epi8(size, absent,
                                  _mm256_or_si256(_mm256_cmpeq_epi64(f, absent),
                                                  _mm256_cmpeq_epi64(size, zero)));
        e0 = _mm256_blendv_epi8(e0, size, _mm256_cmpgt_epi64(e0, size));
    }
    alignas(32) std::int64_t least[4];
    _mm256_store_si256((__m256i *) least, e0);
    const std::int64_t e = std::min(std::min(least[0], least[1]), std::min(least[2], least[3]));
    e0 = _mm256_set1_epi64x(e == kDealAbsent ? 0 : e);
    alignas(32) std::int64_t ends[4];
    _mm256_store_si256((__m256i *) ends, beyond(_mm256_setr_epi64x(low, high, 0, 0), e0));
    const std::uint64_t span = (std::uint64_t) ends[1] - (std::uint64_t) ends[0];
    int shift = 0;
    while (shift < 63 && (span >> shift) >= buckets) ++shift;
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m256i origin = _mm256_set1_epi64x(ends[0]);
    const __m256i pack = _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0);
    for (std::size_t j = 0; j < m; j += 4) {
        const __m256i f = _mm256_loadu_si256((const __m256i *) (flipped + j));
        const __m256i id = _mm256_srl_epi64(
            _mm256_sub_epi64(beyond(_mm256_and_si256(f, keep), e0), origin), count);
        _mm_storeu_si128((__m128i *) (ids + j),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(id, pack)));
    }
}

// Counts the items of each bucket (ids[0, m)) and turns end[0, buckets] (zeroed, room for
// buckets + 8) into each bucket's start (m for end[buckets]); lists the buckets too large
// for the window in large[0, nlarge). Returns the largest count of a bucket.
__attribute__((target("avx2"))) inline std::uint32_t deal_starts(const std::uint32_t *ids,
                                                                  std::size_t m,
                                                                  std::size_t buckets,
                                                                  std::uint32_t *end,
                                                                  std::uint32_t *large,
                                                                  std::size_t &nlarge) {
    for (std::size_t j = 0; j < m; ++j) ++end[ids[j]];
    const __m256i window = _mm256_set1_epi32((int) kDealWindow + 1);
    __m256i carry = _mm256_setzero_si256(), largest = carry;
    for (std::size_t b = 0; b <= buckets; b += 8) {
        const __m256i v = _mm256_loadu_si256((const __m256i *) (end + b));
        __m256i x = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
        const __m256i low = _mm256_shuffle_epi32(x, 0xFF);
        x = _mm256_add_epi32(x, _mm256_permute2x128_si256(low, low, 0x08));
        x = _mm256_add_epi32(x, carry);
        _mm256_storeu_si256((__m256i *) (end + b), _mm256_sub_epi32(x, v));
        carry = _mm256_permutevar8x32_epi32(x, _mm256_set1_epi32(7));
        largest = _mm256_max_epu32(largest, v);
        for (unsigned bits = (unsigned) _mm256_movemask_ps(
                 _mm256_castsi256_ps(_mm256_cmpgt_epi32(v, window)));
             bits; bits &= bits - 1)
            large[nlarge++] = (std::uint32_t) (b + (unsigned) __builtin_ctz(bits));
    }
    alignas(32) std::uint32_t most[8];
    _mm256_store_si256((__m256i *) most, largest);
    return *std::max_element(most, most + 8);
}

// Positions of a row of n >= kDealMin cells (n < 2^28), as row_positions_portable gives them;
// kGiveUp when the portable path is to rank the row instead (the outputs are then to be
// discarded).
__attribute__((target("avx2,fma,popcnt"))) inline SortOutcome deal_positions_avx2(
    const double *row, const double *universe, const double *next, std::size_t n,
    RankScratch &s, std::size_t &m, std::size_t &neg, std::size_t &pinf, const Columns &c) {
    const double inf = std::numeric_limits<double>::infinity();
    std::uint32_t *pos = s.pos.data(), *ids = s.ranks.data();
    std::int64_t *flipped = reinterpret_cast<std::int64_t *>(s.tmp.data());
    const __m256i keep = _mm256_set1_epi64x((long long) ~c.mask);
    const __m256d zero = _mm256_setzero_pd(), inf4 = _mm256_set1_pd(inf);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_srli_epi64(_mm256_set1_epi64x(-1), 1));
    __m256d lo = inf4, hi = _mm256_set1_pd(-inf);
    __m256i col = _mm256_setr_epi64x(0, 1, 2, 3);
    std::size_t good = 0, ninf = 0, pinfs = 0;
    // The range of the valid finite values, the infinities, no position yet, and the
    // flipped items of the valid finite cells (then kDealAbsent).
    for (std::size_t j = 0; j < n; j += 4) {
        if (next && (j & 7) == 0) _mm_prefetch((const char *) (next + j), _MM_HINT_T1);
        const bool full = n - j >= 4;
        const __m256i lanes = full ? _mm256_set1_epi64x(-1) : lanes_below(n - j);
        const __m256d v = full ? _mm256_loadu_pd(row + j) : _mm256_maskload_pd(row + j, lanes);
        __m256d valid =
            _mm256_and_pd(_mm256_cmp_pd(v, v, _CMP_ORD_Q), _mm256_castsi256_pd(lanes));
        if (universe) {
            const __m256d u =
                full ? _mm256_loadu_pd(universe + j) : _mm256_maskload_pd(universe + j, lanes);
            valid = _mm256_and_pd(valid, _mm256_cmp_pd(u, zero, _CMP_NEQ_OQ));
        }
        const __m256d finite = _mm256_cmp_pd(_mm256_and_pd(v, magnitude), inf4, _CMP_LT_OQ);
        const __m256d ok = _mm256_and_pd(valid, finite);
        if (const int infinite = _mm256_movemask_pd(_mm256_andnot_pd(finite, valid))) {
            const int below = _mm256_movemask_pd(_mm256_cmp_pd(v, zero, _CMP_LT_OQ));
            ninf += (unsigned) __builtin_popcount((unsigned) (infinite & below));
            pinfs += (unsigned) __builtin_popcount((unsigned) (infinite & ~below));
        }
        lo = _mm256_min_pd(lo, _mm256_blendv_pd(inf4, v, ok));
        hi = _mm256_max_pd(hi, _mm256_blendv_pd(_mm256_set1_pd(-inf), v, ok));
        // order_key with the top bit flipped: -0.0 becomes 0.0, negative values flip the
        // other 63 bits.
        const __m256i b = _mm256_castpd_si256(_mm256_add_pd(v, zero));
        const __m256i negative =
            _mm256_srli_epi64(_mm256_cmpgt_epi64(_mm256_setzero_si256(), b), 1);
        const __m256i item =
            _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(b, negative), keep), col);
        // The valid finite cells' items packed (lanes past them are overwritten next).
        const int kept = _mm256_movemask_pd(ok);
        _mm256_storeu_si256(
            (__m256i *) (flipped + good),
            _mm256_permutevar8x32_epi32(
                item, _mm256_load_si256((const __m256i *) kPackLanes.index[kept])));
        good += (unsigned) __builtin_popcount((unsigned) kept);
        const __m128i none = _mm_set1_epi32((int) kNoRank);
        if (full)
            _mm_storeu_si128((__m128i *) (pos + j), none);
        else
            _mm_maskstore_epi32((int *) (pos + j),
                                _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
                                    lanes, _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0))),
                                none);
        col = _mm256_add_epi64(col, _mm256_set1_epi64x(4));
    }
    neg += ninf;
    pinf += pinfs;
    m = good;
    if (good == 0) return SortOutcome::kDone;
    for (int q = 0; q < 4; ++q) flipped[good + q] = kDealAbsent;
    alignas(32) double range[8];
    _mm256_store_pd(range, lo);
    _mm256_store_pd(range + 4, hi);
    const double vmin = std::min(std::min(range[0], range[1]), std::min(range[2], range[3]));
    const double vmax = std::max(std::max(range[4], range[5]), std::max(range[6], range[7]));
    if (!(vmax > vmin) && good > 1) return SortOutcome::kTie;
    const std::size_t buckets = good * kDealBucketsPerCell;
    const double scale = good > 1 ? double(buckets) / (vmax - vmin) : 0.0;
    if (!(vmax - vmin < inf) || !(scale < inf)) return SortOutcome::kGiveUp;
    std::vector<std::uint32_t> &counts = s.bucket_ends;
    std::uint32_t *end = nullptr, *large = s.cols.data();
    std::size_t nlarge = 0;
    for (int map = 0;; ++map) {
        if (map == 0) {
            deal_ids_linear(flipped, good, ids, vmin, scale, buckets, keep);
        } else {
            const std::int64_t low = (std::int64_t) (order_key(vmin) ^ (std::uint64_t(1) << 63));
            const std::int64_t high = (std::int64_t) (order_key(vmax) ^ (std::uint64_t(1) << 63));
            deal_ids_magnitude(flipped, good, ids, low & (std::int64_t) ~c.mask,
                               high & (std::int64_t) ~c.mask, buckets, keep);
        }
        counts.assign(buckets + 8, 0);
        end = counts.data();
        nlarge = 0;
        if (deal_starts(ids, good, buckets, end, large, nlarge) <= kDealSortMax) break;
        if (map == 1) return SortOutcome::kGiveUp;
    }
    // Dealt, with room for the items before the first and after the last that the vector
    // compares read.
    std::int64_t *dealt = reinterpret_cast<std::int64_t *>(s.items.data()) + 4;
    for (std::size_t j = 0; j < good; ++j) dealt[end[ids[j]]++] = flipped[j];
    for (int q = 1; q <= 4; ++q) dealt[-q] = std::numeric_limits<std::int64_t>::min();
    for (std::size_t q = good; q < good + 8; ++q) dealt[q] = kDealAbsent;
    // end[b] is now where bucket b ends.
    for (std::size_t q = 0; q < nlarge; ++q) {
        const std::uint32_t b = large[q];
        std::sort(dealt + (b ? end[b - 1] : 0), dealt + end[b]);
    }
    // Positions; and whether two items of a bucket agree on their key bits (then the
    // portable path, which compares full keys, ranks the row).
    const __m128i shift = _mm_cvtsi32_si128((int) c.bits);
    __m256i shared = _mm256_setzero_si256();
    alignas(32) std::int64_t at[4];
    for (std::size_t k = 0; k < good; k += 4) {
        const __m256i x = _mm256_loadu_si256((const __m256i *) (dealt + k));
        __m256i p = _mm256_add_epi64(_mm256_set1_epi64x((long long) (neg + k)),
                                     _mm256_setr_epi64x(0, 1, 2, 3));
        __m256i same = _mm256_setzero_si256();
        for (std::size_t d = 1; d <= kDealWindow; ++d) {
            const __m256i y = _mm256_loadu_si256((const __m256i *) (dealt + k + d));
            const __m256i z = _mm256_loadu_si256((const __m256i *) (dealt + k - d));
            p = _mm256_add_epi64(_mm256_sub_epi64(p, _mm256_cmpgt_epi64(x, y)),
                                 _mm256_cmpgt_epi64(z, x));
            same = _mm256_or_si256(
                same, _mm256_cmpeq_epi64(_mm256_srl_epi64(_mm256_xor_si256(x, y), shift),
                                         _mm256_setzero_si256()));
        }
        _mm256_store_si256((__m256i *) at, p);
        const std::size_t lanes = std::min<std::size_t>(4, good - k);
        shared = _mm256_or_si256(shared, _mm256_and_si256(same, lanes_below(lanes)));
        for (std::size_t i = 0; i < lanes; ++i)
            pos[dealt[k + i] & c.mask] = (std::uint32_t) at[i];
    }
    if (!_mm256_testz_si256(shared, shared)) return SortOutcome::kGiveUp;
    return SortOutcome::kDone;
}

// The quotient k / d of integers below 2^32 rounded as the division rounds it, y = 1 / d
// rounded (the argument is at the top of rank_avx512_emit.hpp).
__attribute__((target("avx2,fma"), always_inline)) inline __m256d quotient4(__m256d k, __m256d d,
                                                                           __m256d y) {
    const __m256d q = _mm256_mul_pd(k, y);
    return _mm256_fmadd_pd(_mm256_fnmadd_pd(q, d, k), y, q);
}

// Four ranks from four positions, NaN where the position is kNoRank.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d ranks4(__m128i p,
                                                                        std::size_t valid,
                                                                        __m256d d, __m256d y) {
    const __m128i none = _mm_set1_epi32((int) kNoRank);
    const __m256d unknown = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(p, none)));
    // Unsigned to double: the top bit flipped, converted as signed, 2^31 added back.
    const __m256d k = _mm256_add_pd(
        _mm256_cvtepi32_pd(_mm_xor_si128(p, _mm_set1_epi32(std::numeric_limits<int>::min()))),
        _mm256_set1_pd(2147483648.0));
    const __m256d r = valid == 1 ? _mm256_set1_pd(0.5) : quotient4(k, d, y);
    return _mm256_blendv_pd(r, _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN()), unknown);
}

// Streamed results need 32-byte aligned stores: cells up to the first such address, and
// those past the last whole step, are written one at a time.
__attribute__((target("avx2,fma"))) inline void emit_ranks_avx2(const std::uint32_t *pos,
                                                                 std::size_t n, std::size_t valid,
                                                                 double *out, bool stream) {
    const double dd = valid > 1 ? double(valid - 1) : 1.0;
    const __m256d d = _mm256_set1_pd(dd), y = _mm256_set1_pd(1.0 / dd);
    std::size_t j = 0;
    if (stream)
        for (; j < n && ((std::uintptr_t) (out + j) & 31) != 0; ++j)
            out[j] = pos[j] == kNoRank ? std::numeric_limits<double>::quiet_NaN()
                                       : rank_value(pos[j], valid);
    for (; j + 4 <= n; j += 4) {
        const __m256d r = ranks4(_mm_loadu_si128((const __m128i *) (pos + j)), valid, d, y);
        if (stream) _mm256_stream_pd(out + j, r);
        else _mm256_storeu_pd(out + j, r);
    }
    emit_ranks_generic(pos + j, n - j, valid, out + j);
}

__attribute__((target("avx2"), always_inline)) inline __m128i load_positions4(
    const std::uint32_t *p) {
    return _mm_loadu_si128((const __m128i *) p);
}
__attribute__((target("avx2"), always_inline)) inline __m128i load_positions4(
    const std::uint16_t *p) {
    // 0xFFFF (no rank) widens to kNoRank.
    const __m128i w = _mm_cvtepu16_epi32(_mm_loadl_epi64((const __m128i *) p));
    return _mm_or_si128(w, _mm_cmpeq_epi32(w, _mm_set1_epi32(0xFFFF)));
}

template <typename P>
__attribute__((target("avx2,fma"))) inline void emit_product_avx2(
    const unsigned char *left_row, std::size_t left_valid, const std::uint32_t *right,
    std::size_t right_valid, std::size_t n, double *out, const unsigned char *next_left) {
    // Vector loads only (they may alias anything): each step reads its positions before
    // it stores its results.
    const P *left = reinterpret_cast<const P *>(left_row);
    const double dl = left_valid > 1 ? double(left_valid - 1) : 1.0;
    const double dr = right_valid > 1 ? double(right_valid - 1) : 1.0;
    const __m256d ld = _mm256_set1_pd(dl), ly = _mm256_set1_pd(1.0 / dl);
    const __m256d rd = _mm256_set1_pd(dr), ry = _mm256_set1_pd(1.0 / dr);
    const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        if (next_left && (j * sizeof(P)) % 64 == 0)
            _mm_prefetch((const char *) (next_left + j * sizeof(P)), _MM_HINT_T0);
        const __m256d a = ranks4(load_positions4(left + j), left_valid, ld, ly);
        const __m256d b = ranks4(load_positions4(right + j), right_valid, rd, ry);
        const __m256d unknown = _mm256_cmp_pd(a, b, _CMP_UNORD_Q);
        _mm256_storeu_pd(out + j, _mm256_blendv_pd(_mm256_mul_pd(a, b), nan, unknown));
    }
    emit_product_generic<P>(left_row + j * sizeof(P), left_valid, right + j, right_valid, n - j,
                            out + j);
}

}  // namespace ee::kernels::detail

#endif
