// The rank kernels' whole-matrix API: distinct ranks of every row, the positions of every
// row kept inside the result's own buffer, and the rank-multiply product formed over them.
// Rows are split over the worker threads. Plain C++, no Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parallel.hpp"
#include "rank_row.hpp"

namespace ee::kernels {

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
// row, 16 bits a cell in the last quarter when n < 2^16 - 1, else 32 bits in the last half,
// and its count in its first four bytes (read before anything is written over the row).
// Results written over a row from its front, each step's positions read before its results
// are stored, never reach a position that is still to be read: the results of cells [0, k)
// end at byte 8k, the positions of cells from k on start at byte 6n + 2k (4n + 4k), and
// k <= n. No scratch beyond the buffer.
struct RankPositions {
    std::size_t rows = 0, n = 0;
    double *buffer = nullptr;
    bool narrow() const { return n < 0xFFFF; }
    // Row r's positions: 2 or 4 bytes a cell.
    unsigned char *row(std::size_t r) const {
        unsigned char *start = reinterpret_cast<unsigned char *>(buffer + r * n);
        return start + (narrow() ? 6 : 4) * n;
    }
    std::uint32_t valid(std::size_t r) const {
        std::uint32_t v = 0;
        if (n) std::memcpy(&v, buffer + r * n, sizeof v);
        return v;
    }
    void set_valid(std::size_t r, std::uint32_t v) const {
        if (n) std::memcpy(buffer + r * n, &v, sizeof v);
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
    const bool narrow = out.narrow();
    return detail::rank_rows(
        data, data_row_stride, universe, universe_row_stride, rows, n, false,
        [&](std::size_t r, const std::uint32_t *pos, std::size_t valid) {
            out.set_valid(r, (std::uint32_t) valid);
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
            detail::emit_ranks(pos.data(), n, positions.valid(r), positions.buffer + r * n);
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
                detail::emit_product<std::uint16_t>(left.row(r), left.valid(r), pos, valid, n,
                                                    out, next);
            else
                detail::emit_product<std::uint32_t>(left.row(r), left.valid(r), pos, valid, n,
                                                    out, next);
        });
}

}  // namespace ee::kernels
