// The row loop: every node of the plan evaluated row by row, in children-first order,
// over one float64 register file; the root's register becomes the output row.
#include "row_loop.hpp"

#include "../fast_paths/cross_sectional.hpp"
#include "kernels/mask.hpp"
#include "../graph/model.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace ee::driver {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void fill(double *dst, Py_ssize_t n, double v) {
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = v;
}

nb::object new_row(Py_ssize_t n, const double *src) {
    npy_intp dims[1] = {n};
    nb::object a = check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (n) std::memcpy(PyArray_DATA(as_array(a)), src, (size_t) n * sizeof(double));
    return a;
}

nb::object nan_row(Py_ssize_t n) {
    npy_intp dims[1] = {n};
    nb::object a = check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    fill((double *) PyArray_DATA(as_array(a)), n, kNaN);
    return a;
}

}  // namespace

PyObject *Loop::row_copy(const double *src) {
    if (!spare_rows.empty()) {
        PyObject *a = spare_rows.back();
        spare_rows.pop_back();
        if (N) std::memcpy(PyArray_DATA((PyArrayObject *) a), src, (size_t) N * sizeof(double));
        return a;
    }
    nb::object a = new_row(N, src);
    if (fresh_flags < 0)
        fresh_flags = PyArray_FLAGS(as_array(a)), fresh_descr = PyArray_DESCR(as_array(a));
    return a.release().ptr();
}

PyObject *Loop::row_view(double *row) {
    if (!spare_views.empty()) {
        PyObject *v = spare_views.back();
        spare_views.pop_back();
        ((PyArrayObject_fields *) v)->data = (char *) row;
        return v;
    }
    nb::object v = view_of(work, row, 1, 1, N);
    if (view_flags < 0)
        view_flags = PyArray_FLAGS(as_array(v)), view_descr = PyArray_DESCR(as_array(v));
    return v.release().ptr();
}

// An argument row back from a call: kept for the next call when it is as it was made and
// nothing else holds it (no other reference, no weak reference).
void Loop::recycle(PyObject *obj, bool view) {
    std::vector<PyObject *> &spare = view ? spare_views : spare_rows;
    if (Py_REFCNT(obj) == 1 && spare.size() < 64 && PyArray_CheckExact(obj)) {
        PyArrayObject *a = (PyArrayObject *) obj;
        PyArrayObject_fields *f = (PyArrayObject_fields *) obj;
        if (f->weakreflist == nullptr && PyArray_FLAGS(a) == (view ? view_flags : fresh_flags) &&
            PyArray_DESCR(a) == (view ? view_descr : fresh_descr) &&
            PyArray_BASE(a) == (view ? work.ptr() : nullptr) && PyArray_NDIM(a) == 1 &&
            PyArray_DIM(a, 0) == N && PyArray_STRIDE(a, 0) == (npy_intp) sizeof(double)) {
            spare.push_back(obj);
            return;
        }
    }
    Py_DECREF(obj);
}

nb::object Loop::call_instance(const NodeShape &p, const NodeCall &c, PyObject *const *argv,
                               size_t nargs, PyObject *kwnames, Py_ssize_t t) {
    PyObject *r = PyObject_Vectorcall(c.inst.ptr(), argv, nargs, kwnames);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    nb::object exc = nb::steal(PyErr_GetRaisedException());
    nb::object err;
    while_handling(exc, [&] {
        std::string msg = "Function '" + to_str(p.value) + "' failed at row " +
                          std::to_string(t) + ": " + to_str(exc);
        err = global("FunctionExecutionError")(pystr(msg));
    });
    raise_from(err, exc);
}

// The data-NaN rule: a node fed only by all-NaN rows, one of them marked, becomes a
// data-NaN source itself.
nb::object Loop::propagate(size_t i, nb::object result) {
    if (!track) return result;
    const NodeShape &p = shapes[i];
    bool all_nan = true, has_mark = false;
    for (size_t ci : p.nan_children) {
        const double *row = reg_row(shapes[ci].reg);
        if (all_nan)
            for (Py_ssize_t j = 0; j < N; ++j)
                if (!std::isnan(row[j])) {
                    all_nan = false;
                    break;
                }
        if (marked[ci]) has_mark = true;
    }
    if (all_nan && has_mark && !p.nan_children.empty()) {
        if (!marked[i]) {
            marked[i] = 1;
            set_item(nan_source, p.path, str_key("data_nan"));
        }
        return nan_row(N);
    }
    return result;
}

