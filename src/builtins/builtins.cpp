// tessaline.functions._builtins: the row kernels of the built-in function library.
//
// The cross-sectional rank and the rolling statistics run on the same header-only kernels
// as the evaluator's whole-matrix fast paths (src/kernels/), one row per call, so
// the row-by-row functions give the fast paths' bits. Rows arrive as float64 1-D arrays
// and every call returns a new float64 row.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/rank.hpp"
#include "kernels/rolling.hpp"

namespace nb = nanobind;

namespace {

using InRow = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using NewRow = nb::ndarray<nb::numpy, double, nb::ndim<1>, nb::c_contig>;

// A new float64 NumPy row of n cells; the array owns its memory.
NewRow new_row(std::size_t n, double *&data) {
    data = new double[n ? n : 1];
    nb::capsule owner(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    return NewRow(data, {n}, owner);
}

// The cells of a row where the kernels may read them as doubles: in place, or copied into
// `copy` when the row is not 8-byte aligned (a view into a byte buffer at an odd offset).
const double *aligned_cells(const InRow &row, std::vector<double> &copy) {
    const void *p = row.data();
    if (reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0) return row.data();
    copy.resize(row.shape(0));
    std::memcpy(copy.data(), p, copy.size() * sizeof(double));
    return copy.data();
}

// Cross-sectional rank of one row: k / (n - 1) over the valid cells, ties sharing the mean
// of their positions, 0.5 for a single valid cell, NaN where the input is NaN.
NewRow rank_row(InRow row) {
    thread_local ee::kernels::RankScratch scratch;
    const std::size_t n = row.shape(0);
    double *o = nullptr;
    NewRow out = new_row(n, o);
    std::vector<double> copy;
    ee::kernels::rank_row_average(aligned_cells(row, copy), o, n, scratch);
    return out;
}

// ---------------------------------------------------------------------------------------
// Rolling statistics, one row per call, on the accumulator of the whole-matrix rolling
// kernel (kernels/rolling.hpp): per column, running long-double totals of the values (NaN
// counts 0.0), of their squares and of the invalid cells since the first row, and trailing
// totals over the rows that already left the window, fed from a ring of the last w input
// rows. A window's sums are the difference of the two, exactly as the whole-matrix kernel
// forms them, so both give the same bits. The ring grows one row per row consumed until it
// holds w rows, so a window far longer than the stream costs only the rows seen.

namespace rk = ee::kernels::rolling;
using acc_t = rk::acc_t;

enum Kind : int { kMean = 0, kStd = 1, kZScore = 2 };

template <typename T>
nb::bytes to_bytes(const std::vector<T> &v) {
    return nb::bytes(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}

// Long doubles as bytes: an x87 value fills 10 of its 16 bytes, and the other 6 (never
// written by its stores) are given as zeros, so that equal states give equal bytes.
nb::bytes to_bytes(const std::vector<acc_t> &v) {
    std::vector<unsigned char> b(v.size() * sizeof(acc_t), 0);
    constexpr std::size_t value_bytes =
        (LDBL_MANT_DIG == 64 && sizeof(acc_t) >= 10) ? 10 : sizeof(acc_t);
    for (std::size_t i = 0; i < v.size(); ++i)
        std::memcpy(b.data() + i * sizeof(acc_t), &v[i], value_bytes);
    return nb::bytes(reinterpret_cast<const char *>(b.data()), b.size());
}

std::int64_t int_entry(nb::dict d, const char *key, std::int64_t fallback) {
    if (!d.contains(key)) return fallback;
    nb::object v = d[key];
    if (!PyLong_Check(v.ptr()))
        throw nb::type_error((std::string("state entry '") + key + "' must be an int").c_str());
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow || x < 0 || x > (long long) (std::int64_t(1) << 40))
        throw nb::value_error((std::string("state entry '") + key + "' is out of range").c_str());
    return (std::int64_t) x;
}

// The byte strings of a state, in the order the stream keeps them, with their cell size;
// the ring holds min(count, window) rows of the width, the others one row each.
struct StateBytes {
    const char *key;
    std::size_t cell;
    bool ring;
};
constexpr StateBytes kStateBytes[] = {
    {"sum", sizeof(acc_t), false},     {"sum_sq", sizeof(acc_t), false},
    {"invalid", sizeof(std::int64_t), false}, {"lag_sum", sizeof(acc_t), false},
    {"lag_sum_sq", sizeof(acc_t), false}, {"lag_invalid", sizeof(std::int64_t), false},
    {"ring", sizeof(double), true}};
constexpr std::size_t kStateEntries = sizeof kStateBytes / sizeof kStateBytes[0];

template <typename T>
void copy_bytes(nb::handle obj, std::vector<T> &v) {
    if (!v.empty()) std::memcpy(v.data(), PyBytes_AS_STRING(obj.ptr()), v.size() * sizeof(T));
}

class RollingStream {
  public:
    RollingStream(int kind, std::int64_t window) : kind_(kind), w_(window) {
        if (kind < kMean || kind > kZScore) throw nb::value_error("unknown rolling kind");
        if (window < 1) throw nb::value_error("window must be at least 1");
    }

    std::int64_t count() const { return count_; }
    std::int64_t window() const { return w_; }

    NewRow push(InRow row) {
        const std::size_t n = row.shape(0);
        if (width_ < 0) allocate((std::int64_t) n);
        if ((std::int64_t) n != width_)
            throw nb::value_error(("row width changed from " + std::to_string(width_) + " to " +
                                   std::to_string(n)).c_str());
        double *o = nullptr;
        NewRow out = new_row(n, o);
        std::vector<double> copy;
        const double *in = aligned_cells(row, copy);
        if (count_ < w_) ring_.resize((std::size_t) (count_ + 1) * (std::size_t) width_);
        const double *leaving = count_ >= w_ ? ring_.data() + (count_ % w_) * width_ : nullptr;
        if (split_ && !(rk::split_safe_cells(in, width_) &&
                        (!leaving || rk::split_safe_cells(leaving, width_))))
            join();
        if (split_) {
            rk::stream_step_split((rk::Stat) kind_, in, o, width_, count_, w_,
                                  split_totals_.data(), bad_.data(), lbad_.data(), ring_.data());
        } else {
            const bool squares = kind_ != kMean;
            rk::stream_step((rk::Stat) kind_, in, o, width_, count_, w_, sum_.data(),
                            squares ? sq_.data() : nullptr, bad_.data(), lsum_.data(),
                            squares ? lsq_.data() : nullptr, lbad_.data(), ring_.data());
            if (++wide_calls_ % kSplitRetry == 0) try_split();
        }
        count_ += 1;
        return out;
    }

    nb::dict get_state() {
        if (split_) join_copy();
        nb::dict d;
        d["count"] = count_;
        d["window"] = w_;
        if (width_ >= 0) {
            d["width"] = width_;
            d["sum"] = to_bytes(sum_);
            d["sum_sq"] = to_bytes(sq_);
            d["invalid"] = to_bytes(bad_);
            d["lag_sum"] = to_bytes(lsum_);
            d["lag_sum_sq"] = to_bytes(lsq_);
            d["lag_invalid"] = to_bytes(lbad_);
            d["ring"] = to_bytes(ring_);
        }
        return d;
    }

    void set_state(nb::dict d) {
        const std::int64_t count = int_entry(d, "count", 0);
        if (!d.contains("width")) {
            if (count) throw nb::value_error("state with a count but no running totals");
            count_ = 0;
            width_ = -1;
            return;
        }
        const std::int64_t n = int_entry(d, "width", 0);
        for (const StateBytes &e : kStateBytes)
            if (!d.contains(e.key))
                throw nb::value_error((std::string("state lacks the entry '") + e.key + "'").c_str());
        // Every byte string is checked against the width before anything is allocated, so
        // a state never asks for more memory than it brings.
        nb::object bytes[kStateEntries];
        std::uint64_t size[kStateEntries];
        for (std::size_t i = 0; i < kStateEntries; ++i) {
            const std::string key = kStateBytes[i].key;
            bytes[i] = d[kStateBytes[i].key];
            if (!PyBytes_Check(bytes[i].ptr()))
                throw nb::type_error(("state entry '" + key + "' must be bytes").c_str());
            size[i] = (std::uint64_t) PyBytes_GET_SIZE(bytes[i].ptr());
        }
        const std::uint64_t rows = (std::uint64_t) std::min(count, w_);
        auto fits = [&](std::size_t i, std::uint64_t width) {
            const StateBytes &e = kStateBytes[i];
            return (unsigned __int128) width * e.cell * (e.ring ? rows : 1) == size[i];
        };
        auto all_fit = [&](std::uint64_t width) {
            for (std::size_t i = 0; i < kStateEntries; ++i)
                if (!fits(i, width)) return false;
            return true;
        };
        if (!all_fit((std::uint64_t) n)) {
            // Byte strings that agree on another width: the width is what is wrong.
            const std::uint64_t held = size[0] / sizeof(acc_t);
            if (all_fit(held))
                throw nb::value_error(("state entry 'width' is " + std::to_string(n) +
                                       " but the byte strings hold " + std::to_string(held) +
                                       " columns").c_str());
            for (std::size_t i = 0; i < kStateEntries; ++i) {
                if (fits(i, (std::uint64_t) n)) continue;
                std::string msg = std::string("state entry '") + kStateBytes[i].key +
                                  "' has the wrong size: " + std::to_string(size[i]) +
                                  " bytes for width " + std::to_string(n);
                if (kStateBytes[i].ring) msg += " and " + std::to_string(rows) + " rows";
                throw nb::value_error(msg.c_str());
            }
        }
        RollingStream fresh(kind_, w_);
        fresh.allocate(n);
        fresh.ring_.resize((std::size_t) rows * (std::size_t) n);
        copy_bytes(bytes[0], fresh.sum_);
        copy_bytes(bytes[1], fresh.sq_);
        copy_bytes(bytes[2], fresh.bad_);
        copy_bytes(bytes[3], fresh.lsum_);
        copy_bytes(bytes[4], fresh.lsq_);
        copy_bytes(bytes[5], fresh.lbad_);
        copy_bytes(bytes[6], fresh.ring_);
        fresh.count_ = count;
        fresh.split_ = false;
        fresh.try_split();
        *this = std::move(fresh);
    }

  private:
    // The totals are held split into two doubles each while every cell seen is split-safe
    // (storing the 80-bit format costs several times an addition, four times a cell), and
    // as long doubles from the first cell that is not: an infinity, -0.0, or a magnitude
    // outside [2^-400, 2^401). A stream held wide looks every kSplitRetry rows whether its
    // totals may be split again; the cells that enter or leave are checked on every row.
    static constexpr std::int64_t kSplitRetry = 64;

    void allocate(std::int64_t n) {
        const std::size_t un = (std::size_t) n;
        width_ = n;
        sum_.assign(un, 0.0L), sq_.assign(un, 0.0L), bad_.assign(un, 0);
        lsum_.assign(un, 0.0L), lsq_.assign(un, 0.0L), lbad_.assign(un, 0);
        ring_.clear();
        split_totals_.assign(8 * un, 0.0);  // +0.0 totals, split
        split_ = true;
    }

    // The four kinds of total as long doubles, in the order of their pairs in split_totals_.
    std::array<std::vector<acc_t> *, 4> wide_totals() { return {&sum_, &sq_, &lsum_, &lsq_}; }

    // The long-double totals from the split ones.
    void join_copy() {
        const std::int64_t n = width_;
        for (std::size_t k = 0; k < 4; ++k)
            rk::join_totals(split_totals_.data() + 2 * n * k, wide_totals()[k]->data(), n);
    }

    void join() {
        join_copy();
        split_ = false;
    }

    void try_split() {
        const std::int64_t n = width_;
        for (const auto *v : wide_totals())
            if (!rk::split_safe_totals(v->data(), n)) return;
        for (std::size_t k = 0; k < 4; ++k)
            rk::split_totals(wide_totals()[k]->data(), split_totals_.data() + 2 * n * k, n);
        split_ = true;
    }

    int kind_;
    std::int64_t w_;
    std::int64_t count_ = 0;
    std::int64_t width_ = -1;
    std::vector<acc_t> sum_, sq_, lsum_, lsq_;  // the totals while held wide
    std::vector<std::int64_t> bad_, lbad_;
    std::vector<double> ring_;
    std::vector<double> split_totals_;  // while split: sum, sq, lag sum, lag sq (2 n each)
    bool split_ = false;
    std::int64_t wide_calls_ = 0;
};

}  // namespace

NB_MODULE(_builtins, m) {
    m.doc() = "Row kernels of the built-in function library (rank, rolling statistics).";
    m.def("rank_row", &rank_row, nb::arg("row"),
          "Rank one float64 row: k/(n-1) over valid cells, ties share the mean position, 0.5 "
          "for a single valid cell, NaN stays NaN.");
    nb::class_<RollingStream>(m, "RollingStream",
                              "Rolling mean (kind 0), population std (1) or z-score (2) over "
                              "`window` rows, one row per push; strict NaN windows.")
        .def(nb::init<int, std::int64_t>(), nb::arg("kind"), nb::arg("window"))
        .def_prop_ro("count", &RollingStream::count)
        .def_prop_ro("window", &RollingStream::window)
        .def("push", &RollingStream::push, nb::arg("row"))
        .def("get_state", &RollingStream::get_state)
        .def("set_state", &RollingStream::set_state, nb::arg("state"));
}
