// Order keys and items of the rank kernels, and the per-thread scratch they share. Plain
// C++, no Python.
//
// A cell's value becomes a 64-bit key that sorts like the double (-0.0 and 0.0 share a
// key); an item is the key with its lowest bits replaced by the column (as many bits as the
// row's length needs), so values close together, which agree on many high bits, still
// differ in their items.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sort.hpp"

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
    std::vector<std::uint32_t> cols, ranks, pos, bucket_ends;
    std::vector<unsigned char> seen;
    SortScratch sort;
    void reserve(std::size_t n) {
        if (cols.size() < n) {
            items.resize(n + 16);
            tmp.resize(n + 16);
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

// Outcomes of the vector sorts: kGiveUp hands the row to the portable path.
enum class SortOutcome { kDone, kTie, kGiveUp };

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

}  // namespace detail
}  // namespace ee::kernels
