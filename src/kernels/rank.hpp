// Cross-sectional ranks of float64 rows. Plain C++, no Python.
//
// One row kernel, two drivers:
//   - rank_matrix_distinct and rank_matrix_positions / rank_matrix_distinct_product: the
//     whole-matrix fast paths. A row's valid cells are ranked k / (n - 1) by their position
//     k in the stable ascending order of the row in which masked cells read as +inf; any
//     finite tie in any row declines the whole matrix (returns false).
//   - rank_row_average: one row, equal values sharing the mean of their positions, for the
//     row-by-row rank function.
//
// Ordering: a cell's value becomes a 64-bit key that sorts like the double (-0.0 and 0.0
// share a key); an item is the key with its lowest bits replaced by the column (as many
// bits as the row's length needs), so values close together, which agree on many high
// bits, still differ in their items. Where the CPU has AVX-512, a long row's items are
// first dealt into buckets by a monotone linear map of their values, a few items a bucket;
// a short row's items are split by sign while they are built. Buckets of at most eight
// items are ranked by vector compares on their key bits; larger ones, and the two halves
// of a short row, are quicksorted with compress stores down to blocks of at most 32, whose
// positions come from vector compares on 32 of the key bits (the highest, or else the 32
// below the highest bit that varies in the block; blocks whose items agree on those are
// ordered on the items, then on full keys). Without
// AVX-512, or when that sort gives up (many equal key bits), short rows count for every
// finite value how many are smaller, and long rows radix-sort the items on their high 32
// bits and re-sort the rare runs that agree on those on full keys.
//
// The distinct ranking works in two steps: a row's positions (one per cell, kNoRank where
// the cell is masked) and its count of valid cells, then the ranks written from them. The
// rank-multiply path keeps the first operand's positions (16 bits a cell for rows shorter
// than 2^16 - 1) in the tails of the product's own rows, and forms each product row from two
// position rows: no scratch beyond the result and O(rows) counts.
//
// Quotients: position / (valid - 1) must be the correctly rounded quotient. With FMA it is
// computed as q = k * y, r = k - q * d (exact), q + r * y, where y = 1 / d rounded: for
// integers 0 <= k, d < 2^32 the last step's exact value lies within 2^-100 |k / d| of k / d,
// while k / d is never a rounding midpoint and lies at least ulp / (4 d) away from every
// midpoint, so the rounding is that of the division itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "mask.hpp"
#include "parallel.hpp"
#include "sort.hpp"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's AVX-512 intrinsics
#endif

