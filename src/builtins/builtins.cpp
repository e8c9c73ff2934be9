// tessaline.functions._builtins: the row kernels of the built-in function library.
//
// The cross-sectional rank and the rolling statistics run on the same header-only kernels
// as the evaluator's whole-matrix fast paths (fast_paths/kernels/), one row per call, so
// the row-by-row functions give the fast paths' bits. Rows arrive as float64 1-D arrays;
// results are written into arrays the caller allocates.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <stdexcept>

#include "fast_paths/kernels/rank.hpp"

namespace nb = nanobind;

namespace {

using InRow = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutRow = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

void check_same(const InRow &in, const OutRow &out) {
    if (in.shape(0) != out.shape(0))
        throw nb::value_error("output row must have the input row's length");
}

// Cross-sectional rank of one row into out: k / (n - 1) over the valid cells, ties sharing
// the mean of their positions, 0.5 for a single valid cell, NaN where the input is NaN.
void rank_row_into(InRow row, OutRow out) {
    check_same(row, out);
    thread_local ee::kernels::RankScratch scratch;
    const std::size_t n = row.shape(0);
    const double *in = row.data();
    double *o = out.data();
    ee::kernels::rank_row_average(in, o, n, scratch);
}

}  // namespace

NB_MODULE(_builtins, m) {
    m.doc() = "Row kernels of the built-in function library (rank, rolling statistics).";
    m.def("rank_row_into", &rank_row_into, nb::arg("row"), nb::arg("out"),
          "Rank one float64 row into out (same length): k/(n-1) over valid cells, ties share "
          "the mean position, 0.5 for a single valid cell, NaN stays NaN.");
}
