// The rolling kernels' whole-matrix driver (run_matrix) and its test for any computable
// window. Plain C++, no Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mask.hpp"
#include "rolling_accumulator.hpp"

namespace ee::kernels::rolling {

// A universe over the input of run_matrix: the cell of row t, column j reads as NaN where
// cells[t * stride + j] is inactive. A stride of 0 applies one row to every row; null
// `cells`, no universe.
struct Universe {
    const double *cells = nullptr;
    std::ptrdiff_t stride = 0;
};

namespace detail {

// n rows of one column inside the warm-up (no full window yet), none of whose cells is NaN
// or infinite, after the first row and while the sums are finite: the cells are added to
// the totals as they are and the statistic is NaN. The same bits as `fold` gives for them.
template <bool Squares>
__attribute__((always_inline)) inline void warmup_rows(const double *in, std::ptrdiff_t stride,
                                                       double *out, std::ptrdiff_t out_stride,
                                                       std::int64_t n, acc_t &s,
                                                       acc_t &q) noexcept {
    acc_t s_ = s, q_ = q;
    for (std::int64_t i = 0; i < n; ++i, in += stride, out += out_stride) {
        const acc_t x = load_acc(in);
        s_ += x;
        if constexpr (Squares) q_ += x * x;
        *out = quiet_nan();
    }
    s = s_, q = q_;
}

// n rows of one column past the warm-up whose cells, and the cells leaving their windows,
// hold no NaN: lead[i * stride] is a row's cell, trail[i * stride] the cell leaving its
// window, the statistic goes to out[i * out_stride]. A loop of x87 arithmetic alone: no
// NaN test, no count, the same bits as the careful loop gives for such rows.
template <Stat S>
__attribute__((always_inline)) inline void steady_rows(const double *lead, const double *trail,
                                                       std::ptrdiff_t stride, double *out,
                                                       std::ptrdiff_t out_stride, std::int64_t n,
                                                       const double &w, acc_t &s, acc_t &q,
                                                       acc_t &ls, acc_t &lq) noexcept {
    constexpr bool sq = S != Stat::mean;
    acc_t s_ = s, q_ = q, ls_ = ls, lq_ = lq;
    for (std::int64_t i = 0; i < n; ++i, lead += stride, trail += stride, out += out_stride) {
        const acc_t x = load_acc(lead), y = load_acc(trail);
        s_ += x;
        ls_ += y;
        if constexpr (sq) {
            q_ += x * x;
            lq_ += y * y;
        }
        cell<S>(s_, q_, 0, kFinite, ls_, lq_, 0, kFinite, lead, w, out);  // no NaN, no inf
    }
    s = s_, q = q_, ls = ls_, lq = lq_;
}

// Rows [t, r1) of one column past the first windows, with the NaN test: the totals come
// in and go out through the references and stay in locals in between. Rows whose cells
// hold no NaN or infinity (`clean`), once their window holds no NaN and their sums are
// finite, go on in steady_rows: the cells leaving their windows are then either in that
// window or among these rows. Without `Infs` the sums must be finite, and the rows stop
// before the first infinite cell (returns the row reached, r1 when there is none): the
// cells leaving the windows, added to the sums before, are finite then.
template <Stat S, bool Infs, bool Tiny = false>
__attribute__((always_inline)) inline std::int64_t careful_rows(
    const double *in, std::ptrdiff_t in_stride, double *out, std::ptrdiff_t out_stride,
    std::int64_t t, std::int64_t r1, std::int64_t w, bool clean, acc_t &s_, acc_t &q_,
    std::int64_t &c_, int &sp_, acc_t &ls_, acc_t &lq_, std::int64_t &lc_, int &lsp_) noexcept {
    constexpr bool sq = S != Stat::mean;
    const double wl = (double) w;
    acc_t s = s_, q = q_, ls = ls_, lq = lq_;
    std::int64_t c = c_, lc = lc_;
    int sp = sp_, lsp = lsp_;
    for (; t < r1; ++t) {
        if (!Tiny && clean && c == lc && sp == kFinite) {
            steady_rows<S>(in + t * in_stride, in + (t - w) * in_stride, in_stride,
                           out + t * out_stride, out_stride, r1 - t, wl, s, q, ls, lq);
            t = r1;
            break;
        }
        if (!Infs && (cell_bits(in + t * in_stride) << 1) == 0xFFE0000000000000ull) break;
        fold<sq, Infs, Tiny>(s, q, c, sp, in + t * in_stride, false);
        fold<sq, Infs, Tiny>(ls, lq, lc, lsp, in + (t - w) * in_stride, false);
        cell<S, Tiny>(s, q, c, Infs ? sp : kFinite, ls, lq, lc, Infs ? lsp : kFinite,
                      in + t * in_stride, wl, out + t * out_stride);
    }
    s_ = s, q_ = q, c_ = c, sp_ = sp, ls_ = ls, lq_ = lq, lc_ = lc, lsp_ = lsp;
    return t;
}

// Bit k set when column k of rows [0, rows) of a tile of width <= kLine columns holds a
// NaN or infinite cell: row r of the tile starts at p + r * stride.
inline unsigned nonfinite_columns(const double *p, std::ptrdiff_t stride, std::int64_t rows,
                                  std::int64_t width) noexcept {
    unsigned mask = 0;
    std::int64_t k = 0;
#if defined(__SSE2__)
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    const std::int64_t pairs = width / 2;
    auto scan = [&](auto count) {  // a constant count keeps the accumulators in registers
        for (std::int64_t r = 0; r < rows; ++r) {
            const double *row = p + r * stride;
            for (std::int64_t i = 0; i < count; ++i) {
                const __m128d x = _mm_loadu_pd(row + 2 * i);
                const __m128d d = _mm_sub_pd(x, x);  // NaN exactly for NaN and infinite cells
                acc[i] = _mm_or_pd(acc[i], _mm_cmpunord_pd(d, d));
            }
        }
    };
    if (pairs == 4) scan(std::integral_constant<std::int64_t, 4>());
    else scan(pairs);
    for (std::int64_t i = 0; i < pairs; ++i) mask |= (unsigned) _mm_movemask_pd(acc[i]) << (2 * i);
    k = 2 * pairs;
#endif
    for (; k < width; ++k)
        for (std::int64_t r = 0; r < rows; ++r)
            if (is_nonfinite_cell(p + r * stride + k)) {
                mask |= 1u << k;
                break;
            }
    return mask;
}

// Rows [r0, r1) of one column: input cells in[t * in_stride], output cells
// out[t * out_stride]. The column's current totals `now` (after row r0 - 1) and trailing
// totals `lag` (after row r0 - 1 - w, once r0 > w) are carried in and out. `clean`: no
// cell of these rows is NaN or infinite.
template <Stat S>
inline void column_rows(const double *in, std::ptrdiff_t in_stride, double *out,
                        std::ptrdiff_t out_stride, std::int64_t r0, std::int64_t r1,
                        std::int64_t w, Totals &now, Totals &lag, bool clean) noexcept {
    constexpr bool sq = S != Stat::mean;
    const double wl = (double) w;
    acc_t s = now.sum, q = now.sumsq, ls = lag.sum, lq = lag.sumsq;
    std::int64_t c = now.invalid, lc = lag.invalid;
    int sp = now.special, lsp = lag.special;
    std::int64_t t = r0;
    // Rows before the first full window.
    for (; t < r1 && t < w - 1; ++t) {
        if (clean && t > 0 && sp == kFinite) {
            const std::int64_t end = std::min(r1, w - 1);
            detail::warmup_rows<sq>(in + t * in_stride, in_stride, out + t * out_stride,
                                    out_stride, end - t, s, q);
            t = end;
            break;
        }
        fold<sq>(s, q, c, sp, in + t * in_stride, t == 0);
        out[t * out_stride] = quiet_nan();
    }
    // The first full window: the totals before it are the leading zero row.
    if (t < r1 && t == w - 1) {
        fold<sq>(s, q, c, sp, in + t * in_stride, t == 0);
        cell<S>(s, q, c, sp, 0.0L, 0.0L, 0, kFinite, in + t * in_stride, wl,
                out + t * out_stride);
        ++t;
    }
    // The first window that starts after row 0: the trailing totals start with row 0.
    if (t < r1 && t == w) {
        fold<sq>(s, q, c, sp, in + t * in_stride, false);
        fold<sq>(ls, lq, lc, lsp, in, true);
        cell<S>(s, q, c, sp, ls, lq, lc, lsp, in + t * in_stride, wl, out + t * out_stride);
        ++t;
    }
    // The remaining rows: while the sums are finite without the infinity test, then with;
    // in a column that has met subnormal values, with the long way for them.
    if (t < r1 && now.tiny) {
        careful_rows<S, true, true>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c,
                                    sp, ls, lq, lc, lsp);
        t = r1;
    }
    if (t < r1 && sp == kFinite)
        t = careful_rows<S, false>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c,
                                   sp, ls, lq, lc, lsp);
    if (t < r1)
        careful_rows<S, true>(in, in_stride, out, out_stride, t, r1, w, clean, s, q, c, sp, ls,
                              lq, lc, lsp);
    now.sum = s, now.sumsq = q, now.invalid = c, now.special = sp;
    lag.sum = ls, lag.sumsq = lq, lag.invalid = lc, lag.special = lsp;
}

}  // namespace detail

