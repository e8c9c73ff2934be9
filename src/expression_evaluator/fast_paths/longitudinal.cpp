// Longitudinal fast path: detection of chains of the built-in rolling rotations over one
// data leaf, and their whole-matrix evaluation on the rolling kernels (kernels/rolling.hpp)
// with the GIL released and the columns split over the cores.
#include "longitudinal.hpp"

#include "../common/names.hpp"
#include "../graph/access.hpp"
#include "cross_sectional.hpp"
#include "kernels/parallel.hpp"
#include "kernels/rolling.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace ee {

namespace {

namespace rk = kernels::rolling;


bool is_data_leaf_type(nb::handle type) {
    return equals_str(type, "feature") || equals_str(type, "aggregation");
}

// A literal child carries configuration, every other child (a "float" one included) is data.
bool is_literal_child_type(nb::handle type) {
    return equals_str(type, "int") || equals_str(type, "string") || equals_str(type, "bool");
}

// The registry knows `name` but exposes no implementation metadata for it: only then may
// the fast path stand in for the function.
bool registry_allows_stub_fast_path(nb::handle registry, nb::handle name) {
    if (registry.is_none()) return false;
    if (!truthy(call_method(registry, "has", name))) return false;
    if (truthy(call_method(registry, "has_factory", name))) return false;
    // Any Exception on the way to the entry declines the path: from the call, and from
    // looking the method up.
    PyObject *entry_ptr = nullptr;
    if (PyObject *method = PyObject_GetAttrString(registry.ptr(), "get_entry")) {
        entry_ptr = PyObject_CallOneArg(method, name.ptr());
        Py_DECREF(method);
    }
    if (!entry_ptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object entry = nb::steal(entry_ptr);
    nb::handle none = nb::none();
    if (truthy(attr_or(entry, "module_path", none))) return false;
    if (truthy(attr_or(entry, "class_name", none))) return false;
    if (!attr_or(entry, "factory", none).is_none()) return false;
    if (!attr_or(entry, "implementation", none).is_none()) return false;
    return true;
}

nb::object window_child(nb::handle children) {
    return call_module<direct::get_int_window_child>(Fn::get_int_window_child, children);
}

nb::object node_matrix(nb::handle node, nb::handle context) {
    return call_module<direct::evaluate_longitudinal_fast_node>(
        Fn::evaluate_longitudinal_fast_node, node, context);
}

// A data leaf held by the context, or a stub rotation of the fast names with exactly one
// data child, an "int" window child, and a supported data child.
bool supported(nb::handle node, nb::handle context) {
    RecursionGuard guard(" while checking a longitudinal chain");
    nb::object type = require_type(node, "fast_path");
    if (is_data_leaf_type(type)) {
        nb::object value = require_value(node, "fast_path");
        return contains(get_attr(context, "feature_index"), value);
    }
    if (!equals_str(type, "rotation")) return false;
    nb::object name = require_value(node, "fast_path");
    if (!contains(global("_LONGITUDINAL_FAST_NAMES"), name)) return false;
    if (!registry_allows_stub_fast_path(get_attr(context, "registry"), name)) return false;
    nb::object children = ee::graph_children(node);
    std::vector<nb::object> data_children;
    nb::object it = check(PyObject_GetIter(children.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object child = nb::steal(item);
        if (!is_literal_child_type(require_type(child, "fast_path.child")))
            data_children.push_back(child);
    }
    throw_if_error();
    if (data_children.size() != 1) return false;
    if (window_child(children).is_none()) return false;
    return supported(data_children[0], context);
}

[[noreturn]] void raise_unpack(int ndim) {
    if (ndim < 2)
        raise_builtin(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                            std::to_string(ndim) + ")");
    raise_builtin(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// Splits columns [0, N) over the worker threads at cache-line boundaries of the input.
// Wide rows are handed out a few tile columns at a time (each is walked down on its own);
// narrow rows in one contiguous run of columns per thread, so that a thread's row blocks
// share the cache lines of its neighbouring tiles. Under a universe, rows are masked into
// window scratch: one window per run of columns, or, for wide rows, per running thread.
void run_parallel(rk::Stat stat, const double *in, npy_intp in_stride, rk::Universe uni,
                  double *out, npy_intp T, npy_intp N, long long w, rk::Totals *scratch) {
    if (N <= 0) return;
    const npy_intp first = rk::tile_end(in, 0, N);  // end of the first (maybe partial) line
    const std::size_t tiles = 1 + (std::size_t) ((N - first + rk::kLine - 1) / rk::kLine);
    auto tile_start = [&](std::size_t k) {
        return k == 0 ? npy_intp(0) : std::min<npy_intp>(N, first + (npy_intp) (k - 1) * rk::kLine);
    };
    const bool wide = in_stride * (npy_intp) sizeof(double) > rk::kWideRowBytes;
    // Tiles per unit of wide rows: a strip, under a universe.
    const std::size_t strip = uni.cells ? (std::size_t) rk::kStripLines : 1;
    const std::size_t units = wide ? (tiles + strip - 1) / strip
                                   : std::min<std::size_t>(tiles, kernels::worker_count());
    auto unit_start = [&](std::size_t u) {
        return tile_start(wide ? std::min(u * strip, tiles) : u * tiles / units);
    };
    // Under a universe, the window scratch of run_matrix: for narrow rows, one window per
    // run of columns; for wide rows, one per call that may run at once, taken while it runs.
    const npy_intp rows = uni.cells ? rk::masked_rows(T, w) : 0;
    const std::size_t windows = wide ? std::min<std::size_t>(units, kernels::worker_count()) : 0;
    const npy_intp wide_cells = uni.cells ? rk::masked_cells(T, w, 0, N, in_stride) : 0;
    std::vector<double> masked((std::size_t) (wide ? wide_cells * (npy_intp) windows
                                                   : rows * (N + rk::kLine * (npy_intp) units)));
    std::unique_ptr<std::atomic<bool>[]> taken(new std::atomic<bool>[windows]());
    kernels::parallel_rows(units, (std::size_t) T * (std::size_t) N / units,
                           kernels::kComputeBoundMinCells, [&](std::size_t u0, std::size_t u1) {
                               const npy_intp c0 = unit_start(u0), c1 = unit_start(u1);
                               std::size_t k = 0;
                               while (wide && taken[k].exchange(true)) k = (k + 1) % windows;
                               double *m = masked.data() +
                                           (wide ? wide_cells * (npy_intp) k
                                                 : rows * (c0 + rk::kLine * (npy_intp) u0));
                               rk::run_matrix(stat, in, in_stride, uni, m, out, N, T, c0, c1,
                                              w, scratch + 2 * c0);
                               if (wide) taken[k].store(false);
                           });
}

// The rolling statistic `name` over `window` rows of `data_arg`, masked by `universe` when
// that is set (see FastOperand): by the kernel, a row block at a time.
nb::object rolling(nb::handle data_arg, nb::handle universe, nb::handle window,
                   nb::handle name) {
    nb::object data = asarray_f64(data_arg);
    if (!PyArray_Check(data.ptr())) raise_builtin(PyExc_TypeError, "data must be an array");
    PyArrayObject *a = as_array(data);
    if (PyArray_NDIM(a) != 2) raise_unpack(PyArray_NDIM(a));
    const npy_intp T = PyArray_DIM(a, 0), N = PyArray_DIM(a, 1);

    // A window longer than the series: nothing is computable.
    nb::object t_obj = check(PyLong_FromSsize_t(T));
    int shorter = PyObject_RichCompareBool(t_obj.ptr(), window.ptr(), Py_LT);
    if (shorter < 0) throw nb::python_error();
    if (shorter) return full_nan_f64(T, N);
    PyObject *w_index = PyNumber_Index(window.ptr());
    if (!w_index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_builtin(PyExc_TypeError,
                          "slice indices must be integers or None or have an __index__ method");
        }
        throw nb::python_error();
    }
    nb::object w_obj = nb::steal(w_index);
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(w_obj.ptr(), &overflow);
    throw_if_error();
    if (overflow != 0 || w < 1)
        raise_builtin(PyExc_ValueError, "window must be at least 1; got " + to_str(w_obj));

    // Rows must be contiguous runs of aligned native doubles; anything else is copied.
    if (!is_plain_f64(data) || !PyArray_ISALIGNED(a) ||
        (N > 1 && PyArray_STRIDE(a, 1) != (npy_intp) sizeof(double)) ||
        (T > 1 && (PyArray_STRIDE(a, 0) < 0 || PyArray_STRIDE(a, 0) % sizeof(double) != 0))) {
        data = check(PyArray_NewCopy(a, NPY_CORDER));
        a = as_array(data);
    }
    npy_intp in_stride = T > 1 ? PyArray_STRIDE(a, 0) / (npy_intp) sizeof(double) : N;
    const double *in = (const double *) PyArray_DATA(a);
    rk::Universe uni;
    std::size_t ustride = 0;
    if (universe.is_valid()) {
        // The shapes are checked again: code that ran since the leaf was read may have
        // reshaped either array.
        if (!native_mask_fits(data, universe, ustride)) {
            data = ascontiguous_f64(direct::apply_universe_mask(data, universe));
            a = as_array(data);
            in = (const double *) PyArray_DATA(a);
            in_stride = N;
        } else {
            uni.cells = (const double *) PyArray_DATA(as_array(universe));
            uni.stride = (npy_intp) ustride;
        }
    }

    rk::Stat stat;
    if (PyUnicode_CheckExact(name.ptr())) {
        stat = equals_str(name, names::kRollingMean) ? rk::Stat::mean
               : equals_str(name, names::kRollingStd) ? rk::Stat::std
                                            : rk::Stat::zscore;
    } else {
        // The name is only compared once some cell is computable.
        std::vector<std::int64_t> run((std::size_t) N);
        bool any;
        {
            nb::gil_scoped_release nogil;
            any = rk::any_computable(in, in_stride, uni, T, N, w, run.data());
        }
        if (!any) return full_nan_f64(T, N);
        stat = equals_str(name, names::kRollingMean) ? rk::Stat::mean
               : equals_str(name, names::kRollingStd) ? rk::Stat::std
                                            : rk::Stat::zscore;
    }

    nb::object out = empty_f64(T, N);
    double *o = f64_data(out);
    std::vector<rk::Totals> scratch((std::size_t) N * 2);
    {
        nb::gil_scoped_release nogil;
        run_parallel(stat, in, in_stride, uni, o, T, N, w, scratch.data());
    }
    return out;
}

// The matrix of a chain's node; for a data leaf reached from a rotation (`defer_mask`),
// the feature with the universe left for the kernel to apply.
FastOperand node_operand(nb::handle node, nb::handle context, bool defer_mask) {
    RecursionGuard guard(" while evaluating a longitudinal chain");
    nb::object type = require_type(node, "fast_path.eval");
    if (is_data_leaf_type(type))
        return via_module(
            Fn::feature_matrix_for_fast_path,
            [&] { return feature_operand(node, context, defer_mask); },
            [&](nb::handle fn) { return FastOperand{fn(node, context), nb::object()}; });
    nb::object children = ee::graph_children(node);
    nb::object data_child = nb::none();
    {
        nb::object it = check(PyObject_GetIter(children.ptr()));
        Py_ssize_t i = 0;
        while (PyObject *item = PyIter_Next(it.ptr())) {
            nb::object child = nb::steal(item);
            nb::object path = pystr(child_path(std::string("fast_path.eval"), i));
            if (!is_literal_child_type(require_type(child, path))) {
                data_child = child;
                break;
            }
            ++i;
        }
        throw_if_error();
    }
    FastOperand data = via_module(
        Fn::evaluate_longitudinal_fast_node,
        [&] { return node_operand(data_child, context, true); },
        [&](nb::handle fn) { return FastOperand{fn(data_child, context), nb::object()}; });
    nb::object window = window_child(children);
    nb::object name = require_value(node, "fast_path.eval");
    nb::object out = via_module(
        Fn::rolling_longitudinal_fast,
        [&] { return rolling(data.data, data.universe, window, name); },
        [&](nb::handle fn) { return fn(data.matrix(), window, name); });
    return FastOperand{out, nb::object()};
}

}  // namespace

// ---------------------------------------------------------------------------------------

nb::object direct::get_int_window_child(nb::handle children) {
    nb::object it = check(PyObject_GetIter(children.ptr()));
    Py_ssize_t i = 0;
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object child = nb::steal(item);
        nb::object path = pystr(child_path(std::string("window"), i));
        if (equals_str(require_type(child, path), "int"))
            return check(PyNumber_Long(require_value(child, path).ptr()));
        ++i;
    }
    throw_if_error();
    return nb::none();
}

bool direct::can_use_longitudinal_fast_path(nb::handle graph, nb::handle context,
                                            nb::handle function_states, nb::handle T,
                                            nb::handle data_nan_features) {
    if (data_nan_features.is_valid() && truthy(data_nan_features)) return false;
    nb::object min_rows = global("_LONGITUDINAL_FAST_MIN_ROWS");
    int below = PyObject_RichCompareBool(T.ptr(), min_rows.ptr(), Py_LT);
    if (below < 0) throw nb::python_error();
    if (below) return false;
    if (function_states.is_valid() && !function_states.is_none()) return false;
    if (context_has_extras(context)) return false;
    return supported(graph, context);
}

nb::object direct::rolling_longitudinal_fast(nb::handle data_arg, nb::handle window,
                                             nb::handle name) {
    return rolling(data_arg, nb::handle(), window, name);
}

nb::object direct::evaluate_longitudinal_fast_node(nb::handle node, nb::handle context) {
    return node_operand(node, context, false).data;
}

nb::object direct::evaluate_longitudinal_fast(nb::handle graph, nb::handle context) {
    return ascontiguous_f64(node_matrix(graph, context));
}

}  // namespace ee