namespace ee::kernels {

// An unsigned key that orders like the double (NaN excluded); -0.0 and 0.0 map to one key.
inline std::uint64_t order_key(double x) {
    x += 0.0;  // -0.0 becomes 0.0; every other value is unchanged
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t negative = (std::uint64_t) ((std::int64_t) b >> 63);
    return b ^ (negative | 0x8000000000000000ull);
}

// The key's high 32 bits as a signed integer with the same order.
inline std::int32_t key_prefix(double x) {
    return (std::int32_t) (std::uint32_t) ((order_key(x) >> 32) ^ 0x80000000u);
}

// Rows with at most this many finite cells are ranked by counting; longer rows are sorted.
inline constexpr std::size_t kCountRanksMax = 160;

// The position of a masked cell.
inline constexpr std::uint32_t kNoRank = 0xFFFFFFFFu;

// Per-thread buffers, O(n) each, reused from row to row.
struct RankScratch {
    std::vector<std::uint64_t> items, tmp;
    std::vector<double> vals;
    std::vector<std::int32_t> prefixes;
    std::vector<std::uint32_t> cols, ranks, pos;
    std::vector<unsigned char> seen;
    SortScratch sort;
    void reserve(std::size_t n) {
        if (cols.size() < n) {
            items.resize(n);
            tmp.resize(n);
            vals.resize(n + 16);
            prefixes.resize(n + 16);
            cols.resize(n);
            ranks.resize(n + 16);
            pos.resize(n);
            seen.resize(n);
        }
    }
};

namespace detail {

// The low bits of an item that hold its column: as few as the row's length needs (at
// least one, at most 32), so that the key keeps as many of its high bits as it can.
struct Columns {
    unsigned bits;
    std::uint64_t mask;
    explicit Columns(std::size_t n)
        : bits(n <= 2 ? 1u : 64u - (unsigned) __builtin_clzll((unsigned long long) (n - 1))),
          mask((std::uint64_t(1) << bits) - 1) {}
};

// The radix sorts order items on their bits from this one up (the bits below, column bits
// included, keep the input order), which costs fewer passes than all of the key bits.
inline constexpr unsigned kRadixFrom = 32;

inline std::uint64_t cell_item(double v, std::uint32_t col, const Columns &c) {
    return (order_key(v) & ~c.mask) | col;
}

// items[0, m) are in ascending order of their bits from `from` up, equal bits in column
// order; re-sorts each run of equal bits on the full keys of the values (row[col]).
// Returns true when two items hold equal values.
inline bool resolve_prefix_runs(std::uint64_t *items, std::size_t m, const double *row,
                                const Columns &c, unsigned from) {
    bool equal_found = false;
    const std::uint64_t mask = c.mask;
    const unsigned bits = from;
    auto full_less = [row, mask](std::uint64_t a, std::uint64_t b) {
        std::uint64_t ka = order_key(row[a & mask]), kb = order_key(row[b & mask]);
        return ka < kb || (ka == kb && (a & mask) < (b & mask));
    };
    std::size_t i = 1;
    while (i < m) {
        if ((items[i] >> bits) != (items[i - 1] >> bits)) {
            ++i;
            continue;
        }
        std::size_t start = i - 1, end = i + 1;
        while (end < m && (items[end] >> bits) == (items[start] >> bits)) ++end;
        std::sort(items + start, items + end, full_less);
        for (std::size_t a = start + 1; a < end; ++a)
            if (order_key(row[items[a] & mask]) == order_key(row[items[a - 1] & mask]))
                equal_found = true;
        i = end;
    }
    return equal_found;
}

// Sorts items[0, m) (key bits, column) into ascending value order, equal values in column
// order; row[col] is the value of a column. Returns true when two items hold equal values.
inline bool sort_items(std::uint64_t *items, std::size_t m, const double *row, RankScratch &s,
                       const Columns &c) {
    sort_u64(items, s.tmp.data(), m, kRadixFrom, s.sort);
    return resolve_prefix_runs(items, m, row, c, kRadixFrom);
}

// ranks[i] = number of vals[0, m) smaller than vals[i], all distinct; false when two
// values are equal. vals and prefixes need room for m rounded up to 16.
inline bool count_ranks(double *vals, std::int32_t *prefixes, std::size_t m,
                        std::uint32_t *ranks, unsigned char *seen) {
    if (m == 0) return true;  // an empty row: the scratch buffers may not even exist
    for (std::size_t i = 0; i < m; ++i) prefixes[i] = key_prefix(vals[i]);
    count_less(prefixes, m, ranks);
    std::memset(seen, 0, m);
    bool distinct = true;
    for (std::size_t i = 0; i < m; ++i) {
        if (seen[ranks[i]]) {
            distinct = false;
            break;
        }
        seen[ranks[i]] = 1;
    }
    if (distinct) return true;  // distinct prefixes order the values
    count_less(vals, m, ranks);  // prefixes collide: count on the values themselves
    std::memset(seen, 0, m);
    for (std::size_t i = 0; i < m; ++i) {
        if (seen[ranks[i]]) return false;  // equal values share a count
        seen[ranks[i]] = 1;
    }
    return true;
}

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

#ifdef EE_KERNELS_X86
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

// The items of eight cells whose columns are `col` (cell_item, eight at a time).
__attribute__((target("avx512f,avx512vl"), always_inline)) inline __m512i items8(
    __m512d v, __m512i col, const Columns &c) {
    // order_key: -0.0 becomes 0.0, then the sign decides which bits flip.
    const __m512i b = _mm512_castpd_si512(_mm512_add_pd(v, _mm512_setzero_pd()));
    const __m512i sign = _mm512_set1_epi64((long long) 0x8000000000000000ull);
    const __m512i key = _mm512_xor_si512(b, _mm512_or_si512(_mm512_srai_epi64(b, 63), sign));
    return _mm512_or_si512(_mm512_and_si512(key, _mm512_set1_epi64((long long) ~c.mask)), col);
}

// Asks for the cells at row + j of the next row (null: none) to be on their way to the cache.
inline void prefetch_next(const double *next, std::size_t j) {
    if (next) _mm_prefetch((const char *) (next + j), _MM_HINT_T1);
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
        _mm512_mask_compressstoreu_epi64(items + front, negative, item);
        front += (unsigned) __builtin_popcount((unsigned) negative);
        back -= (unsigned) __builtin_popcount((unsigned) other);
        _mm512_mask_compressstoreu_epi64(items + back, other, item);
        _mm256_mask_storeu_epi32(pos + j, cells.lanes, none);
        col = _mm512_add_epi64(col, step);
    }
    neg += ninf;
    pinf += pinfs;
    below = front;
    return front + (n - back);
}

// Outcomes of sort_positions_avx512.
enum class SortOutcome { kDone, kTie, kGiveUp };

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
// items: each level splits the range around the median of three keys with compress stores
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
        const unsigned nb = (unsigned) __builtin_popcount((unsigned) below);
        _mm512_mask_compressstoreu_epi64(dst + left, below, v);
        left += nb;
        right -= 8 - nb;
        _mm512_mask_compressstoreu_epi64(dst + right, (__mmask8) ~below, v);
    }
    if (i < hi) {
        const __mmask8 lanes = (__mmask8) ((1u << (hi - i)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi64(lanes, src + i);
        const __mmask8 below = _mm512_cmplt_epu64_mask(v, p) & lanes;
        const __mmask8 above = (__mmask8) ~below & lanes;
        _mm512_mask_compressstoreu_epi64(dst + left, below, v);
        left += (unsigned) __builtin_popcount((unsigned) below);
        right -= (unsigned) __builtin_popcount((unsigned) above);
        _mm512_mask_compressstoreu_epi64(dst + right, above, v);
    }
    if (left == lo) return SortOutcome::kGiveUp;
    const SortOutcome first =
        sort_positions_avx512(dst, src, lo, left, pos, base, row, depth - 1, cols);
    if (first != SortOutcome::kDone) return first;
    return sort_positions_avx512(dst, src, left, hi, pos, base, row, depth - 1, cols);
}

// Positions of a block of at most eight items from counts of the items below each on
// their key bits (columns cleared). Returns false, writing nothing, when two of them share
// those bits: then their columns do not tell their order.
__attribute__((target("avx512f,avx512vl"), always_inline)) inline bool small_block_positions(
    const std::uint64_t *items, std::size_t n, std::uint32_t *pos, std::uint32_t start,
    const Columns &c) {
    const __mmask8 lanes = (__mmask8) ((1u << n) - 1);
    // Lanes past the block hold all ones, above every key of a finite value.
    const __m512i raw = _mm512_mask_loadu_epi64(_mm512_set1_epi64(-1), lanes, items);
    const __m512i column = _mm512_set1_epi64((long long) c.mask);
    const __m512i keys = _mm512_andnot_si512(column, raw);
    alignas(64) std::uint64_t key[8];
    _mm512_store_si512(key, keys);
    const __m512i one = _mm512_set1_epi64(1);
    __m512i below = _mm512_setzero_si512();
    for (int k = 0; k < 8; ++k) {
        const __m512i x = _mm512_set1_epi64((long long) key[k]);
        below = _mm512_mask_add_epi64(below, _mm512_cmpgt_epu64_mask(keys, x), below, one);
    }
    // Distinct keys give the counts 0 .. n - 1, one each.
    if ((std::uint64_t) _mm512_reduce_or_epi64(_mm512_maskz_sllv_epi64(lanes, one, below)) !=
        lanes)
        return false;
    _mm512_mask_i64scatter_epi32(
        pos, lanes, _mm512_and_si512(raw, column),
        _mm512_cvtepi64_epi32(_mm512_add_epi64(below, _mm512_set1_epi64((long long) start))), 4);
    return true;
}

// Rows at least this long are dealt into buckets before they are sorted.
inline constexpr std::size_t kBucketMin = 400;
// Cells per bucket, on average.
inline constexpr std::size_t kBucketCells = 6;

// Positions of a whole row of n >= kBucketMin cells, its -inf and +inf cells apart (added
// to neg and pinf; m receives the number of finite valid cells). The finite valid values
// are dealt into buckets by floor(min((v - lo) * scale, buckets - 1)), lo the smallest of
// them: each step rounds monotonically, so no item of a bucket lies above an item of a later
// one, and every bucket is then ranked on its own (equal values share a bucket). `next`,
// when not null, is the next row to be ranked.
__attribute__((target("avx512f,avx512vl,popcnt"))) inline SortOutcome bucket_positions_avx512(
    const double *row, const double *universe, const double *next, std::size_t n,
    RankScratch &s, std::size_t &m, std::size_t &neg, std::size_t &pinf, const Columns &c) {
    const double inf = std::numeric_limits<double>::infinity();
    std::uint32_t *pos = s.pos.data();
    const __m256i none = _mm256_set1_epi32((int) kNoRank);
    __m512d lo = _mm512_set1_pd(inf), hi = _mm512_set1_pd(-inf);
    std::size_t ninf = 0, pinfs = 0, good = 0;
    // The range of the finite valid values, the infinities, and no position yet.
    for (std::size_t j = 0; j < n; j += 8) {
        prefetch_next(next, j);
        const Cells8 cells = cells8(row, universe, j, n);
        count_infinities(cells, ninf, pinfs);
        good += (unsigned) __builtin_popcount((unsigned) cells.good);
        lo = _mm512_mask_min_pd(lo, cells.good, lo, cells.v);
        hi = _mm512_mask_max_pd(hi, cells.good, hi, cells.v);
        _mm256_mask_storeu_epi32(pos + j, cells.lanes, none);
    }
    neg += ninf;
    pinf += pinfs;
    m = good;
    if (good == 0) return SortOutcome::kDone;
    const double vmin = _mm512_reduce_min_pd(lo), vmax = _mm512_reduce_max_pd(hi);
    if (!(vmax > vmin)) return good > 1 ? SortOutcome::kTie : SortOutcome::kGiveUp;
    // One bucket for a range beyond the doubles (or a scale beyond them); the formula
    // then reads 0 for every cell.
    std::size_t buckets = std::max<std::size_t>(1, good / kBucketCells);
    double origin = vmin, scale = double(buckets) / (vmax - vmin);
    if (!(vmax - vmin < inf) || !(scale < inf)) {
        buckets = 1;
        origin = scale = 0.0;
    }
    std::uint64_t *tmp = s.tmp.data(), *items = s.items.data();
    std::uint32_t *ids = s.ranks.data(), *end = s.cols.data();  // end: buckets + 1 counters
    std::memset(end, 0, (buckets + 1) * sizeof(std::uint32_t));
    const __m512d origin8 = _mm512_set1_pd(origin), scale8 = _mm512_set1_pd(scale),
                  last8 = _mm512_set1_pd(double(buckets - 1));
    __m512i col = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i step = _mm512_set1_epi64(8);
    std::size_t k = 0;
    for (std::size_t j = 0; j < n; j += 8) {
        const Cells8 cells = cells8(row, universe, j, n);
        const __m256i id = _mm512_cvttpd_epu32(_mm512_min_pd(
            _mm512_mul_pd(_mm512_sub_pd(cells.v, origin8), scale8), last8));
        _mm512_mask_compressstoreu_epi64(tmp + k, cells.good, items8(cells.v, col, c));
        _mm256_mask_compressstoreu_epi32(ids + k, cells.good, id);
        k += (unsigned) __builtin_popcount((unsigned) cells.good);
        col = _mm512_add_epi64(col, step);
    }
    // Bucket b: items[end[b] before the deal, end[b + 1] before the deal).
    for (std::size_t i = 0; i < k; ++i) ++end[ids[i] + 1];
    for (std::size_t b = 1; b <= buckets; ++b) end[b] += end[b - 1];
    for (std::size_t i = 0; i < k; ++i) items[end[ids[i]]++] = tmp[i];
    // Now end[b] is where bucket b ends.
    std::size_t first = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t last = end[b], size = last - first;
        const std::uint32_t start = (std::uint32_t) (ninf + first);
        if (size == 1) {
            pos[items[first] & c.mask] = start;
        } else if (size > 1 && (size > 8 || !small_block_positions(items + first, size, pos,
                                                                    start, c))) {
            const SortOutcome r = sort_positions_avx512(items, tmp, first, last, pos,
                                                        (std::uint32_t) ninf, row, 64, c);
            if (r != SortOutcome::kDone) return r;
        }
        first = last;
    }
    return SortOutcome::kDone;
}

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
#endif

