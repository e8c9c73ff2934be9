// The evaluation driver's entry: the transform pipeline combined into a copy of the graph,
// shapes validated, stage data attached, T, N_alloc and the universe mask derived, the
// preflight, the fast-path dispatch, then the general path (collect, plan, row loop).
#include "driver.hpp"

#include "../graph/model.hpp"
#include "../interface/interface.hpp"

#include <cmath>
#include <cstring>

namespace ee::driver {

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

Py_ssize_t as_index(nb::handle v) {
    Py_ssize_t r = PyNumber_AsSsize_t(v.ptr(), PyExc_OverflowError);
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

nb::object evaluate_unlocked(Driver &d) {
    nb::handle ctx = d.context;
    // Combine a pending transform pipeline into a copy of the graph.
    nb::object pipeline = get_attr(ctx, "transform_pipeline");
    bool combined = false;
    if (truthy(pipeline) && !attr_truthy(ctx, "transforms_already_combined")) {
        combined = true;
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
    // A combined graph is a new copy on every call: its walk is not kept.
    d.checks.preflight(d.graph, !combined);

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
