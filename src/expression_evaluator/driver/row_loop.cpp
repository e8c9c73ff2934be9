// The general path's row loop: every node of the collected graph evaluated row by row, in
// children-first order, over one float64 register file. Bookkeeping (registers, masking,
// the extraction buffer, data-NaN marks, node outputs) is plain C++ over the arrays the
// driver owns; Python runs only to call function instances, to hand them their row arrays
// and to check what they return. Unusual inputs (foreign array types, dtypes or shapes)
// take the NumPy route so that the outcome, value or error, is NumPy's own.
#include "driver.hpp"

#include "kernels/mask.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace ee::driver {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

nb::object key(const char *k) { return nb::borrow(interned(k)); }

// An exact float64 ndarray of two dimensions whose row `t` exists and has `n` entries.
bool plain_matrix_row(nb::handle m, Py_ssize_t t, Py_ssize_t n) {
    if (!PyArray_CheckExact(m.ptr())) return false;
    PyArrayObject *a = as_array(m);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) == 2 &&
           t >= 0 && t < PyArray_DIM(a, 0) && PyArray_DIM(a, 1) == n;
}

// Row t of a matrix accepted by plain_matrix_row, copied into dst.
void copy_matrix_row(nb::handle m, Py_ssize_t t, double *dst, Py_ssize_t n) {
    PyArrayObject *a = as_array(m);
    const char *base = (const char *) PyArray_DATA(a) + t * PyArray_STRIDE(a, 0);
    npy_intp s = PyArray_STRIDE(a, 1);
    if (s == (npy_intp) sizeof(double)) {
        std::memmove(dst, base, (size_t) n * sizeof(double));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(dst + i, base + i * s, sizeof(double));
    }
}

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

// A writeable view of `rows` x `cols` doubles at `data`, kept alive by `owner`.
nb::object view_of(nb::handle owner, double *data, int nd, Py_ssize_t rows, Py_ssize_t cols) {
    npy_intp dims[2], strides[2];
    if (nd == 1) {
        dims[0] = cols;
        strides[0] = sizeof(double);
    } else {
        dims[0] = rows;
        dims[1] = cols;
        strides[0] = cols * (npy_intp) sizeof(double);
        strides[1] = sizeof(double);
    }
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_DOUBLE);
    nb::object v = check(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, strides, data,
                                              NPY_ARRAY_CARRAY, nullptr));
    Py_INCREF(owner.ptr());
    if (PyArray_SetBaseObject(as_array(v), owner.ptr()) != 0) throw nb::python_error();
    return v;
}

// `raise new from cause` as Python does inside an except block.
[[noreturn]] void raise_from(nb::handle exc, nb::handle cause) {
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
    raise_instance(exc, cause);
}

// Errors raised while handling `cause` carry it as their context.
template <typename F> void while_handling(nb::handle cause, F &&body) {
    try {
        body();
    } catch (nb::python_error &inner) {
        nb::handle v = inner.value();
        if (v.is_valid() && v.ptr() != cause.ptr() && PyExceptionInstance_Check(v.ptr())) {
            PyObject *existing = PyException_GetContext(v.ptr());
            if (existing) Py_DECREF(existing);
            else PyException_SetContext(v.ptr(), nb::borrow(cause).release().ptr());
        }
        throw;
    }
}

Kind kind_of(nb::handle ntype) {
    // Type strs are nearly always the interned literals: identity first.
    static const std::pair<const char *, Kind> kKinds[] = {
        {"rotation", Kind::Rotation}, {"feature", Kind::Feature}, {"float", Kind::Float},
        {"int", Kind::Int},           {"reduction", Kind::Reduction},
        {"filtration", Kind::Filtration}, {"string", Kind::String}, {"bool", Kind::Bool},
        {"aggregation", Kind::Feature}};
    if (PyUnicode_CheckExact(ntype.ptr()))
        for (const auto &[text, kind] : kKinds)
            if (ntype.ptr() == interned(text)) return kind;
    if (equals_str(ntype, "feature") || equals_str(ntype, "aggregation")) return Kind::Feature;
    if (equals_str(ntype, "float")) return Kind::Float;
    if (equals_str(ntype, "int")) return Kind::Int;
    if (equals_str(ntype, "string")) return Kind::String;
    if (equals_str(ntype, "bool")) return Kind::Bool;
    if (equals_str(ntype, "filtration")) return Kind::Filtration;
    if (equals_str(ntype, "rotation")) return Kind::Rotation;
    if (equals_str(ntype, "reduction")) return Kind::Reduction;
    return Kind::Other;
}