inline bool use_avx512() {
    static const bool yes = cpu_has(3) && cpu_has(4);
    return yes;
}

// Results of at least this many bytes are written around the caches: they are far larger
// than the caches, written once, and not read back by the kernel.
inline constexpr std::size_t kStreamMinBytes = std::size_t(16) << 20;

// `stream`: write around the caches where the CPU can (fence_streams() must follow before
// the output is handed over).
inline void emit_ranks(const std::uint32_t *pos, std::size_t n, std::size_t valid, double *out,
                       bool stream = false) {
#ifdef EE_KERNELS_X86
    if (use_avx512()) return emit_ranks_avx512(pos, n, valid, out, stream);
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
#endif
    (void) next_left;
    emit_product_generic<P>(left, left_valid, right, right_valid, n, out);
}

inline void fence_streams() {
#ifdef EE_KERNELS_X86
    if (use_avx512()) store_fence();
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
    if (detail::use_avx512()) {
        detail::SortOutcome done;
        if (n >= detail::kBucketMin) {
            done = detail::bucket_positions_avx512(row, universe, next, n, s, m, neg, pinf, cols);
        } else {
            std::size_t below = 0;
            m = detail::build_items_avx512(row, universe, next, n, s.items.data(), pos, neg,
                                           pinf, below, cols);
            // The two signs apart: positions neg + [0, below) and neg + below + [0, m -
            // below), the second range sitting at items[n - (m - below), n) (the base wraps
            // around).
            done = detail::sort_positions_avx512(s.items.data(), s.tmp.data(), 0, below, pos,
                                                 (std::uint32_t) neg, row, 64, cols);
            if (done == detail::SortOutcome::kDone)
                done = detail::sort_positions_avx512(
                    s.items.data(), s.tmp.data(), n - (m - below), n, pos,
                    (std::uint32_t) (neg + below - (n - (m - below))), row, 64, cols);
        }
        if (done == detail::SortOutcome::kTie) return false;
        sorted = done == detail::SortOutcome::kDone;
        if (!sorted) m = neg = pinf = 0;  // the radix path below starts over
    }
#endif
    if (sorted) {
        // Positions written; only the infinite cells remain.
    } else if (n <= kCountRanksMax) {
        double *vals = s.vals.data();
        std::uint32_t *cols = s.cols.data();
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
                cols[m++] = (std::uint32_t) j;
            }
        }
        std::uint32_t *ranks = s.ranks.data();
        if (!detail::count_ranks(vals, s.prefixes.data(), m, ranks, s.seen.data())) return false;
        for (std::size_t i = 0; i < m; ++i) pos[cols[i]] = (std::uint32_t) (neg + ranks[i]);
    } else {
        std::uint64_t *items = s.items.data();
        m = detail::build_items_generic(row, universe, n, items, pos, neg, pinf, cols);
        if (m > 1) sort_u64(items, s.tmp.data(), m, detail::kRadixFrom, s.sort);
        // Positions, and whether two neighbours share their high key bits (then the full
        // keys decide: a rare, slower pass).
        std::uint64_t shared = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const std::uint64_t it = items[k];
            pos[it & cols.mask] = (std::uint32_t) (neg + k);
            if (k) shared |= ((it ^ items[k - 1]) >> detail::kRadixFrom) == 0;
        }
        if (shared) {
            if (detail::resolve_prefix_runs(items, m, row, cols, detail::kRadixFrom)) return false;
            for (std::size_t k = 0; k < m; ++k)
                pos[items[k] & cols.mask] = (std::uint32_t) (neg + k);
        }
    }
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

