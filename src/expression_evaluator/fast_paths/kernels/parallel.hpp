// Splitting a row range over the machine's cores. Plain C++, no Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace ee::kernels {

// Below these sizes (in matrix cells) one thread is faster than starting others.
inline constexpr std::size_t kMemoryBoundMinCells = std::size_t(1) << 21;  // masking, products
inline constexpr std::size_t kComputeBoundMinCells = std::size_t(1) << 15;  // sorting, ranking

inline unsigned worker_count() {
    static const unsigned n = [] {
        unsigned hc = std::thread::hardware_concurrency();
        return std::max(1u, std::min(hc == 0 ? 1u : hc, 8u));
    }();
    return n;
}

// Calls fn(r0, r1) on disjoint row ranges covering [0, rows): on the calling thread alone
// when rows * cols_per_row < min_cells, otherwise on up to worker_count() threads (the
// caller takes the first range). fn must not throw.
template <typename F>
void parallel_rows(std::size_t rows, std::size_t cols_per_row, std::size_t min_cells, F &&fn) {
    std::size_t cells = rows * std::max<std::size_t>(cols_per_row, 1);
    std::size_t workers = worker_count();
    if (cells < min_cells || workers < 2 || rows < 2) {
        fn(std::size_t(0), rows);
        return;
    }
    workers = std::min<std::size_t>(workers, rows);
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    std::size_t chunk = rows / workers, extra = rows % workers;
    std::size_t start = chunk + (extra > 0 ? 1 : 0);
    for (std::size_t w = 1; w < workers; ++w) {
        std::size_t len = chunk + (w < extra ? 1 : 0);
        std::size_t r0 = start, r1 = start + len;
        start = r1;
        try {
            threads.emplace_back([&fn, r0, r1] { fn(r0, r1); });
        } catch (...) {
            fn(r0, r1);  // no thread available: do that range here
        }
    }
    fn(std::size_t(0), chunk + (extra > 0 ? 1 : 0));
    for (auto &t : threads) t.join();
}

}  // namespace ee::kernels
