// Splitting a row range over the machine's cores. Plain C++, no Python.
#pragma once

#include <algorithm>
#include <atomic>
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
// when rows * cols_per_row < min_cells, otherwise on up to worker_count() threads that take
// chunks of rows from a shared counter (the calling thread works too), so a core that is
// busy with other work slows the whole call down less. An exception thrown by fn (say
// std::bad_alloc) stops the remaining chunks and is rethrown on the calling thread once
// every worker has finished.
template <typename F>
void parallel_rows(std::size_t rows, std::size_t cols_per_row, std::size_t min_cells, F &&fn) {
    std::size_t cells = rows * std::max<std::size_t>(cols_per_row, 1);
    std::size_t workers = worker_count();
    if (cells < min_cells || workers < 2 || rows < 2) {
        fn(std::size_t(0), rows);
        return;
    }
    workers = std::min<std::size_t>(workers, rows);
    const std::size_t chunk = std::max<std::size_t>(1, rows / (workers * 16));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    auto work = [&] {
        try {
            for (;;) {
                std::size_t r0 = next.fetch_add(chunk, std::memory_order_relaxed);
                if (r0 >= rows) return;
                fn(r0, std::min(rows, r0 + chunk));
            }
        } catch (...) {
            if (!failed.exchange(true)) error = std::current_exception();
            next.store(rows, std::memory_order_relaxed);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    for (std::size_t w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(work);
        } catch (...) {
            break;  // no thread available: the calling thread does the rest
        }
    }
    work();
    for (auto &t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace ee::kernels