namespace detail {

// Ranks the rows of the data (strides as rank_matrix_distinct) to positions over the
// worker threads and hands each row to emit(r, positions, valid). Stops at the first row
// with a finite tie and returns false. `stream`: emit writes with non-temporal stores,
// which each worker fences once done.
template <typename Emit>
inline bool rank_rows(const double *data, std::size_t data_row_stride, const double *universe,
                      std::size_t universe_row_stride, std::size_t rows, std::size_t n,
                      bool stream, Emit &&emit) {
    std::atomic<bool> tie{false};
    parallel_rows(rows, n, kComputeBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        RankScratch s;
        for (std::size_t r = r0; r < r1; ++r) {
            if ((r & 31) == 0 && tie.load(std::memory_order_relaxed)) break;
            const double *u = universe ? universe + r * universe_row_stride : nullptr;
            std::size_t valid = 0;
            const double *next = r + 1 < r1 ? data + (r + 1) * data_row_stride : nullptr;
            if (!rank_row_positions(data + r * data_row_stride, u, n, s, valid, next)) {
                tie.store(true, std::memory_order_relaxed);
                break;
            }
            emit(r, s.pos.data(), valid);
        }
        if (stream) fence_streams();
    });
    return !tie.load();
}

}  // namespace detail

// The whole-matrix driver. Row r of the data starts at data + r * data_row_stride
// (elements); when `universe` is not null its row r starts at universe + r *
// universe_row_stride (0: one universe row for every row). out is C-contiguous (rows, n),
// n < 2^32. Returns false when any row holds a finite tie (out is then unspecified).
// Large matrices are split over the worker threads; touches no Python object.
inline bool rank_matrix_distinct(const double *data, std::size_t data_row_stride,
                                 const double *universe, std::size_t universe_row_stride,
                                 double *out, std::size_t rows, std::size_t n) {
    const bool stream = rows * n * sizeof(double) >= detail::kStreamMinBytes;
    return detail::rank_rows(data, data_row_stride, universe, universe_row_stride, rows, n,
                             stream, [&](std::size_t r, const std::uint32_t *pos,
                                         std::size_t valid) {
                                 detail::emit_ranks(pos, n, valid, out + r * n, stream);
                             });
}