// Rows per tile of the whole-matrix driver.
inline constexpr std::int64_t kRowBlock = 64;
inline constexpr std::int64_t kLine = 8;  // doubles per 64-byte cache line

// Rows wider than this many bytes are walked tile column by tile column (see run_matrix).
inline constexpr std::int64_t kWideRowBytes = 2048;

// Rows per tile on a walk down wide rows whose byte stride is a multiple of 16 KiB (2048
// columns, 4096, ...): a tile column's lines then fall into a few cache sets, too few to
// hold the input, output and trailing lines of a full row block, which would be fetched
// again for each column of the tile; short blocks keep them resident (about twice as fast
// there; other strides are faster with full blocks).
inline constexpr std::int64_t kAliasedRowBlock = 8;

inline bool aliasing_stride(std::int64_t stride) noexcept {
    const std::int64_t bytes = stride * (std::int64_t) sizeof(double);
    return bytes != 0 && bytes % 16384 == 0;
}

// Rows of the window that run_matrix masks the input into under a universe: room for a
// few row blocks and the w rows before them (or all T), so that the rows kept for the
// next block are moved down rarely.
inline std::int64_t masked_rows(std::int64_t T, std::int64_t w) noexcept {
    return std::min(T, 4 * (w + kRowBlock));
}

// Under a universe, wide rows are walked a strip of kStripLines tile columns at a time,
// kStripRowBlock rows at a time (see run_matrix). The strip's lines of one row share a
// page. Narrower strips were slower where rows do not end on a line boundary (a tile then
// spans two lines on some rows), longer blocks slower as more lines are asked for ahead
// than L1 holds (both measured on realistic data, 2520 x 3000 and 20000 x 300).
inline constexpr std::int64_t kStripLines = 8;
inline constexpr std::int64_t kStripRowBlock = 32;