struct NodePlan {
    nb::object path, info, type, value, cid;
    Kind kind = Kind::Other;
    Py_ssize_t reg = 0;
    // Data leaves.
    nb::object feature_pos;
    // Literals: the register value, or the object to convert on every row when the
    // conversion fails (so the error surfaces at the row where it belongs).
    bool const_ready = false;
    double const_value = 0.0;
    nb::object const_obj;
    // Function nodes.
    nb::object inst;
    bool bound = false, views = false;
    std::vector<Py_ssize_t> arg_regs;
    std::vector<size_t> nan_children;  // plan indices of the non-filtration children
    // Reductions.
    nb::object filtration_path, config;
};

struct Loop {
    Driver &d;
    Py_ssize_t T, N;
    std::vector<NodePlan> plans;
    nb::object index_of;  // dict: path -> plan index
    std::vector<char> marked;                           // data-NaN marks, by plan index
    nb::object work, output, buffer, filtration_cache, nan_source, node_outputs;
    std::vector<std::pair<nb::object, Py_ssize_t>> node_output_rows;  // (matrix, register)
    double *W = nullptr;
    bool track = false;
    nb::object context_kw;  // ("context",)
    nb::object signal_pnl_kw;  // ("signal_pnl",)

    explicit Loop(Driver &drv) : d(drv), T(drv.T), N(drv.N) {}

    double *reg_row(Py_ssize_t reg) { return W + reg * N; }

    // Argument rows. A copy that nobody but the loop references once the call has returned
    // (no other reference, no weak reference, layout and flags as created) is filled again
    // for a later call instead of being freed and allocated anew; it is indistinguishable
    // from a fresh array.
    std::vector<PyObject *> spare_rows;  // owned references
    int fresh_flags = -1;

    PyObject *row_copy(const double *src) {
        if (!spare_rows.empty()) {
            PyObject *a = spare_rows.back();
            spare_rows.pop_back();
            if (N) std::memcpy(PyArray_DATA((PyArrayObject *) a), src, (size_t) N * sizeof(double));
            return a;
        }
        nb::object a = new_row(N, src);
        if (fresh_flags < 0) fresh_flags = PyArray_FLAGS(as_array(a));
        return a.release().ptr();
    }

    void recycle(PyObject *obj) {
        if (Py_REFCNT(obj) == 1 && spare_rows.size() < 64 && PyArray_CheckExact(obj)) {
            PyArrayObject *a = (PyArrayObject *) obj;
            PyArrayObject_fields *f = (PyArrayObject_fields *) obj;
            if (f->weakreflist == nullptr && PyArray_FLAGS(a) == fresh_flags &&
                PyArray_BASE(a) == nullptr && PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == N &&
                PyArray_STRIDE(a, 0) == (npy_intp) sizeof(double) &&
                PyArray_DESCR(a)->type_num == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) {
                spare_rows.push_back(obj);
                return;
            }
        }
        Py_DECREF(obj);
    }

    ~Loop() {
        for (PyObject *a : spare_rows) Py_DECREF(a);
    }

    size_t plan_index(nb::handle path) {
        PyObject *hit = PyUnicode_CheckExact(path.ptr())
                            ? PyDict_GetItemWithError(index_of.ptr(), path.ptr())
                            : nullptr;
        if (!hit) {
            throw_if_error();
            // Paths are str; anything else is looked up by its text as before.
            nb::object text = pystr(to_str(path));
            hit = PyDict_GetItemWithError(index_of.ptr(), text.ptr());
        }
        if (!hit) {
            throw_if_error();
            get_item(d.reg_map, path);  // raises the mapping's own KeyError
            raise_builtin(PyExc_KeyError, to_str(path));
        }
        return (size_t) PyLong_AsSsize_t(hit);
    }

    // ---------------------------------------------------------------------------------
    // Plan.

    // index_of[text of path] = i (the last of equal texts wins).
    void set_plan_index(nb::handle path, size_t i) {
        nb::object key = PyUnicode_CheckExact(path.ptr()) ? nb::borrow(path) : pystr(to_str(path));
        set_item(index_of, key, py_int((Py_ssize_t) i));
    }