// The positions (rank_row_positions) of every row of a (rows, n) matrix and each row's count
// of valid cells, kept for a later product inside the C-contiguous float64 (rows, n) buffer
// that the product (or the ranks) will fill: each row's positions sit in the tail of its
// row, 16 bits a cell in the last quarter when n < 2^16 - 1, else 32 bits in the last half.
// Results written over a row from its front, each step's positions read before its results
// are stored, never reach a position that is still to be read: the results of cells [0, k)
// end at byte 8k, the positions of cells from k on start at byte 6n + 2k (4n + 4k), and
// k <= n.
struct RankPositions {
    std::size_t rows = 0, n = 0;
    double *buffer = nullptr;
    std::unique_ptr<std::uint32_t[]> valid;
    bool narrow() const { return n < 0xFFFF; }
    // Row r's positions: 2 or 4 bytes a cell.
    unsigned char *row(std::size_t r) const {
        unsigned char *start = reinterpret_cast<unsigned char *>(buffer + r * n);
        return start + (narrow() ? 6 : 4) * n;
    }
};

// Fills `out` with the positions of every row (strides as rank_matrix_distinct), stored in
// `buffer`, a C-contiguous float64 (rows, n) array. Returns false when any row holds a
// finite tie.
inline bool rank_matrix_positions(const double *data, std::size_t data_row_stride,
                                  const double *universe, std::size_t universe_row_stride,
                                  std::size_t rows, std::size_t n, double *buffer,
                                  RankPositions &out) {
    out.rows = rows;
    out.n = n;
    out.buffer = buffer;
    out.valid.reset(new std::uint32_t[rows]);
    const bool narrow = out.narrow();
    return detail::rank_rows(
        data, data_row_stride, universe, universe_row_stride, rows, n, false,
        [&](std::size_t r, const std::uint32_t *pos, std::size_t valid) {
            out.valid[r] = (std::uint32_t) valid;
            unsigned char *dst = out.row(r);
            if (narrow) {
                for (std::size_t j = 0; j < n; ++j) {
                    const std::uint16_t p = (std::uint16_t) pos[j];  // kNoRank: 0xFFFF
                    std::memcpy(dst + 2 * j, &p, sizeof p);
                }
            } else {
                std::memcpy(dst, pos, n * sizeof(std::uint32_t));
            }
        });
}

