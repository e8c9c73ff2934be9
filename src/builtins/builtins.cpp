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

// Cross-sectional rank of one row: k / (n - 1) over the valid cells, ties sharing the mean
// of their positions, 0.5 for a single valid cell, NaN where the input is NaN.
NewRow rank_row(InRow row) {
    thread_local ee::kernels::RankScratch scratch;
    const std::size_t n = row.shape(0);
    double *o = nullptr;
    NewRow out = new_row(n, o);
    ee::kernels::rank_row_average(row.data(), o, n, scratch);
    return out;
}

// ---------------------------------------------------------------------------------------
// Rolling statistics, one row per call, on the accumulator of the whole-matrix rolling
// kernel (kernels/rolling.hpp): per column, running long-double totals of the values (NaN
// counts 0.0), of their squares and of the invalid cells since the first row, and trailing
// totals over the rows that already left the window, fed from a ring of the last w input
// rows. A window's sums are the difference of the two, exactly as the whole-matrix kernel
// forms them, so both give the same bits.

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

template <typename T>
void from_bytes(nb::handle obj, std::vector<T> &v, std::size_t n, const char *what) {
    if (!PyBytes_Check(obj.ptr()))
        throw nb::type_error((std::string("state entry '") + what + "' must be bytes").c_str());
    nb::bytes b = nb::borrow<nb::bytes>(obj);
    if (b.size() != n * sizeof(T))
        throw nb::value_error((std::string("state entry '") + what + "' has the wrong size").c_str());
    v.resize(n);
    std::memcpy(v.data(), b.c_str(), b.size());
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
        const double *leaving = count_ >= w_ ? ring_.data() + (count_ % w_) * width_ : nullptr;
        if (split_ && !(rk::split_safe_cells(row.data(), width_) &&
                        (!leaving || rk::split_safe_cells(leaving, width_))))
            join();
        if (split_) {
            rk::stream_step_split((rk::Stat) kind_, row.data(), o, width_, count_, w_,
                                  split_totals_.data(), bad_.data(), lbad_.data(), ring_.data());
        } else {
            const bool squares = kind_ != kMean;
            rk::stream_step((rk::Stat) kind_, row.data(), o, width_, count_, w_, sum_.data(),
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
        if (n > (std::int64_t(1) << 31) || (std::int64_t(1) << 40) / std::max<std::int64_t>(n, 1) < w_)
            throw nb::value_error("state width is out of range");
        for (const char *key : {"sum", "sum_sq", "invalid", "lag_sum", "lag_sum_sq", "lag_invalid", "ring"})
            if (!d.contains(key))
                throw nb::value_error((std::string("state lacks the entry '") + key + "'").c_str());
        RollingStream fresh(kind_, w_);
        fresh.allocate(n);
        const std::size_t un = (std::size_t) n;
        from_bytes(d["sum"], fresh.sum_, un, "sum");
        from_bytes(d["sum_sq"], fresh.sq_, un, "sum_sq");
        from_bytes(d["invalid"], fresh.bad_, un, "invalid");
        from_bytes(d["lag_sum"], fresh.lsum_, un, "lag_sum");
        from_bytes(d["lag_sum_sq"], fresh.lsq_, un, "lag_sum_sq");
        from_bytes(d["lag_invalid"], fresh.lbad_, un, "lag_invalid");
        from_bytes(d["ring"], fresh.ring_, un * (std::size_t) w_, "ring");
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
        ring_.assign(un * (std::size_t) w_, 0.0);
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