    void build_plans() {
        plans.resize(d.topo_order.size());
        index_of = new_dict();
        for (size_t i = 0; i < d.topo_order.size(); ++i) {
            NodePlan &p = plans[i];
            p.path = d.topo_order[i];
            set_plan_index(p.path, i);
            p.info = get_item(d.node_info, p.path);
            p.type = get_item(p.info, key("type"));
            p.value = get_item(p.info, key("node"));
            p.cid = get_item(p.info, key("canonical_id"));
            p.kind = kind_of(p.type);
            nb::object reg = get_item(d.reg_map, p.path);
            p.reg = PyLong_AsSsize_t(reg.ptr());
            if (p.reg == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        for (NodePlan &p : plans) {
            switch (p.kind) {
                case Kind::Feature: p.feature_pos = get_item(d.feature_refs, p.path); break;
                case Kind::Float: {
                    p.const_obj = get_item(d.float_values, p.path);
                    if (PyFloat_CheckExact(p.const_obj.ptr())) {
                        p.const_ready = true;
                        p.const_value = PyFloat_AS_DOUBLE(p.const_obj.ptr());
                    }
                    break;
                }
                case Kind::Int: {
                    p.const_obj = p.value;
                    PyObject *f = PyNumber_Float(p.value.ptr());
                    if (f) {
                        p.const_ready = true;
                        p.const_value = PyFloat_AS_DOUBLE(f);
                        Py_DECREF(f);
                    } else {
                        PyErr_Clear();
                    }
                    break;
                }
                case Kind::String:
                    p.const_ready = true;
                    p.const_value = 0.0;
                    break;
                case Kind::Bool:
                    p.const_ready = true;
                    p.const_value = truthy(p.value) ? 1.0 : 0.0;
                    break;
                case Kind::Rotation: plan_rotation(p); break;
                case Kind::Reduction: plan_reduction(p); break;
                default: break;
            }
            if (p.kind == Kind::Rotation || p.kind == Kind::Reduction) {
                nb::object cps = get_item(p.info, key("children_paths"));
                nb::object it = check(PyObject_GetIter(cps.ptr()));
                while (PyObject *raw = PyIter_Next(it.ptr())) {
                    nb::object cp = nb::steal(raw);
                    size_t ci = plan_index(cp);
                    if (plans[ci].kind != Kind::Filtration) p.nan_children.push_back(ci);
                }
                throw_if_error();
            }
        }
    }

    void plan_rotation(NodePlan &p) {
        p.inst = get_item(d.func_instances, p.path);
        p.bound = contains(d.bound_paths, p.path);
        p.views = p.bound && !has_attr(p.inst, "arity");
        // No "config_child_paths" entry: no child is consumed as configuration.
        nb::object config_children;
        if (PyDict_Check(p.info.ptr())) {
            PyObject *v = PyDict_GetItemWithError(p.info.ptr(), interned("config_child_paths"));
            if (!v) throw_if_error();
            config_children = v ? nb::borrow(v) : check(PyFrozenSet_New(nullptr));
        } else {
            config_children = dict_get(p.info, "config_child_paths", check(PySet_New(nullptr)));
        }
        nb::object cps = get_item(p.info, key("children_paths"));
        nb::object it = check(PyObject_GetIter(cps.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object cp = nb::steal(raw);
            if (contains(config_children, cp) && !p.views) continue;
            const NodePlan &c = plans[plan_index(cp)];
            if (c.kind == Kind::String || c.kind == Kind::Bool) continue;
            if (c.kind == Kind::Int && !d.bound_nonempty) continue;
            p.arg_regs.push_back(c.reg);
        }
        throw_if_error();
    }

    void plan_reduction(NodePlan &p) {
        p.inst = get_item(d.func_instances, p.path);
        nb::object rec = get_item(d.reduction_nodes, p.path);
        p.filtration_path = get_item(rec, key("filtration_path"));
        p.config = get_item(rec, key("config"));
    }

    // ---------------------------------------------------------------------------------
    // Filtration resolution, once per path per evaluation.

    nb::object resolve_filt(nb::handle path) {
        PyObject *hit = PyDict_GetItemWithError(filtration_cache.ptr(), path.ptr());
        if (hit) return nb::borrow(hit);
        throw_if_error();
        nb::object filt_node = dict_get(d.filtration_nodes, path, nb::none());
        if (filt_node.is_none()) return nb::none();
        nb::object result;
        try {
            nb::object tree = global("_dict_to_filter_node")(filt_node);
            nb::object instance =
                global("FiltrationInstance")(tree, get_attr(d.context, "registry"));
            nb::object passing = instance(get_attr(d.context, "useful_signals"));
            nb::object count = py_int(length(passing));
            nb::object pool = py_int(length(get_attr(d.context, "useful_signals")));
            nb::object diagnostics = check(PyList_New(0));
            result = call_kw(global("FiltrationResult"), {},
                             {"passing_ids", "signal_count", "total_pool_size",
                              "filter_diagnostics"},
                             {passing, count, pool, diagnostics});
        } catch (nb::python_error &e) {
            nb::object exc = nb::borrow(e.value());
            nb::object empties = nb::make_tuple(global("EmptyFiltrationError"),
                                                global("EmptyPoolError"));
            if (PyErr_GivenExceptionMatches(exc.ptr(), empties.ptr())) {
                while_handling(exc, [&] {
                    nb::object desc = global("_describe_dict_filter")(filt_node);
                    nb::object msg = check(PyUnicode_Concat(
                        nb::borrow(interned("Filtration returned 0 signals for filters: ")).ptr(), desc.ptr()));
                    nb::object err = global("EvaluationError")(msg);
                    nb::object diag = get_attr(exc, "filter_diagnostics");
                    if (!truthy(diag)) {
                        diag = new_dict();
                        set_item(diag, "passing_count", py_int(0));
                    }
                    set_attr(err, "filter_diagnostics", diag);
                    raise_from(err, exc);
                });
            }
            if (PyErr_GivenExceptionMatches(exc.ptr(), global("EvaluationError").ptr())) throw;
            if (!PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception)) throw;
            while_handling(exc, [&] {
                nb::object desc = global("_describe_dict_filter")(filt_node);
                std::string cause_type = tname(exc);
                std::string msg = "Filtration resolution failed for filters: " + fmt(desc) +
                                  ": " + cause_type + ": " + fmt(exc);
                nb::object err = global("FiltrationResolutionError")(pystr(msg));
                nb::object diag = new_dict();
                set_item(diag, "passing_count", py_int(0));
                set_item(diag, "cause", pystr(cause_type));
                set_attr(err, "filter_diagnostics", diag);
                raise_from(err, exc);
            });
            throw;
        }
        set_item(filtration_cache, path, result);
        return result;
    }

    // ---------------------------------------------------------------------------------
    // Extraction buffer.

    void ensure_buffer(Py_ssize_t A) {
        if (!buffer.is_none()) {
            PyArrayObject *b = as_array(buffer);
            if (PyArray_DIM(b, 0) >= A && PyArray_DIM(b, 1) == N) return;
        }
        buffer = zeros_f64(A, N);
    }

    // target[k] = weights[t], target being a C-contiguous (>k, N) float64 array.
    void fill_row(nb::handle target, Py_ssize_t k, nb::handle weights, Py_ssize_t t) {
        if (plain_matrix_row(weights, t, N)) {
            copy_matrix_row(weights, t, f64_data(target) + k * N, N);
            return;
        }
        nb::object row = check(PyObject_GetItem(weights.ptr(), py_int(t).ptr()));
        if (PyObject_SetItem(target.ptr(), py_int(k).ptr(), row.ptr()) != 0)
            throw nb::python_error();
    }

    // The passing ids as a tuple of their own: its size is the number of ids iterated, not
    // what the container's len() claims, and no callback can change it while we walk it.
    static nb::object id_tuple(nb::handle ids) { return check(PySequence_Tuple(ids.ptr())); }

    // Weight rows at t of the signals named by the tuple `ids`, into the first rows of the
    // buffer.
    void fill_signals(nb::handle ids, Py_ssize_t t) {
        Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
        ensure_buffer(A);
        nb::object signals = get_attr(d.context, "useful_signals");
        for (Py_ssize_t k = 0; k < A; ++k) {
            nb::object sig = get_item(signals, PyTuple_GET_ITEM(ids.ptr(), k));
            fill_row(buffer, k, get_attr(sig, "weights"), t);
        }
    }

    nb::object sorted_signal_ids() {
        nb::object signals = get_attr(d.context, "useful_signals");
        nb::object ids = check(PySequence_List(signals.ptr()));
        if (PyList_Sort(ids.ptr()) != 0) throw nb::python_error();
        return check(PyList_AsTuple(ids.ptr()));
    }

    // ---------------------------------------------------------------------------------
    // Calls and results.

    nb::object call_instance(const NodePlan &p, PyObject *const *argv, size_t nargs,
                             PyObject *kwnames, Py_ssize_t t) {
        PyObject *r = PyObject_Vectorcall(p.inst.ptr(), argv, nargs, kwnames);
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
    nb::object propagate(size_t i, nb::object result) {
        if (!track) return result;
        const NodePlan &p = plans[i];
        bool all_nan = true, has_mark = false;
        for (size_t ci : p.nan_children) {
            const double *row = reg_row(plans[ci].reg);
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
                set_item(nan_source, p.path, nb::borrow(interned("data_nan")));
            }
            return nan_row(N);
        }
        return result;
    }

    void store_generic(Py_ssize_t reg, nb::handle value) {
        if (PyObject_SetItem(work.ptr(), py_int(reg).ptr(), value.ptr()) != 0)
            throw nb::python_error();
    }

    // Result checks, then the register row.
    void store_result(const NodePlan &p, nb::handle result, Py_ssize_t t) {
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
            double *dst = reg_row(p.reg);
            npy_intp s = PyArray_STRIDE(a, 0);
            const char *src = (const char *) PyArray_DATA(a);
            if (s == (npy_intp) sizeof(double)) {
                std::memmove(dst, src, (size_t) N * sizeof(double));
            } else {
                std::vector<double> tmp((size_t) N);
                for (Py_ssize_t j = 0; j < N; ++j)
                    std::memcpy(&tmp[(size_t) j], src + j * s, sizeof(double));
                if (N) std::memcpy(dst, tmp.data(), (size_t) N * sizeof(double));
            }
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

    // ---------------------------------------------------------------------------------
    // Node kinds.

    bool precomputed_row(const NodePlan &p, Py_ssize_t t) {
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

    void feature_row(size_t i, Py_ssize_t t) {
        const NodePlan &p = plans[i];
        nb::object features = get_attr(d.context, "features");
        nb::object universe = get_attr(d.context, "universe");
        nb::object matrix = get_item(features, p.feature_pos);
        double *dst = reg_row(p.reg);
        bool mark = marked[i];
        if (universe.is_none() && !mark) {
            if (plain_matrix_row(matrix, t, N)) {
                copy_matrix_row(matrix, t, dst, N);
                return;
            }
            store_generic(p.reg, check(PyObject_GetItem(matrix.ptr(), py_int(t).ptr())));
            return;
        }
        // Masked in place while _apply_universe_mask is the module's own; a replacement is
        // called on the row as NumPy would pass it.
        nb::object mask_fn = global("_apply_universe_mask");
        if (EE_IS_ORIGINAL(mask_fn, "_apply_universe_mask") && plain_matrix_row(matrix, t, N) &&
            (universe.is_none() || plain_matrix_row(universe, t, N))) {
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
            return;
        }
        // NumPy route for unusual data or universes.
        nb::object row = get_attr(check(PyObject_GetItem(matrix.ptr(), py_int(t).ptr())), "copy")();
        if (mark) row = nan_row(N);
        nb::object urow = nb::none();
        if (!universe.is_none()) {
            nb::object slice = check(PySlice_New(nullptr, nullptr, nullptr));
            nb::object index = nb::make_tuple(py_int(t), slice);
            urow = check(PyObject_GetItem(universe.ptr(), index.ptr()));
        }
        nb::object masked = mask_fn(row, urow);
        store_generic(p.reg, masked);
    }

    void literal_row(const NodePlan &p) {
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

    void filtration_row(const NodePlan &p, Py_ssize_t t) {
        nb::object res = resolve_filt(p.path);
        fill_signals(id_tuple(get_attr(res, "passing_ids")), t);
    }

    // signal_pnl of a stateful reduction at row t, for the tuple `ids`.
    nb::object signal_pnl_row(nb::handle ids, nb::handle pnl_column, Py_ssize_t t) {
        const Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
        nb::object out = zeros_f64_1d(A);
        double *o = f64_data(out);
        nb::object vectors = get_attr(d.context, "signal_pnl_vectors");
        if (truthy(vectors)) {
            nb::object zero = check(PyFloat_FromDouble(0.0));
            for (Py_ssize_t k = 0; k < A; ++k) {
                nb::handle sid = PyTuple_GET_ITEM(ids.ptr(), k);
                if (!contains(vectors, sid)) continue;
                nb::object v = dict_get(get_item(vectors, sid), pnl_column, zero);
                if (PyFloat_CheckExact(v.ptr())) o[k] = PyFloat_AS_DOUBLE(v.ptr());
                else if (PyObject_SetItem(out.ptr(), py_int(k).ptr(), v.ptr()) != 0)
                    throw nb::python_error();
            }
            return out;
        }
        Py_ssize_t col = 0;
        nb::object labels = get_attr(d.context, "column_labels");
        if (truthy(labels)) {
            PyObject *r = PyObject_CallMethod(labels.ptr(), "index", "O", pnl_column.ptr());
            if (!r) {
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
                nb::object lookup_error = nb::steal(PyErr_GetRaisedException());
                nb::object err = global("EvaluationError")(
                    pystr("PnL column '" + to_str(pnl_column) +
                          "' not found in column_labels: " + to_str(labels)));
                PyException_SetContext(err.ptr(), lookup_error.release().ptr());
                raise_instance(err);
            }
            nb::object idx = nb::steal(r);
            col = PyLong_AsSsize_t(idx.ptr());
            if (col == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        nb::object signals = get_attr(d.context, "useful_signals");
        for (Py_ssize_t k = 0; k < A; ++k) {
            nb::handle sid = PyTuple_GET_ITEM(ids.ptr(), k);
            if (!contains(signals, sid)) continue;
            nb::object pnl = get_attr(get_item(signals, sid), "pnl");
            set_pnl_entry(out, k, pnl, t, col);
        }
        return out;
    }

    // out[k] = pnl[row, col]
    static void set_pnl_entry(nb::handle out, Py_ssize_t k, nb::handle pnl, Py_ssize_t row,
                              Py_ssize_t col) {
        if (PyArray_CheckExact(pnl.ptr())) {
            PyArrayObject *a = as_array(pnl);
            if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
                PyArray_NDIM(a) == 2 && row < PyArray_DIM(a, 0) && col < PyArray_DIM(a, 1)) {
                const char *p = (const char *) PyArray_DATA(a) + row * PyArray_STRIDE(a, 0) +
                                col * PyArray_STRIDE(a, 1);
                std::memcpy(f64_data(out) + k, p, sizeof(double));
                return;
            }
        }
        nb::object index = nb::make_tuple(py_int(row), py_int(col));
        nb::object v = check(PyObject_GetItem(pnl.ptr(), index.ptr()));
        if (PyObject_SetItem(out.ptr(), py_int(k).ptr(), v.ptr()) != 0) throw nb::python_error();
    }

    // reduction_input: the first A rows of the buffer (a view).
    nb::object buffer_head(Py_ssize_t A) {
        if (buffer.is_none()) return zeros_f64(A, N);
        Py_ssize_t rows = std::min<Py_ssize_t>(A, PyArray_DIM(as_array(buffer), 0));
        return view_of(buffer, f64_data(buffer), 2, rows, N);
    }

    void reduction_row(size_t i, Py_ssize_t t) {
        const NodePlan &p = plans[i];
        nb::object res = nb::none();
        if (!p.filtration_path.is_none()) res = resolve_filt(p.filtration_path);
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
        bool stateful = truthy(attr_or(p.inst, "stateful", Py_False));
        nb::object result;
        if (stateful) {
            if (pnl_column.is_none()) pnl_column = nb::borrow(interned("gross_returns"));
            nb::object signal_pnl = signal_pnl_row(ids, pnl_column, t);
            PyObject *argv[2] = {input.ptr(), signal_pnl.ptr()};
            result = call_instance(p, argv, 1, signal_pnl_kw.ptr(), t);
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

    void rotation_row(size_t i, Py_ssize_t t) {
        const NodePlan &p = plans[i];
        size_t nargs = p.arg_regs.size();
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
            bool copies;
            ~Release() {
                for (size_t k = 0; k < made; ++k) {
                    if (copies) loop.recycle(argv[k]);
                    else Py_DECREF(argv[k]);
                }
            }
        } release{*this, argv, made, !p.views};
        for (size_t k = 0; k < nargs; ++k) {
            double *row = reg_row(p.arg_regs[k]);
            argv[k] = p.views ? view_of(work, row, 1, 1, N).release().ptr() : row_copy(row);
            made = k + 1;
        }
        nb::object result;
        if (p.bound) {
            result = call_instance(p, argv, nargs, nullptr, t);
        } else {
            argv[nargs] = d.context.ptr();
            result = call_instance(p, argv, nargs, context_kw.ptr(), t);
        }
        result = propagate(i, result);
        store_result(p, result, t);
    }

    // ---------------------------------------------------------------------------------
    // Around the loop.

    [[noreturn]] void log_state_failure(nb::handle inst, nb::handle path) {
        nb::object fname = nb::borrow(interned("unknown"));
        if (contains(d.node_info, path)) fname = get_item(get_item(d.node_info, path), key("node"));
        nb::object logger = global("_logger");
        nb::object id = check(PyLong_FromVoidPtr(inst.ptr()));
        call_kw(get_attr(logger, "error"), {nb::borrow(interned("expression_evaluator.get_state_failed"))},
                {"instance_id", "node_id", "function_name"}, {id, path, fname});
        throw;  // re-raise the error being handled
    }

    // fn(path, instance) for every stateful instance, in table order. The table is one of the
    // driver's own: no Python code can reach it while we walk it.
    template <typename F> void for_each_stateful(F &&fn) {
        Py_ssize_t pos = 0;
        PyObject *key_, *value_;
        while (PyDict_Next(d.func_instances.ptr(), &pos, &key_, &value_)) {
            nb::object path = nb::borrow(key_);
            nb::object inst = nb::borrow(value_);
            if (truthy(attr_or(inst, "stateful", Py_False))) fn(path, inst);
        }
    }

    void cold_start_prefill() {
        for_each_stateful([&](nb::handle path, nb::handle inst) {
            nb::object info = get_item(d.node_info, path);
            if (!equals_str(get_item(info, key("type")), "reduction")) return;
            nb::object state_key = dict_get(d.state_keys, path, path);
            if (d.function_states.is_none() || !contains(d.function_states, state_key)) return;
            nb::object payload = get_attr(get_item(d.function_states, state_key), "data");
            if (!truthy(payload)) return;
            nb::object count = dict_get(payload, "count", py_int(0));
            nb::object window = dict_get(payload, "window", nb::none());
            if (window.is_none()) window = attr_or(inst, "window", nb::none());
            if (window.is_none()) return;
            if (truthy(check(PyObject_RichCompare(count.ptr(), window.ptr(), Py_GE)))) return;
            nb::object needed_obj = check(PyNumber_Subtract(window.ptr(), count.ptr()));
            Py_ssize_t needed = PyNumber_AsSsize_t(check(PyNumber_Index(needed_obj.ptr())).ptr(),
                                                   PyExc_OverflowError);
            if (needed == -1 && PyErr_Occurred()) throw nb::python_error();

            nb::object config = dict_get(info, "config", new_dict());
            nb::object pnl_column = dict_get(config, "pnl_column", nb::borrow(interned("gross_returns")));
            nb::object red = get_item(d.reduction_nodes, path);
            nb::object fpath = dict_get(red, "filtration_path", nb::none());
            nb::object res = fpath.is_none() ? nb::none() : resolve_filt(fpath);
            nb::object ids =
                res.is_none() ? sorted_signal_ids() : id_tuple(get_attr(res, "passing_ids"));
            const Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
            Py_ssize_t col = 0;
            nb::object labels = get_attr(d.context, "column_labels");
            if (truthy(pnl_column) && truthy(labels) && contains(labels, pnl_column)) {
                nb::object idx = check(
                    PyObject_CallMethod(labels.ptr(), "index", "O", pnl_column.ptr()));
                col = PyLong_AsSsize_t(idx.ptr());
                if (col == -1 && PyErr_Occurred()) throw nb::python_error();
            }
            nb::object signals = get_attr(d.context, "useful_signals");
            for (Py_ssize_t row = std::max<Py_ssize_t>(T - needed, 0); row < T; ++row) {
                nb::object signal_pnl = zeros_f64_1d(A);
                nb::object extraction = zeros_f64(A, N);
                for (Py_ssize_t k = 0; k < A; ++k) {
                    nb::handle sid(PyTuple_GET_ITEM(ids.ptr(), k));
                    if (!contains(signals, sid)) continue;  // its rows stay zero
                    nb::object sig = get_item(signals, sid);
                    set_pnl_entry(signal_pnl, k, get_attr(sig, "pnl"), row, col);
                    fill_row(extraction, k, get_attr(sig, "weights"), row);
                }
                PyObject *argv[2] = {extraction.ptr(), signal_pnl.ptr()};
                check(PyObject_Vectorcall(inst.ptr(), argv, 1, signal_pnl_kw.ptr()));
            }
        });
    }

    Py_ssize_t rows_seen() {
        Py_ssize_t seen = 0;
        nb::object fn = global("_get_warmup_count_for_instance");
        for_each_stateful([&](nb::handle path, nb::handle inst) {
            nb::object count;
            try {
                count = fn(inst);
            } catch (nb::python_error &) {
                log_state_failure(inst, path);
            }
            Py_ssize_t c = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
            if (c == -1 && PyErr_Occurred()) throw nb::python_error();
            seen = std::max(seen, c);
        });
        return seen;
    }

    nb::object collect_states() {
        nb::object states = new_dict();
        if (!truthy(attr_or(d.context, "_collect_states", Py_True))) return states;
        for_each_stateful([&](nb::handle path, nb::handle inst) {
            nb::object fname = get_item(get_item(d.node_info, path), key("node"));
            nb::object state;
            try {
                nb::object registry = get_attr(d.context, "registry");
                nb::object version = call_method(registry, "get_function_version", fname);
                nb::object data = call_method(inst, "get_state");
                state = call_kw(global("FunctionState"), {},
                                {"function_name", "function_version", "data"},
                                {fname, version, data});
            } catch (nb::python_error &) {
                log_state_failure(inst, path);
            }
            set_item(states, dict_get(d.state_keys, path, path), state);
        });
        return states;
    }

    nb::object run() {
        nb::handle ctx = d.context;
        Py_ssize_t n_nodes = d.n_registers;
        set_attr(ctx, "registers", zeros_f64(n_nodes, N));
        Py_ssize_t total_warmup = 0;
        if (!d.bound_nonempty) {
            nb::object w = global("_compute_graph_warmup_rows")(d.graph, get_attr(ctx, "registry"));
            total_warmup = PyNumber_AsSsize_t(w.ptr(), PyExc_OverflowError);
            if (total_warmup == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        filtration_cache = new_dict();
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

        build_plans();
        marked.assign(plans.size(), 0);

        // Data-NaN seeding.
        nan_source = new_dict();
        nb::object data_nan = nb::borrow(interned("data_nan"));
        if (truthy(d.data_nan_features)) {
            nb::object names = check(PySet_New(d.data_nan_features.ptr()));
            if (PySet_GET_SIZE(names.ptr()) > 0) {
                nb::object it = check(PyObject_GetIter(d.feature_refs.ptr()));
                while (PyObject *raw = PyIter_Next(it.ptr())) {
                    nb::object path = nb::steal(raw);
                    nb::object fname = get_item(get_item(d.node_info, path), key("node"));
                    if (contains(names, fname)) set_item(nan_source, path, data_nan);
                }
                throw_if_error();
            }
        }
        // An empty precomputed nan-source table marks nothing (the records were all read
        // while planning).
        if (!(PyDict_CheckExact(d.precomputed_nan.ptr()) &&
              PyDict_GET_SIZE(d.precomputed_nan.ptr()) == 0)) {
            nb::object items = check(PyObject_CallMethod(d.node_info.ptr(), "items", nullptr));
            nb::object it = check(PyObject_GetIter(items.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object pair = nb::steal(raw);
                nb::object path = check(PySequence_GetItem(pair.ptr(), 0));
                nb::object rec = check(PySequence_GetItem(pair.ptr(), 1));
                nb::object cid = get_item(rec, key("canonical_id"));
                nb::object src = dict_get(d.precomputed_nan, cid, nb::none());
                if (equals_str(src, "data_nan")) set_item(nan_source, path, data_nan);
            }
            throw_if_error();
        }
        track = PyDict_GET_SIZE(nan_source.ptr()) > 0;
        for (size_t i = 0; i < plans.size(); ++i)
            marked[i] = PyDict_Contains(nan_source.ptr(), plans[i].path.ptr()) == 1;

        nb::object collect_default = nb::borrow((d.bound_nonempty || track) ? Py_True : Py_False);
        bool collect_outputs = truthy(attr_or(ctx, "_collect_node_outputs", collect_default));
        nb::object node_outputs_obj = nb::none();
        if (collect_outputs) {
            node_outputs_obj = new_dict();
            nb::object it = check(PyObject_GetIter(d.node_info.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object path = nb::steal(raw);
                nb::object m = empty_f64(T, N);
                set_item(node_outputs_obj, path, m);
                Py_ssize_t reg = PyLong_AsSsize_t(get_item(d.reg_map, path).ptr());
                if (reg == -1 && PyErr_Occurred()) throw nb::python_error();
                node_output_rows.emplace_back(m, reg);
            }
            throw_if_error();
        }

        if (d.is_cold_start) cold_start_prefill();

        Py_ssize_t root_warmup = 0;
        if (total_warmup > 0) root_warmup = std::max<Py_ssize_t>(total_warmup - rows_seen(), 0);

        Py_ssize_t root_reg = PyLong_AsSsize_t(get_item(d.reg_map, nb::borrow(interned("root"))).ptr());
        if (root_reg == -1 && PyErr_Occurred()) throw nb::python_error();
        double *out = f64_data(output);
        for (Py_ssize_t t = 0; t < T; ++t) {
            set_attr(ctx, "current_day_index", py_int(t));
            for (size_t i = 0; i < plans.size(); ++i) {
                const NodePlan &p = plans[i];
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
                       {"nan_source", "node_outputs"}, {nan_source, node_outputs_obj});
    }
};

}  // namespace

nb::object Driver::run() {
    Loop loop(*this);
    return loop.run();
}

}  // namespace ee::driver
