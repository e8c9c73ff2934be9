// Sorting of unsigned 64-bit keys whose lowest `skip_bits` bits need no ordering (they
// hold a payload that is already in ascending order in the input, and stable sorting
// keeps it so). Plain C++, no Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ee::kernels {

struct SortScratch {
    std::vector<std::uint32_t> counts;
};

// Sorts keys[0, m) ascending; tmp has room for m keys. Entries whose bits above skip_bits
// are equal keep their input order.
inline void sort_u64(std::uint64_t *keys, std::uint64_t *tmp, std::size_t m, unsigned skip_bits,
                     SortScratch &s) {
    (void) tmp;
    (void) skip_bits;
    (void) s;
    std::sort(keys, keys + m);
}

}  // namespace ee::kernels
