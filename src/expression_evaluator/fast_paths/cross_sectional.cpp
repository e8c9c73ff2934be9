// Universe masking, the leaf fast path, the cross-sectional rank and rank-multiply paths.
//
// The array work runs in the header-only kernels of kernels/ with the GIL released; the
// NumPy operations themselves are used for inputs that the kernels do not cover (other
// dtypes, subclasses, unusual layouts or broadcasts), so every result is NumPy's own.
#include "cross_sectional.hpp"

#include "../common/names.hpp"
#include "../graph/access.hpp"
#include "kernels/mask.hpp"
#include "kernels/rank.hpp"

#include <cstring>

namespace ee {

namespace {

using names::kCombine;
using names::kRank;

[[noreturn]] void raise_missing_feature(nb::handle name) {
    raise_global("EvaluationError", "Feature '" + format_text(name) + "' not in context");
}

bool is_data_leaf_type(nb::handle type) {
    return equals_str(type, "feature") || equals_str(type, "aggregation");
}

// A plain, aligned, native-order float64 ndarray (not a subclass).
bool plain_aligned_f64(nb::handle h) {
    return is_plain_f64(h) && PyArray_ISALIGNED(as_array(h));
}

// Row stride in elements of a 2-D float64 array whose rows are contiguous, or -1.
npy_intp contiguous_row_stride(PyArrayObject *a) {
    if (PyArray_NDIM(a) != 2) return -1;
    npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    if (cols > 1 && s1 != (npy_intp) sizeof(double)) return -1;
    if (rows <= 1) return cols;
    if (s0 < 0 || s0 % (npy_intp) sizeof(double) != 0) return -1;
    return s0 / (npy_intp) sizeof(double);
}

// numpy's own masking: where((universe == 0.0) | isnan(universe), nan, data).
nb::object numpy_universe_mask(nb::handle data, nb::handle universe) {
    nb::object np = global("np");
    nb::object zero = check(PyFloat_FromDouble(0.0));
    nb::object equal_zero = check(PyObject_RichCompare(universe.ptr(), zero.ptr(), Py_EQ));
    nb::object is_nan = get_attr(np, "isnan")(universe);
    nb::object inactive = check(PyNumber_Or(equal_zero.ptr(), is_nan.ptr()));
    return get_attr(np, "where")(inactive, get_attr(np, "nan"), data);
}

}  // namespace

// The native masking covers C-contiguous float64 data of one or two dimensions with a
// C-contiguous float64 universe of the same shape, or an (N,) universe over (T, N) data.
bool native_mask_fits(nb::handle data, nb::handle universe, std::size_t &ustride) {
    if (!plain_aligned_f64(data) || !plain_aligned_f64(universe)) return false;
    PyArrayObject *d = as_array(data), *u = as_array(universe);
    if (!PyArray_IS_C_CONTIGUOUS(d) || !PyArray_IS_C_CONTIGUOUS(u)) return false;
    int nd = PyArray_NDIM(d);
    if (nd != 1 && nd != 2) return false;
    std::size_t cols = (std::size_t) PyArray_DIM(d, nd - 1);
    if (PyArray_NDIM(u) == nd && PyArray_CompareLists(PyArray_DIMS(u), PyArray_DIMS(d), nd)) {
        ustride = cols;
    } else if (nd == 2 && PyArray_NDIM(u) == 1 && (std::size_t) PyArray_DIM(u, 0) == cols) {
        ustride = 0;
    } else {
        return false;
    }
    return true;
}

namespace {

// Returns a null object when the inputs are outside what native masking covers.
nb::object native_universe_mask(nb::handle data, nb::handle universe) {
    std::size_t ustride;
    if (!native_mask_fits(data, universe, ustride)) return nb::object();
    PyArrayObject *d = as_array(data), *u = as_array(universe);
    int nd = PyArray_NDIM(d);
    std::size_t rows = nd == 2 ? (std::size_t) PyArray_DIM(d, 0) : 1;
    std::size_t cols = (std::size_t) PyArray_DIM(d, nd - 1);
    nb::object out = empty_f64_reused(nd, PyArray_DIMS(d));
    const double *dp = (const double *) PyArray_DATA(d);
    const double *up = (const double *) PyArray_DATA(u);
    double *op = f64_data(out);
    {
        nb::gil_scoped_release nogil;
        kernels::mask_matrix(dp, up, ustride, op, rows, cols);
    }
    return out;
}

// context.registers = the last row of `result` as a (1, N) matrix, or zeros (1, N) when
// the result has no rows.
void set_registers_from(nb::handle context, nb::handle result) {
    nb::object shape = get_attr(result, "shape");
    nb::object n_alloc = check(PySequence_GetItem(shape.ptr(), 1));
    nb::object rows = check(PySequence_GetItem(shape.ptr(), 0));
    nb::object zero = check(PyLong_FromLong(0));
    nb::object registers;
    if (truthy(check(PyObject_RichCompare(rows.ptr(), zero.ptr(), Py_GT)))) {
        nb::object last = check(PySlice_New(check(PyLong_FromLong(-1)).ptr(), nullptr, nullptr));
        registers = ascontiguous_f64(check(PyObject_GetItem(result.ptr(), last.ptr())));
    } else {
        Py_ssize_t n = PyLong_AsSsize_t(n_alloc.ptr());
        throw_if_error();
        registers = zeros_f64(1, n);
    }
    set_attr(context, "registers", registers);
}

// ---------------------------------------------------------------------------------------
// Rank operands.

// The matrix that a rank evaluation works on: either `source` (2-D float64 with contiguous
// rows) with an optional fused universe, or a declined/odd-shaped input.
struct RankInput {
    nb::object source;    // kept alive while the kernel reads it
    nb::object universe;  // idem (null when no fused universe)
    const double *data = nullptr;
    std::size_t data_stride = 0;
    const double *uni = nullptr;
    std::size_t uni_stride = 0;
    std::size_t rows = 0, cols = 0;
};

bool ranks_have_tie(const double *data, std::size_t stride, std::size_t rows, std::size_t cols) {
    std::vector<double> scratch(cols);
    kernels::RankScratch s;
    for (std::size_t r = 0; r < rows; ++r)
        if (!kernels::rank_row_distinct(data + r * stride, nullptr, scratch.data(), cols, s))
            return true;
    return false;
}

// An internal working copy: C-contiguous, aligned, native float64 (NumPy's C conversion,
// independent of the module's `np`).
nb::object working_f64(nb::handle obj) {
    if (plain_aligned_f64(obj) && PyArray_IS_C_CONTIGUOUS(as_array(obj))) return nb::borrow(obj);
    return check(PyArray_FROM_OTF(obj.ptr(), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY));
}

// Fills `in` from the masked matrix of a rank operand. Returns false when the operand
// declines (a tie found in an array that is not two-dimensional); raises the errors that
// such arrays raise.
bool prepare_rank_source(nb::handle masked_in, RankInput &in) {
    nb::object masked = nb::borrow(masked_in);
    if (!PyArray_Check(masked.ptr())) masked = check(PyArray_FROM_O(masked.ptr()));
    PyArrayObject *a = as_array(masked);
    int nd = PyArray_NDIM(a);
    if (nd < 2) {
        nb::object np = global("np");
        nb::object kwargs = check(PyDict_New());
        nb::object one = check(PyLong_FromLong(1));
        PyDict_SetItemString(kwargs.ptr(), "axis", one.ptr());
        nb::object valid = check(PyNumber_Invert(get_attr(np, "isnan")(masked).ptr()));
        nb::object fn = get_attr(np, "sum");
        nb::object args = check(PyTuple_Pack(1, valid.ptr()));
        check(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));  // raises AxisError
        raise_builtin(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                            std::to_string(nd) + ")");
    }
    if (nd > 2) {
        // Ties are looked for along axis 1 first; only a tie-free array reaches the
        // two-dimensional unpacking, which fails.
        if (PyArray_SIZE(a) == 0)
            raise_builtin(PyExc_ValueError, "too many values to unpack (expected 2)");
        nb::object np = global("np");
        nb::object moved = get_attr(np, "moveaxis")(masked, 1, -1);
        npy_intp width = PyArray_DIM(a, 1);
        nb::object flat = working_f64(get_attr(moved, "reshape")(-1, width));
        PyArrayObject *f = as_array(flat);
        bool tie;
        {
            nb::gil_scoped_release nogil;
            tie = ranks_have_tie((const double *) PyArray_DATA(f), (std::size_t) width,
                                 (std::size_t) PyArray_DIM(f, 0), (std::size_t) width);
        }
        if (tie) return false;
        raise_builtin(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    nb::object src = masked;
    if (!plain_aligned_f64(src) || contiguous_row_stride(as_array(src)) < 0)
        src = working_f64(src);
    PyArrayObject *s = as_array(src);
    in.source = src;
    in.data = (const double *) PyArray_DATA(s);
    in.data_stride = (std::size_t) contiguous_row_stride(s);
    in.rows = (std::size_t) PyArray_DIM(s, 0);
    in.cols = (std::size_t) PyArray_DIM(s, 1);
    return true;
}

// A universe that the rank kernel can apply itself: float64 rows of the data's shape, or
// one (N,) row for all rows.
bool fuse_universe(nb::handle data, nb::handle universe, RankInput &in) {
    if (!plain_aligned_f64(data) || !plain_aligned_f64(universe)) return false;
    PyArrayObject *d = as_array(data), *u = as_array(universe);
    if (PyArray_NDIM(d) != 2 || contiguous_row_stride(d) < 0) return false;
    npy_intp cols = PyArray_DIM(d, 1);
    if (PyArray_NDIM(u) == 2) {
        if (PyArray_DIM(u, 0) != PyArray_DIM(d, 0) || PyArray_DIM(u, 1) != cols) return false;
        npy_intp us = contiguous_row_stride(u);
        if (us < 0) return false;
        in.uni_stride = (std::size_t) us;
    } else if (PyArray_NDIM(u) == 1) {
        if (PyArray_DIM(u, 0) != cols) return false;
        if (cols > 1 && PyArray_STRIDE(u, 0) != (npy_intp) sizeof(double)) return false;
        in.uni_stride = 0;
    } else {
        return false;
    }
    in.universe = nb::borrow(universe);
    in.uni = (const double *) PyArray_DATA(u);
    return prepare_rank_source(data, in);
}

// Reads the rank operand of `graph` (a rank rotation over one data leaf) from the context.
// Returns false when the operand declines before the kernel runs.
bool load_rank_input(nb::handle graph, nb::handle context, RankInput &in) {
    nb::object children = ee::graph_children(graph);
    nb::object zero = check(PyLong_FromLong(0));
    nb::object child = check(PyObject_GetItem(children.ptr(), zero.ptr()));
    nb::object feature_name = require_value(child, "root.c0");
    nb::object index = get_attr(context, "feature_index");
    if (!contains(index, feature_name)) raise_missing_feature(feature_name);
    nb::object features = get_attr(context, "features");
    index = get_attr(context, "feature_index");
    nb::object idx = check(PyObject_GetItem(index.ptr(), feature_name.ptr()));
    nb::object data = asarray_f64(check(PyObject_GetItem(features.ptr(), idx.ptr())));
    nb::object universe = get_attr(context, "universe");
    if (universe.is_none()) return prepare_rank_source(data, in);
    // The kernel masks as it ranks, unless a replaced _apply_universe_mask must be called.
    return via_module(
        Fn::apply_universe_mask,
        [&] {
            if (fuse_universe(data, universe, in)) return true;
            in = RankInput();
            return prepare_rank_source(direct::apply_universe_mask(data, universe), in);
        },
        [&](nb::handle fn) { return prepare_rank_source(fn(data, universe), in); });
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Masking, leaf.

nb::object direct::apply_universe_mask(nb::handle data, nb::handle universe) {
    if (universe.is_none()) return nb::borrow(data);
    nb::object native = native_universe_mask(data, universe);
    if (native.is_valid()) return native;
    return numpy_universe_mask(data, universe);
}

bool direct::can_use_leaf_fast_path(nb::handle graph, nb::handle context,
                                    nb::handle function_states,
                                    nb::handle data_nan_features) {
    if (data_nan_features.is_valid() && truthy(data_nan_features)) return false;
    if (function_states.is_valid() && truthy(function_states)) return false;
    if (!is_data_leaf_type(require_type(graph, "root"))) return false;
    nb::object name = require_value(graph, "root");
    return contains(get_attr(context, "feature_index"), name);
}

nb::object direct::evaluate_leaf_fast(nb::handle graph, nb::handle context) {
    nb::object name = require_value(graph, "root");
    nb::object index = get_attr(context, "feature_index");
    nb::object idx = check(PyObject_GetItem(index.ptr(), name.ptr()));
    nb::object features = get_attr(context, "features");
    nb::object data = asarray_f64(check(PyObject_GetItem(features.ptr(), idx.ptr())));
    nb::object masked = ee::apply_universe_mask(data, get_attr(context, "universe"));
    nb::object result = ascontiguous_f64(masked);
    set_registers_from(context, result);
    return result;
}

FastOperand feature_operand(nb::handle node, nb::handle context, bool defer_mask) {
    nb::object name = require_value(node, "fast_path.feature");
    if (!contains(get_attr(context, "feature_index"), name)) raise_missing_feature(name);
    nb::object index = get_attr(context, "feature_index");
    nb::object idx = check(PyObject_GetItem(index.ptr(), name.ptr()));
    nb::object features = get_attr(context, "features");
    nb::object data = asarray_f64(check(PyObject_GetItem(features.ptr(), idx.ptr())));
    nb::object universe = get_attr(context, "universe");
    FastOperand op;
    op.data = via_module(
        Fn::apply_universe_mask,
        [&] {
            std::size_t ustride;
            if (defer_mask && !universe.is_none() && native_mask_fits(data, universe, ustride) &&
                PyArray_NDIM(as_array(data)) == 2) {
                op.universe = universe;
                return data;
            }
            return direct::apply_universe_mask(data, universe);
        },
        [&](nb::handle fn) { return fn(data, universe); });
    if (!op.universe.is_valid()) op.data = ascontiguous_f64(op.data);
    return op;
}

nb::object FastOperand::matrix() const {
    if (!universe.is_valid()) return data;
    return direct::apply_universe_mask(data, universe);
}

nb::object direct::feature_matrix_for_fast_path(nb::handle node, nb::handle context) {
    return feature_operand(node, context, false).data;
}

// ---------------------------------------------------------------------------------------
// Rank, rank-multiply.

bool context_has_extras(nb::handle context) {
    return truthy(get_attr(context, "useful_signals")) ||
           truthy(get_attr(context, "transform_pipeline")) ||
           truthy(get_attr(context, "metaparameters"));
}

bool direct::can_use_simple_rank_fast_path(nb::handle graph, nb::handle context,
                                           nb::handle function_states,
                                           nb::handle data_nan_features) {
    if (data_nan_features.is_valid() && truthy(data_nan_features)) return false;
    if (function_states.is_valid() && truthy(function_states)) return false;
    if (context_has_extras(context)) return false;
    if (!equals_str(require_type(graph, "root"), "rotation")) return false;
    if (!equals_str(require_value(graph, "root"), kRank)) return false;
    nb::object children = ee::graph_children(graph);
    if (length(children) != 1) return false;
    nb::object zero = check(PyLong_FromLong(0));
    nb::object child = check(PyObject_GetItem(children.ptr(), zero.ptr()));
    if (!is_data_leaf_type(require_type(child, "root.c0"))) return false;
    nb::object registry = get_attr(context, "registry");
    if (registry.is_none()) return true;
    return !truthy(get_attr(registry, "has_factory")(kRank));
}

nb::object direct::evaluate_simple_rank_fast(nb::handle graph, nb::handle context) {
    RankInput in;
    if (!load_rank_input(graph, context, in)) return none();
    nb::object out = empty_f64((npy_intp) in.rows, (npy_intp) in.cols);
    double *op = f64_data(out);
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = kernels::rank_matrix_distinct(in.data, in.data_stride, in.uni, in.uni_stride, op,
                                           in.rows, in.cols);
    }
    return ok ? out : none();
}

bool direct::can_use_rank_multiply_fast_path(nb::handle graph, nb::handle context,
                                             nb::handle function_states,
                                             nb::handle bound_function_instances,
                                             nb::handle data_nan_features) {
    if (data_nan_features.is_valid() && truthy(data_nan_features)) return false;
    if (function_states.is_valid() && truthy(function_states)) return false;
    if (bound_function_instances.is_valid() && truthy(bound_function_instances)) return false;
    if (context_has_extras(context)) return false;
    if (!equals_str(require_type(graph, "root"), "rotation")) return false;
    if (!equals_str(require_value(graph, "root"), kCombine)) return false;
    nb::object registry = get_attr(context, "registry");
    if (!registry.is_none()) {
        if (truthy(get_attr(registry, "has_factory")(kCombine))) return false;
        if (truthy(get_attr(registry, "has_factory")(kRank))) return false;
    }
    nb::object children = ee::graph_children(graph);
    if (length(children) != 2) return false;
    std::vector<nb::object> kids = children_vector(children);
    for (std::size_t i = 0; i < kids.size(); ++i) {
        std::string path = "root.c" + std::to_string(i);
        nb::handle child = kids[i];
        if (!equals_str(require_type(child, path.c_str()), "rotation")) return false;
        if (!equals_str(require_value(child, path.c_str()), kRank)) return false;
        nb::object grand = ee::graph_children(child);
        if (length(grand) != 1) return false;
        nb::object zero = check(PyLong_FromLong(0));
        nb::object leaf = check(PyObject_GetItem(grand.ptr(), zero.ptr()));
        std::string leaf_path = path + ".c0";
        if (!is_data_leaf_type(require_type(leaf, leaf_path.c_str()))) return false;
        nb::object name = require_value(leaf, leaf_path.c_str());
        if (!contains(get_attr(context, "feature_index"), name)) return false;
    }
    return true;
}

namespace {

// A replaced rank evaluator ranks each operand; NumPy multiplies the two.
nb::object product_of_replaced_ranks(nb::handle rank_fn, nb::handle children, nb::handle context) {
    nb::object zero = check(PyLong_FromLong(0));
    nb::object one = check(PyLong_FromLong(1));
    nb::object left_child = check(PyObject_GetItem(children.ptr(), zero.ptr()));
    nb::object lranks = rank_fn(left_child, context);
    if (lranks.is_none()) return none();
    nb::object right_child = check(PyObject_GetItem(children.ptr(), one.ptr()));
    nb::object rranks = rank_fn(right_child, context);
    if (rranks.is_none()) return none();
    nb::object result = ascontiguous_f64(check(PyNumber_Multiply(lranks.ptr(), rranks.ptr())));
    set_registers_from(context, result);
    return result;
}

// Both operands ranked by the kernels, the product formed as the right one is ranked.
nb::object product_of_ranks(nb::handle children, nb::handle context) {
    nb::object zero = check(PyLong_FromLong(0));
    nb::object one = check(PyLong_FromLong(1));
    nb::object left_child = check(PyObject_GetItem(children.ptr(), zero.ptr()));
    RankInput left;
    if (!load_rank_input(left_child, context, left)) return none();
    // The left operand is kept as positions in the tails of the rows of the result, which
    // the product then fills from the front (or, for a right operand of another shape, the
    // left ranks do).
    nb::object result = empty_f64((npy_intp) left.rows, (npy_intp) left.cols);
    kernels::RankPositions left_positions;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = kernels::rank_matrix_positions(left.data, left.data_stride, left.uni,
                                            left.uni_stride, left.rows, left.cols,
                                            f64_data(result), left_positions);
    }
    if (!ok) return none();
    const std::size_t left_rows = left.rows, left_cols = left.cols;
    left = RankInput();
    nb::object right_child = check(PyObject_GetItem(children.ptr(), one.ptr()));
    RankInput right;
    if (!load_rank_input(right_child, context, right)) return none();
    if (right.rows == left_rows && right.cols == left_cols) {
        {
            nb::gil_scoped_release nogil;
            ok = kernels::rank_matrix_distinct_product(left_positions, right.data,
                                                       right.data_stride, right.uni,
                                                       right.uni_stride);
        }
        if (!ok) return none();
    } else {
        // Operands of different shapes: rank both on their own and let NumPy broadcast (or
        // refuse) the product.
        nb::object rout = empty_f64((npy_intp) right.rows, (npy_intp) right.cols);
        {
            nb::gil_scoped_release nogil;
            ok = kernels::rank_matrix_distinct(right.data, right.data_stride, right.uni,
                                               right.uni_stride, f64_data(rout), right.rows,
                                               right.cols);
            if (ok) kernels::rank_matrix_from_positions(left_positions);
        }
        if (!ok) return none();
        result = ascontiguous_f64(check(PyNumber_Multiply(result.ptr(), rout.ptr())));
    }
    set_registers_from(context, result);
    return result;
}

}  // namespace

nb::object direct::evaluate_rank_multiply_fast(nb::handle graph, nb::handle context) {
    nb::object children = ee::graph_children(graph);
    return via_module(Fn::evaluate_simple_rank_fast,
                      [&] { return product_of_ranks(children, context); },
                      [&](nb::handle fn) {
                          return product_of_replaced_ranks(fn, children, context);
                      });
}

nb::object apply_universe_mask(nb::handle data, nb::handle universe) {
    return call_module<direct::apply_universe_mask>(Fn::apply_universe_mask, data, universe);
}

}  // namespace ee