// The ranks that `positions` stands for, written over its buffer.
inline void rank_matrix_from_positions(const RankPositions &positions) {
    const std::size_t rows = positions.rows, n = positions.n;
    const bool narrow = positions.narrow();
    parallel_rows(rows, n, kMemoryBoundMinCells, [&](std::size_t r0, std::size_t r1) {
        std::vector<std::uint32_t> pos(n);
        for (std::size_t r = r0; r < r1; ++r) {
            const unsigned char *src = positions.row(r);
            for (std::size_t j = 0; j < n; ++j)
                pos[j] = narrow ? detail::position_at<std::uint16_t>(src, j)
                                : detail::position_at<std::uint32_t>(src, j);
            detail::emit_ranks(pos.data(), n, positions.valid[r], positions.buffer + r * n);
        }
    });
}

// Over the buffer of `left`: row r becomes (ranks of row r of `left`) * (ranks of row r of
// the data), one pass, the data ranked as rank_matrix_distinct ranks it; NaN where either
// operand is NaN. The data has the shape of left. Returns false when any row of the data
// holds a finite tie (the buffer is then unspecified).
inline bool rank_matrix_distinct_product(const RankPositions &left, const double *data,
                                         std::size_t data_row_stride, const double *universe,
                                         std::size_t universe_row_stride) {
    const std::size_t rows = left.rows, n = left.n;
    // Plain stores: a row's lines that hold its positions have just been read into the
    // cache, and a store around the caches would have to evict them first (no faster in
    // A/B runs than plain stores, with the lines before the tail streamed or not).
    return detail::rank_rows(
        data, data_row_stride, universe, universe_row_stride, rows, n, false,
        [&](std::size_t r, const std::uint32_t *pos, std::size_t valid) {
            double *out = left.buffer + r * n;
            const unsigned char *next = r + 1 < rows ? left.row(r + 1) : nullptr;
            if (left.narrow())
                detail::emit_product<std::uint16_t>(left.row(r), left.valid[r], pos, valid, n,
                                                    out, next);
            else
                detail::emit_product<std::uint32_t>(left.row(r), left.valid[r], pos, valid, n,
                                                    out, next);
        });
}

}  // namespace ee::kernels

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