// Doubles of window scratch that run_matrix needs for columns [c0, c1) of rows of
// `stride` cells under a universe: wide rows are masked a strip at a time.
inline std::int64_t masked_cells(std::int64_t T, std::int64_t w, std::int64_t c0, std::int64_t c1,
                                 std::int64_t stride) noexcept {
    const bool wide = stride * (std::int64_t) sizeof(double) > kWideRowBytes;
    return masked_rows(T, w) * (wide ? kStripLines * kLine : std::max(c1 - c0, kLine));
}

// The end of the tile that starts at column j0: the next cache-line boundary of the input
// row (or c1).
inline std::int64_t tile_end(const double *in, std::int64_t j0, std::int64_t c1) noexcept {
    const std::int64_t offset = (std::int64_t) (((std::uintptr_t) (in + j0) / sizeof(double)) % kLine);
    return std::min(c1, j0 + kLine - offset);
}

// Columns [c0, c1) of a T-row matrix: input row t starts at in + t * in_stride, output row
// t at out + t * out_stride (out must not overlap in). `scratch` holds at least
// 2 * (c1 - c0) Totals. Requires w >= 1; a window longer than T gives all NaN.
//
// Under a universe (`uni`), each row block is first masked into `masked` (masked_cells
// doubles), a window of consecutive rows of the columns (of one strip, for wide rows):
// when the next block does not fit, the w rows before it are moved to the window's top.
// The masked matrix is never made whole.
//
// The matrix is cut into tiles of row_block rows by one cache line of columns: each column
// of a tile runs down the tile's rows with its totals in registers, and the tile's lines
// stay in L1 for the other columns of the line. Narrow rows are taken a row block at a
// time across all columns (the hardware prefetchers follow the short stride; the next
// tile is prefetched as well). Wide rows are taken one tile column at a time down all the
// rows, so that the row leaving the window (w rows up the same tile column) is still in
// L1, with the next row block of the tile column prefetched: walks down wide rows are not
// picked up by the hardware prefetchers. Under a universe, wide rows are taken a strip of
// tile columns at a time down all the rows, each row block masked and then run tile by
// tile: the window holds the rows leaving the windows.
template <Stat S>
inline void run_matrix(const double *in, std::int64_t in_stride, Universe uni, double *masked,
                       double *out, std::int64_t out_stride, std::int64_t T, std::int64_t c0,
                       std::int64_t c1, std::int64_t w, Totals *scratch,
                       std::int64_t row_block = kRowBlock) noexcept {
    if (c1 <= c0) return;
    if (w > T) {
        for (std::int64_t t = 0; t < T; ++t)
            for (std::int64_t j = c0; j < c1; ++j) out[t * out_stride + j] = quiet_nan();
        return;
    }
    const std::int64_t n = c1 - c0;
    Totals *now = scratch, *lag = scratch + n;
    for (std::int64_t k = 0; k < n; ++k) now[k] = Totals{}, lag[k] = Totals{};
    x87_clear_flags();  // what earlier x87 work left in the status word
    // The lines of rows [f0, f1) at column fj (input and output, and the input rows w above
    // when `lagged`) are asked for while a tile runs, a slice before each of its columns:
    // asked for all at once, most requests would wait for a free fill buffer.
    struct Fetch {
        std::int64_t f0 = 0, f1 = 0, fj = 0;
        bool lagged = false;
    };
    // The window of masked rows from `top` on, columns [m0, m1): row t of column j at
    // masked + (t - top) * ww + (j - m0). Masks rows [r0, r1) and returns where row 0 of
    // column 0 would be.
    const std::int64_t capacity = masked_rows(T, w);
    std::int64_t top = 0, m0 = c0, m1 = c1, ww = std::max(c1 - c0, kLine);
    auto mask_block = [&](std::int64_t r0, std::int64_t r1) {
        if (r1 - top > capacity) {
            const std::int64_t keep = std::max<std::int64_t>(0, r0 - w);
            std::memmove(masked, masked + (keep - top) * ww,
                         (std::size_t) ((r0 - keep) * ww) * sizeof(double));
            top = keep;
        }
        for (std::int64_t t = r0; t < r1; ++t)
            mask_row(in + t * in_stride + m0, uni.cells + t * uni.stride + m0,
                     masked + (t - top) * ww, (std::size_t) (m1 - m0));
        return (const double *) masked - top * ww - m0;
    };
    auto run_tile = [&](const double *src, std::int64_t src_stride, std::int64_t r0,
                        std::int64_t r1, std::int64_t j0, std::int64_t j1, Fetch f) {
        // The columns that hold a NaN or infinite cell in these rows.
        const unsigned dirty = detail::nonfinite_columns(src + r0 * src_stride + j0,
                                                         src_stride, r1 - r0, j1 - j0);
        const std::int64_t slice = (f.f1 - f.f0 + (j1 - j0) - 1) / (j1 - j0);
        // Columns that meet subnormal values take the long way from then on. The status
        // word is looked at once a tile (reading it waits for the x87 unit to drain), which
        // tells the tile's columns together; the first tile is looked at after its first 8
        // rows too, as columns of subnormal values mostly hold them throughout.
        auto columns = [&](std::int64_t a, std::int64_t b, bool fetch) {
            for (std::int64_t j = j0; j < j1; ++j) {
                const std::int64_t t0 = f.f0 + (j - j0) * slice;
                for (std::int64_t t = t0; fetch && t < std::min(f.f1, t0 + slice); ++t) {
                    __builtin_prefetch(in + t * in_stride + f.fj, 0, 3);
                    if (f.lagged && t >= w)
                        __builtin_prefetch(in + (t - w) * in_stride + f.fj, 0, 3);
                    __builtin_prefetch(out + t * out_stride + f.fj, 1, 3);
                    if (uni.cells) __builtin_prefetch(uni.cells + t * uni.stride + f.fj, 0, 3);
                }
                detail::column_rows<S>(src + j, src_stride, out + j, out_stride, a, b, w,
                                       now[j - c0], lag[j - c0], !((dirty >> (j - j0)) & 1u));
            }
            if (x87_met_tiny())
                for (std::int64_t j = j0; j < j1; ++j) now[j - c0].tiny = true;
        };
        if (r0 == 0 && r1 > 8) {
            columns(0, 8, false);
            columns(8, r1, true);
        } else {
            columns(r0, r1, true);
        }
    };
    if (in_stride * (std::int64_t) sizeof(double) > kWideRowBytes) {
        if (aliasing_stride(in_stride) || aliasing_stride(out_stride))
            row_block = std::min(row_block, kAliasedRowBlock);
        if (uni.cells) row_block = std::min(row_block, kStripRowBlock);
        for (std::int64_t s0 = c0; s0 < c1;) {
            std::int64_t s1 = tile_end(in, s0, c1);
            for (std::int64_t k = 1; uni.cells && k < kStripLines; ++k) s1 = tile_end(in, s1, c1);
            top = 0, m0 = s0, m1 = s1, ww = kStripLines * kLine;
            for (std::int64_t r0 = 0; r0 < T; r0 += row_block) {
                const std::int64_t r1 = std::min(T, r0 + row_block);
                // Masked a block at a time: the block's lines were asked for while the
                // tiles above ran.
                const double *src = uni.cells ? mask_block(r0, r1) : in;
                for (std::int64_t j0 = s0; j0 < s1;) {
                    const std::int64_t j1 = tile_end(in, j0, s1);
                    run_tile(src, uni.cells ? ww : in_stride, r0, r1, j0, j1,
                             Fetch{r1, std::min(T, r1 + row_block), j0, false});
                    j0 = j1;
                }
            }
            s0 = s1;
        }
        return;
    }
    for (std::int64_t r0 = 0; r0 < T; r0 += row_block) {
        const std::int64_t r1 = std::min(T, r0 + row_block);
        const double *src = uni.cells ? mask_block(r0, r1) : in;
        const std::int64_t src_stride = uni.cells ? ww : in_stride;
        for (std::int64_t j0 = c0; j0 < c1;) {
            const std::int64_t j1 = tile_end(in, j0, c1);
            // The next tile: the next line of these rows, or the first of the next rows.
            const std::int64_t f0 = j1 < c1 ? r0 : r1;
            run_tile(src, src_stride, r0, r1, j0, j1,
                     Fetch{f0, std::min(T, f0 + row_block), j1 < c1 ? j1 : c0, true});
            j0 = j1;
        }
    }
}

