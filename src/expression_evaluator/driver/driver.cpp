// The evaluation driver: preparation of the graph and the context, the preflight of
// explicit function configuration and the fast-path dispatch; node collection and the row
// loop live in collect.cpp and row_loop.cpp.
#include "driver.hpp"

#include "../fast_paths/cross_sectional.hpp"
#include "../fast_paths/longitudinal.hpp"
#include "../graph/access.hpp"
#include "../graph/model.hpp"
#include "../interface/interface.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ee::driver {

// ---------------------------------------------------------------------------------------
// Explicit function configuration.

namespace {

bool is_function_type(nb::handle ntype) {
    return equals_str(ntype, "rotation") || equals_str(ntype, "reduction");
}

nb::object sorted_list(nb::handle list) {
    if (PyList_Sort(list.ptr()) != 0) throw nb::python_error();
    return nb::borrow(list);
}

std::string joined(nb::handle list) {
    nb::object sep = nb::borrow(interned(", "));
    return to_str(check(PyUnicode_Join(sep.ptr(), list.ptr())));
}

// The node path as it appears in messages (format() of a str path is its text).
std::string path_text(nb::handle path) { return format_text(path); }
const std::string &path_text(const std::string &path) { return path; }

// Engine-only parameter names may never come from a graph.
template <typename Path>
void check_engine_only(nb::handle fname, nb::handle config, const Path &path) {
    nb::object found = check(PyList_New(0));
    nb::object it = check(PyObject_GetIter(config.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(raw);
        if (equals_str(key, "N_alloc") || equals_str(key, "A"))
            if (PyList_Append(found.ptr(), key.ptr()) != 0) throw nb::python_error();
    }
    throw_if_error();
    if (PyList_GET_SIZE(found.ptr()) == 0) return;
    sorted_list(found);
    raise_global("FunctionExecutionError",
                 "Function '" + format_text(fname) + "' at node '" + path_text(path) +
                     "' config contains engine-only parameter(s): " + joined(found));
}

template <typename Path>
[[noreturn]] void raise_unknown(nb::handle fname, const Path &path, nb::handle keys) {
    sorted_list(keys);
    raise_global("FunctionExecutionError", "Function '" + format_text(fname) + "' at node '" +
                                               path_text(path) +
                                               "' config contains unknown parameter(s): " +
                                               joined(keys));
}

// Keys of `config` that are not in `allowed`, in the config's order.
nb::object unknown_keys(nb::handle config, nb::handle allowed) {
    nb::object out = check(PyList_New(0));
    nb::object it = check(PyObject_GetIter(config.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(raw);
        if (!contains(allowed, key))
            if (PyList_Append(out.ptr(), key.ptr()) != 0) throw nb::python_error();
    }
    throw_if_error();
    return out;
}

bool is_virtualization(nb::handle entry) {
    nb::object family = attr_or(entry, "family", nb::borrow(interned("")));
    return equals_str(family, "virtualization");
}

}  // namespace

nb::object ConfigChecks::schema_names(nb::handle entry) const {
    nb::object schema = attr_or(entry, "param_schema", nb::none());
    if (PyDict_Check(schema.ptr())) return check(PySet_New(schema.ptr()));
    nb::object names = check(PySet_New(nullptr));
    nb::object items = iter_schema_items(schema);
    nb::object it = check(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object name = attr_or(item, "name", nb::none());
        if (truthy(name) && PySet_Add(names.ptr(), name.ptr()) != 0) throw nb::python_error();
    }
    throw_if_error();
    return names;
}

void ConfigChecks::preflight(nb::handle node, const std::string &path) const {
    RecursionGuard guard(" while checking the graph's function configuration");
    require_node_instance(node, path.c_str());
    nb::object ntype = require_type(node, path);
    nb::object nval = require_value(node, path);
    if (is_function_type(ntype)) {
        nb::object config = graph_config_dict(node);
        check_engine_only(nval, config, path);
        nb::object registry = get_attr(context, "registry");
        if (!registry.is_none() && truthy(call_method(registry, "has", nval))) {
            nb::object entry = call_method(registry, "get_entry", nval);
            nb::object allowed = schema_names(entry);
            if (is_virtualization(entry) && PySet_GET_SIZE(allowed.ptr()) > 0) {
                nb::object unknown = unknown_keys(config, allowed);
                if (PyList_GET_SIZE(unknown.ptr()) > 0) raise_unknown(nval, path, unknown);
            }
        }
    }
    nb::object children = graph_children(node);
    std::vector<nb::object> kids = children_vector(children);
    for (size_t i = 0; i < kids.size(); ++i) preflight(kids[i], child_path(path, (Py_ssize_t) i));
}

void ConfigChecks::validate(nb::handle fname, nb::handle config, nb::handle path) const {
    check_engine_only(fname, config, path);
    nb::object registry = get_attr(context, "registry");
    if (registry.is_none() || !truthy(call_method(registry, "has", fname))) return;
    nb::object entry = call_method(registry, "get_entry", fname);
    nb::object allowed = schema_names(entry);
    if (!is_virtualization(entry)) return;
    if (PySet_GET_SIZE(allowed.ptr()) == 0) {
        if (length(config) == 0) return;
        nb::object keys = check(PySequence_List(config.ptr()));
        raise_unknown(fname, path, keys);
    }
    nb::object unknown = unknown_keys(config, allowed);
    if (PyList_GET_SIZE(unknown.ptr()) > 0) raise_unknown(fname, path, unknown);
}

bool ConfigChecks::can_instantiate(nb::handle fname) const {
    nb::object registry = get_attr(context, "registry");
    if (registry.is_none()) return false;
    return truthy(call_method(registry, "has", fname));
}

// ---------------------------------------------------------------------------------------
// Preparation and dispatch.

namespace {

bool attr_truthy(nb::handle obj, const char *name) {
    return truthy(attr_or(obj, name, Py_False));
}

// 1 where the universe is finite and non-zero, as a C-contiguous uint8 array.
nb::object universe_mask_of(nb::handle universe) {
    if (is_plain_f64(universe)) {
        PyArrayObject *u = as_array(universe);
        nb::object src = nb::borrow(universe);
        // The loop below reads doubles in place: it needs them contiguous and aligned.
        if (!PyArray_IS_C_CONTIGUOUS(u) || !PyArray_ISALIGNED(u))
            src = check(PyArray_NewCopy(u, NPY_CORDER));
        PyArrayObject *s = as_array(src);
        nb::object mask = check(PyArray_SimpleNew(PyArray_NDIM(s), PyArray_DIMS(s), NPY_UINT8));
        const double *in = (const double *) PyArray_DATA(s);
        uint8_t *out = (uint8_t *) PyArray_DATA(as_array(mask));
        for (npy_intp i = 0, n = PyArray_SIZE(s); i < n; ++i)
            out[i] = (std::isfinite(in[i]) && in[i] != 0.0) ? 1 : 0;
        return mask;
    }
    nb::object np = global("np");
    nb::object finite = get_attr(np, "isfinite")(universe);
    nb::object zero = check(PyFloat_FromDouble(0.0));
    nb::object nonzero = check(PyObject_RichCompare(universe.ptr(), zero.ptr(), Py_NE));
    nb::object both = check(PyNumber_And(finite.ptr(), nonzero.ptr()));
    nb::object as_u8 = get_attr(both, "astype")(get_attr(np, "uint8"));
    return get_attr(np, "ascontiguousarray")(as_u8);
}

// A detector's answer, taken by its truth value.
template <typename Direct, typename Through> bool detect(Fn fn, Direct &&direct, Through &&through) {
    return via_module(fn, direct, [&](nb::handle f) { return truthy(through(f)); });
}

// An evaluator's matrix.
nb::object fast_matrix(Fn fn, nb::object (*impl)(nb::handle, nb::handle), nb::handle graph,
                       nb::handle context) {
    return via_module(fn, [&] { return impl(graph, context); },
                      [&](nb::handle f) { return f(graph, context); });
}

nb::object fast_result(nb::handle matrix) { return global("EvaluationResult")(matrix, new_dict()); }

// The four fast paths, in their fixed order; an invalid object when none applies.
nb::object dispatch_fast_paths(Driver &d) {
    nb::handle g = d.graph, ctx = d.context, fs = d.function_states;
    nb::handle dnf = d.data_nan_features, bound = d.bound_function_instances;
    if (detect(Fn::can_use_leaf_fast_path,
               [&] { return direct::can_use_leaf_fast_path(g, ctx, fs, dnf); },
               [&](nb::handle f) { return call_kw(f, {g, ctx, fs}, {"data_nan_features"}, {dnf}); }))
        return fast_result(fast_matrix(Fn::evaluate_leaf_fast, direct::evaluate_leaf_fast, g, ctx));
    if (detect(Fn::can_use_simple_rank_fast_path,
               [&] { return direct::can_use_simple_rank_fast_path(g, ctx, fs, dnf); },
               [&](nb::handle f) { return call_kw(f, {g, ctx, fs}, {"data_nan_features"}, {dnf}); })) {
        nb::object m = fast_matrix(Fn::evaluate_simple_rank_fast, direct::evaluate_simple_rank_fast,
                                   g, ctx);
        if (!m.is_none()) return fast_result(m);
    }
    if (detect(Fn::can_use_rank_multiply_fast_path,
               [&] { return direct::can_use_rank_multiply_fast_path(g, ctx, fs, bound, dnf); },
               [&](nb::handle f) {
                   return call_kw(f, {g, ctx, fs}, {"bound_function_instances", "data_nan_features"},
                                  {bound, dnf});
               })) {
        nb::object m = fast_matrix(Fn::evaluate_rank_multiply_fast,
                                   direct::evaluate_rank_multiply_fast, g, ctx);
        if (!m.is_none()) return fast_result(m);
    }
    nb::object T = py_int(d.T);
    if (detect(Fn::can_use_longitudinal_fast_path,
               [&] { return direct::can_use_longitudinal_fast_path(g, ctx, fs, T, dnf); },
               [&](nb::handle f) { return call_kw(f, {g, ctx, fs, T}, {"data_nan_features"}, {dnf}); }))
        return fast_result(fast_matrix(Fn::evaluate_longitudinal_fast,
                                       direct::evaluate_longitudinal_fast, g, ctx));
    return nb::object();
}

Py_ssize_t as_index(nb::handle v) {
    Py_ssize_t r = PyNumber_AsSsize_t(v.ptr(), PyExc_OverflowError);
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

nb::object evaluate_unlocked(Driver &d) {
    nb::handle ctx = d.context;
    // Combine a pending transform pipeline into a copy of the graph.
    nb::object pipeline = get_attr(ctx, "transform_pipeline");
    if (truthy(pipeline) && !attr_truthy(ctx, "transforms_already_combined")) {
        d.graph = global("deepcopy")(d.graph);
        invalidate_graph_evaluation_caches(d.graph);
        annotate_state_identities(d.graph);
        d.graph = global("combine_signal_and_transforms")(
            d.graph, get_attr(ctx, "transform_pipeline"), get_attr(ctx, "metaparameters"),
            get_attr(ctx, "registry"), ctx);
        invalidate_graph_evaluation_caches(d.graph);
        set_attr(ctx, "transform_pipeline", check(PyList_New(0)));
    }
    if (!attr_truthy(ctx, "_skip_evaluation_shape_validation")) {
        nb::object features = get_attr(ctx, "features"), universe = get_attr(ctx, "universe"),
                   signals = get_attr(ctx, "useful_signals");
        validate_evaluation_shapes(features, universe, signals);
    }
    attach_stage_data_feature_leaves(d.graph, ctx);

    nb::object features = get_attr(ctx, "features");
    if (length(features) == 0) raise_global("EvaluationError", "No features provided");
    nb::object first = check(PySequence_GetItem(features.ptr(), 0));
    nb::object shape = get_attr(first, "shape");
    d.T = as_index(check(PySequence_GetItem(shape.ptr(), 0)));
    d.N = as_index(check(PySequence_GetItem(shape.ptr(), 1)));

    if (get_attr(ctx, "universe_mask").is_none()) {
        nb::object universe = get_attr(ctx, "universe");
        nb::object mask;
        if (universe.is_none()) {
            npy_intp dims[2] = {d.T, d.N};
            mask = check(PyArray_SimpleNew(2, dims, NPY_UINT8));
            std::memset(PyArray_DATA(as_array(mask)), 1, (size_t) (d.T * d.N));
        } else {
            mask = universe_mask_of(universe);
        }
        set_attr(ctx, "universe_mask", mask);
    }

    d.checks.context = ctx;
    d.checks.preflight(d.graph, "root");

    nb::object fast = dispatch_fast_paths(d);
    if (fast.is_valid()) return fast;

    d.bound_instances = d.bound_function_instances.is_none() ? new_dict()
                                                             : d.bound_function_instances;
    d.bound_nonempty = truthy(d.bound_instances);
    nb::object pre = attr_or(ctx, "_precomputed_node_outputs", nb::none());
    d.precomputed = pre.is_none() ? new_dict() : pre;
    nb::object pre_nan = attr_or(ctx, "_precomputed_node_nan_source", nb::none());
    d.precomputed_nan = pre_nan.is_none() ? new_dict() : pre_nan;
    d.can_use_cache = is_instance(d.graph, global("FunctionGraphNode")) &&
                      !d.bound_function_instances.is_none() &&
                      (!truthy(get_attr(ctx, "transform_pipeline")) ||
                       attr_truthy(ctx, "transforms_already_combined"));
    d.collect();
    return d.run();
}

}  // namespace

nb::object evaluate_unlocked(nb::handle graph, nb::handle context, nb::handle function_states,
                             nb::handle is_cold_start, nb::handle bound,
                             nb::handle data_nan_features) {
    Driver d;
    d.graph = nb::borrow(graph);
    d.context = nb::borrow(context);
    d.function_states = nb::borrow(function_states);
    d.is_cold_start = truthy(is_cold_start);
    d.bound_function_instances = nb::borrow(bound);
    d.data_nan_features = nb::borrow(data_nan_features);
    return evaluate_unlocked(d);
}

}  // namespace ee::driver