void Loop::store_generic(Py_ssize_t reg, nb::handle value) {
    if (PyObject_SetItem(work.ptr(), py_int(reg).ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

// Result checks, then the register row.
void Loop::store_result(const NodeShape &p, nb::handle result, Py_ssize_t t) {
    if (!PyArray_Check(result.ptr())) {
        store_generic(p.reg, result);
        return;
    }
    PyArrayObject *a = as_array(result);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != N)
        raise_global("EvaluationShapeError",
                     "Function '" + to_str(p.value) + "' returned shape " +
                         shape_text(result) + ", expected (" + std::to_string(N) +
                         ",) at row " + std::to_string(t));
    if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) {
        // The result may be a view of the register file itself.
        copy_strided(reg_row(p.reg), (const char *) PyArray_DATA(a), PyArray_STRIDE(a, 0), N,
                     true);
        return;
    }
    nb::object dtype = get_attr(result, "dtype");
    nb::object f64 = get_attr(global("np"), "float64");
    if (truthy(check(PyObject_RichCompare(dtype.ptr(), f64.ptr(), Py_NE))))
        raise_global("EvaluationShapeError", "Function '" + to_str(p.value) +
                                                  "' returned dtype " + to_str(dtype) +
                                                  ", expected float64 at row " +
                                                  std::to_string(t));
    store_generic(p.reg, result);
}

bool Loop::precomputed_row(const NodeShape &p, Py_ssize_t t) {
    nb::handle pre = d.precomputed;
    nb::object entry;
    if (PyDict_CheckExact(pre.ptr())) {
        if (PyDict_GET_SIZE(pre.ptr()) == 0) return false;
        PyObject *v = PyDict_GetItemWithError(pre.ptr(), p.cid.ptr());
        if (!v) {
            throw_if_error();
            return false;
        }
        entry = nb::borrow(v);
    } else {
        if (!contains(pre, p.cid)) return false;
        entry = get_item(pre, p.cid);
    }
    nb::object item = check(PyObject_GetItem(entry.ptr(), py_int(t).ptr()));
    nb::object arr = asarray_f64(item);
    nb::object flat = get_attr(arr, "reshape")(-1);
    nb::object expected = check(Py_BuildValue("(n)", N));
    nb::object shape = get_attr(flat, "shape");
    if (!equals(shape, expected))
        raise_global("EvaluationShapeError", "Precomputed node '" + to_str(p.cid) +
                                                 "' returned shape " + to_str(shape) +
                                                 ", expected (" + std::to_string(N) +
                                                 ",) at row " + std::to_string(t));
    store_generic(p.reg, flat);
    return true;
}

void Loop::context_data(nb::object &features, nb::object &universe) {
    ContextSeen &c = context_seen;
    PyObject *ctx = d.context.ptr();
    PyTypeObject *type = Py_TYPE(ctx);
    PyObject **slot = _PyObject_GetDictPtr(ctx);
    PyObject *dict = slot ? *slot : nullptr;
    if (dict && dict == c.dict && type == c.type && dict_version(dict) == c.version &&
        (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == c.tag) {
        features = nb::borrow(c.features), universe = nb::borrow(c.universe);
        return;
    }
    features = get_attr(d.context, "features");
    universe = get_attr(d.context, "universe");
    c.dict = nullptr;
    slot = _PyObject_GetDictPtr(ctx);
    dict = slot ? *slot : nullptr;
    type = Py_TYPE(ctx);
    if (!dict || !PyDict_CheckExact(dict) || type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, interned("features")) || _PyType_Lookup(type, interned("universe")) ||
        PyDict_GetItemWithError(dict, interned("features")) != features.ptr() ||
        PyDict_GetItemWithError(dict, interned("universe")) != universe.ptr() ||
        (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
         !PyUnstable_Type_AssignVersionTag(type))) {
        PyErr_Clear();
        return;
    }
    c = ContextSeen{dict, dict_version(dict), type, type->tp_version_tag, features.ptr(),
                    universe.ptr()};
}

void Loop::feature_row(size_t i, Py_ssize_t t) {
    const NodeShape &p = shapes[i];
    nb::object features, universe;
    context_data(features, universe);
    nb::object matrix = get_item(features, calls[i].feature_pos);
    double *dst = reg_row(p.reg);
    bool mark = marked[i];
    if (universe.is_none() && !mark) {
        if (copy_plain_row(matrix, t, N, dst)) return;
        store_generic(p.reg, check(PyObject_GetItem(matrix.ptr(), py_int(t).ptr())));
        return;
    }
    // Masked in place while _apply_universe_mask is the module's own; a replacement is
    // called on the row as NumPy would pass it.
    bool native = plain_matrix_row(matrix, t, N) &&
                  (universe.is_none() || plain_matrix_row(universe, t, N));
    via_module(
        Fn::apply_universe_mask,
        [&] {
            if (native) mask_in_place(matrix, universe, t, dst, mark);
            else store_generic(p.reg, numpy_masked_row(matrix, universe, t, mark, nb::handle()));
        },
        [&](nb::handle fn) {
            store_generic(p.reg, numpy_masked_row(matrix, universe, t, mark, fn));
        });
}

void Loop::mask_in_place(nb::handle matrix, nb::handle universe, Py_ssize_t t, double *dst,
                   bool mark) {
    if (mark) {
        fill(dst, N, kNaN);
        return;  // masking NaN leaves NaN
    }
    PyArrayObject *u = as_array(universe);
    const char *ubase = (const char *) PyArray_DATA(u) + t * PyArray_STRIDE(u, 0);
    npy_intp us = PyArray_STRIDE(u, 1);
    copy_matrix_row(matrix, t, dst, N);
    if (us == (npy_intp) sizeof(double) && PyArray_ISALIGNED(u)) {
        kernels::mask_row(dst, (const double *) ubase, dst, (size_t) N);
    } else {
        for (Py_ssize_t j = 0; j < N; ++j) {
            double uv;
            std::memcpy(&uv, ubase + j * us, sizeof(double));
            if (kernels::inactive(uv)) dst[j] = kNaN;
        }
    }
}

// NumPy route for unusual data or universes: the copied row masked by `mask_fn`, or by
// the module's own masking when it is empty.
nb::object Loop::numpy_masked_row(nb::handle matrix, nb::handle universe, Py_ssize_t t, bool mark,
                            nb::handle mask_fn) {
    nb::object row = get_attr(check(PyObject_GetItem(matrix.ptr(), py_int(t).ptr())), "copy")();
    if (mark) row = nan_row(N);
    nb::object urow = nb::none();
    if (!universe.is_none()) {
        nb::object slice = check(PySlice_New(nullptr, nullptr, nullptr));
        nb::object index = nb::make_tuple(py_int(t), slice);
        urow = check(PyObject_GetItem(universe.ptr(), index.ptr()));
    }
    if (mask_fn.is_valid()) return mask_fn(row, urow);
    return direct::apply_universe_mask(row, urow);
}

void Loop::literal_row(const NodeShape &p) {
    if (p.const_ready) {
        fill(reg_row(p.reg), N, p.const_value);
        return;
    }
    if (p.kind == Kind::Int) {
        nb::object f = check(PyNumber_Float(p.const_obj.ptr()));
        fill(reg_row(p.reg), N, PyFloat_AS_DOUBLE(f.ptr()));
        return;
    }
    store_generic(p.reg, p.const_obj);
}

void Loop::filtration_row(const NodeShape &p, Py_ssize_t t) {
    nb::object res = filtrations.resolve(p.path);
    fill_signals(id_tuple(get_attr(res, "passing_ids")), t);
}

void Loop::reduction_row(size_t i, Py_ssize_t t) {
    const NodeShape &p = shapes[i];
    const NodeCall &c = calls[i];
    nb::object res = nb::none();
    if (!p.filtration_path.is_none()) res = filtrations.resolve(p.filtration_path);
    nb::object ids;
    if (!res.is_none()) {
        ids = id_tuple(get_attr(res, "passing_ids"));
    } else {
        ids = sorted_signal_ids();
        if (PyTuple_GET_SIZE(ids.ptr()) > 0) fill_signals(ids, t);
    }
    const Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
    nb::object input = buffer_head(A);
    nb::object pnl_column = dict_get(p.config, "pnl_column", nb::none());
    bool stateful = truthy(attr_or(c.inst, "stateful", Py_False));
    nb::object result;
    if (stateful) {
        if (pnl_column.is_none()) pnl_column = str_key("gross_returns");
        nb::object signal_pnl = signal_pnl_row(ids, pnl_column, t);
        PyObject *argv[2] = {input.ptr(), signal_pnl.ptr()};
        result = call_instance(p, c, argv, 1, signal_pnl_kw.ptr(), t);
    } else {
        PyArrayObject *in = as_array(input);
        Py_ssize_t rows = PyArray_DIM(in, 0);
        if (rows == 0 || N == 1) {
            // An empty mean (NumPy warns and gives NaN) and a single column (NumPy sums
            // it pairwise) are left to NumPy itself.
            result = call_kw(get_attr(global("np"), "mean"), {input}, {"axis"},
                             {py_int(0)});
        } else {
            // NumPy's axis-0 mean of a C-contiguous block: the rows added one after the
            // other onto +0.0, then divided by the row count.
            result = zeros_f64_1d(N);
            double *o = f64_data(result);
            const double *src = (const double *) PyArray_DATA(in);
            for (Py_ssize_t r = 0; r < rows; ++r)
                for (Py_ssize_t j = 0; j < N; ++j) o[j] += src[r * N + j];
            double count = (double) rows;
            for (Py_ssize_t j = 0; j < N; ++j) o[j] /= count;
        }
    }
    result = propagate(i, result);
    store_result(p, result, t);
}

void Loop::rotation_row(size_t i, Py_ssize_t t) {
    const NodeShape &p = shapes[i];
    const NodeCall &c = calls[i];
    size_t nargs = c.arg_regs->size();
    // argv holds the only (strong) references to the argument arrays for the call.
    PyObject *small[9];
    std::vector<PyObject *> big;
    PyObject **argv = small;
    if (nargs + 1 > 9) {
        big.resize(nargs + 1);
        argv = big.data();
    }
    size_t made = 0;
    struct Release {
        Loop &loop;
        PyObject **argv;
        size_t &made;
        bool views;
        ~Release() {
            for (size_t k = 0; k < made; ++k) loop.recycle(argv[k], views);
        }
    } release{*this, argv, made, c.views};
    for (size_t k = 0; k < nargs; ++k) {
        double *row = reg_row((*c.arg_regs)[k]);
        argv[k] = c.views ? row_view(row) : row_copy(row);
        made = k + 1;
    }
    nb::object result;
    if (c.bound) {
        result = call_instance(p, c, argv, nargs, nullptr, t);
    } else {
        argv[nargs] = d.context.ptr();
        result = call_instance(p, c, argv, nargs, context_kw.ptr(), t);
    }
    result = propagate(i, result);
    store_result(p, result, t);
}

nb::object Loop::run() {
    nb::handle ctx = d.context;
    Py_ssize_t n_nodes = plan.n_registers;
    set_attr(ctx, "registers", zeros_f64(n_nodes, N));
    Py_ssize_t total_warmup = 0;
    if (!d.bound_nonempty) {
        nb::object w = compute_graph_warmup_rows(d.graph, get_attr(ctx, "registry"));
        total_warmup = PyNumber_AsSsize_t(w.ptr(), PyExc_OverflowError);
        if (total_warmup == -1 && PyErr_Occurred()) throw nb::python_error();
    }
    // Every row of the output (and of each node-output matrix) is written by the loop
    // before anyone can see it; a failed row discards them all.
    output = empty_f64(T, N);
    work = zeros_f64(n_nodes, N);
    W = f64_data(work);
    nb::object signals = get_attr(ctx, "useful_signals");
    buffer = truthy(signals) ? zeros_f64(length(signals), N) : nb::none();
    // Interned keyword names: the callee matches them by identity.
    context_kw = check(PyTuple_Pack(1, interned("context")));
    signal_pnl_kw = check(PyTuple_Pack(1, interned("signal_pnl")));

    bind_calls();
    seed_data_nan();
    prepare_node_outputs();

    if (d.is_cold_start) cold_start_prefill();

    Py_ssize_t root_warmup = 0;
    if (total_warmup > 0) root_warmup = std::max<Py_ssize_t>(total_warmup - rows_seen(), 0);

    Py_ssize_t root_reg = plan.root_reg;
    double *out = f64_data(output);
    for (Py_ssize_t t = 0; t < T; ++t) {
        set_attr(ctx, "current_day_index", py_int(t));
        for (size_t i = 0; i < shapes.size(); ++i) {
            const NodeShape &p = shapes[i];
            if (precomputed_row(p, t)) continue;
            switch (p.kind) {
                case Kind::Feature: feature_row(i, t); break;
                case Kind::Float:
                case Kind::Int:
                case Kind::String:
                case Kind::Bool: literal_row(p); break;
                case Kind::Filtration: filtration_row(p, t); break;
                case Kind::Reduction: reduction_row(i, t); break;
                case Kind::Rotation: rotation_row(i, t); break;
                case Kind::Other: break;
            }
        }
        std::memcpy(out + t * N, reg_row(root_reg), (size_t) N * sizeof(double));
        for (auto &[m, reg] : node_output_rows)
            std::memcpy(f64_data(m) + t * N, reg_row(reg), (size_t) N * sizeof(double));
    }

    set_attr(ctx, "registers", work);
    set_attr(ctx, "extraction_buffer", buffer);
    output = ascontiguous_f64(output);
    if (root_warmup > 0) fill(f64_data(output), std::min(root_warmup, T) * N, kNaN);
    nb::object states = collect_states();
    return call_kw(global("EvaluationResult"), {output, states},
                   {"nan_source", "node_outputs"}, {nan_source, node_outputs});
}

nb::object Driver::run() {
    Loop loop(*this);
    return loop.run();
}

}  // namespace ee::driver