inline void run_matrix(Stat stat, const double *in, std::int64_t in_stride, Universe uni,
                       double *masked, double *out, std::int64_t out_stride, std::int64_t T,
                       std::int64_t c0, std::int64_t c1, std::int64_t w,
                       Totals *scratch) noexcept {
    switch (stat) {
        case Stat::mean:
            run_matrix<Stat::mean>(in, in_stride, uni, masked, out, out_stride, T, c0, c1, w,
                                   scratch);
            break;
        case Stat::std:
            run_matrix<Stat::std>(in, in_stride, uni, masked, out, out_stride, T, c0, c1, w,
                                  scratch);
            break;
        default:
            run_matrix<Stat::zscore>(in, in_stride, uni, masked, out, out_stride, T, c0, c1, w,
                                     scratch);
            break;
    }
}

// Whether any window of w rows (w >= 1) of the T x N matrix, read through the universe
// `uni`, holds no NaN cell, i.e. whether run_matrix would compute any cell. `run` is
// scratch of N counters.
inline bool any_computable(const double *in, std::int64_t in_stride, Universe uni,
                           std::int64_t T, std::int64_t N, std::int64_t w,
                           std::int64_t *run) noexcept {
    if (w > T) return false;
    for (std::int64_t j = 0; j < N; ++j) run[j] = 0;
    for (std::int64_t t = 0; t < T; ++t) {
        const double *row = in + t * in_stride;
        const double *urow = uni.cells ? uni.cells + t * uni.stride : nullptr;
        for (std::int64_t j = 0; j < N; ++j) {
            const bool nan = is_nan_cell(row + j) || (urow && inactive(urow[j]));
            run[j] = nan ? 0 : run[j] + 1;
            if (run[j] >= w) return true;
        }
    }
    return false;
}

}  // namespace ee::kernels::rolling
