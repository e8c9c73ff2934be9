// The evaluation driver: preparation of the graph and the context, the preflight of
// explicit function configuration and the fast-path dispatch; node collection and the row
// loop live in collect.cpp and row_loop.cpp.
#include "driver.hpp"

#include "../fast_paths/cross_sectional.hpp"
#include "../fast_paths/longitudinal.hpp"
#include "../graph/access.hpp"
#include "../graph/model.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ee::driver {

// ---------------------------------------------------------------------------------------
// Small helpers.

nb::object new_dict() { return check(PyDict_New()); }

nb::object py_int(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }

nb::object get_item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        PyObject *tuple = PyTuple_Pack(1, key.ptr());
        if (tuple) {
            PyErr_SetObject(PyExc_KeyError, tuple);
            Py_DECREF(tuple);
        }
        throw nb::python_error();
    }
    return check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle dflt) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(dflt);
    }
    return check(PyObject_CallMethod(mapping.ptr(), "get", "OO", key.ptr(), dflt.ptr()));
}

nb::object dict_get(nb::handle mapping, const char *key, nb::handle dflt) {
    return dict_get(mapping, nb::handle(interned(key)), dflt);
}

void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

void set_item(nb::handle mapping, const char *key, nb::handle value) {
    set_item(mapping, nb::handle(interned(key)), value);
}

std::string fmt(nb::handle value) {
    nb::object empty = check(PyUnicode_FromString(""));
    return to_str(check(PyObject_Format(value.ptr(), empty.ptr())));
}

namespace {

// The keyword-name tuple of a list of names, kept per distinct list of name addresses (the
// names are literals at every call site).
PyObject *kwnames_of(std::initializer_list<const char *> names) {
    struct Entry {
        std::vector<const char *> names;
        PyObject *tuple;
    };
    static std::vector<Entry> *cache = new std::vector<Entry>();
    for (const Entry &e : *cache)
        if (e.names.size() == names.size() &&
            std::equal(names.begin(), names.end(), e.names.begin()))
            return e.tuple;
    nb::object tuple = check(PyTuple_New((Py_ssize_t) names.size()));
    Py_ssize_t i = 0;
    for (const char *n : names)
        PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(interned(n)).release().ptr());
    // Call sites pass literal names, so the lists are few; the table is bounded anyway.
    if (cache->size() < 64) {
        cache->push_back({std::vector<const char *>(names), tuple.ptr()});
        return tuple.release().ptr();  // kept for the life of the process
    }
    return nullptr;
}

}  // namespace

nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<const char *> names,
                   std::initializer_list<nb::handle> kwvalues) {
    PyObject *small[8];
    std::vector<PyObject *> big;
    PyObject **argv = small;
    size_t n = args.size() + kwvalues.size();
    if (n > 8) {
        big.resize(n);
        argv = big.data();
    }
    size_t k = 0;
    for (nb::handle a : args) argv[k++] = a.ptr();
    for (nb::handle a : kwvalues) argv[k++] = a.ptr();
    PyObject *kwnames = names.size() ? kwnames_of(names) : nullptr;
    nb::object built;
    if (names.size() && !kwnames) {
        built = check(PyTuple_New((Py_ssize_t) names.size()));
        Py_ssize_t i = 0;
        for (const char *nm : names)
            PyTuple_SET_ITEM(built.ptr(), i++, nb::borrow(interned(nm)).release().ptr());
        kwnames = built.ptr();
    }
    return check(PyObject_Vectorcall(fn.ptr(), argv, args.size(), kwnames));
}

nb::object cache_get(nb::handle graph, const char *key) {
    require_node_instance(graph, "cache");
    return attr_or(graph, key, nb::none());
}

void cache_set(nb::handle graph, const char *key, nb::handle value) {
    require_node_instance(graph, "cache");
    if (PyObject_SetAttrString(graph.ptr(), key, value.ptr()) == 0) return;
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return;
    }
    throw nb::python_error();
}

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
std::string path_text(nb::handle path) { return fmt(path); }
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
                 "Function '" + fmt(fname) + "' at node '" + path_text(path) +
                     "' config contains engine-only parameter(s): " + joined(found));
}

template <typename Path>
[[noreturn]] void raise_unknown(nb::handle fname, const Path &path, nb::handle keys) {
    sorted_list(keys);
    raise_global("FunctionExecutionError", "Function '" + fmt(fname) + "' at node '" +
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
    nb::object ntype = require_graph_field(node, "type", path);
    nb::object nval = require_graph_field(node, "node", path);
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

// A detector's answer: the C++ implementation while the module global is still our own
// builtin, else a call of whatever the global now holds (taken by its truth value).
#define EE_DETECT(name, direct, call) \
    ([&] {                                 \
        nb::object fn_ = global(name);     \
        if (EE_IS_ORIGINAL(fn_, name)) return (bool) (direct); \
        return truthy(call);               \
    }())

// The four fast paths, in their fixed order; an invalid object when none applies.
nb::object dispatch_fast_paths(Driver &d) {
    nb::handle g = d.graph, ctx = d.context, fs = d.function_states;
    nb::handle dnf = d.data_nan_features, bound = d.bound_function_instances;
    if (EE_DETECT("_can_use_leaf_fast_path", can_use_leaf_fast_path(g, ctx, fs, dnf),
                  call_kw(fn_, {g, ctx, fs}, {"data_nan_features"}, {dnf}))) {
        nb::object m = global("_evaluate_leaf_fast")(g, ctx);
        return global("EvaluationResult")(m, new_dict());
    }
    if (EE_DETECT("_can_use_simple_rank_fast_path",
                  can_use_simple_rank_fast_path(g, ctx, fs, dnf),
                  call_kw(fn_, {g, ctx, fs}, {"data_nan_features"}, {dnf}))) {
        nb::object m = global("_evaluate_simple_rank_fast")(g, ctx);
        if (!m.is_none()) return global("EvaluationResult")(m, new_dict());
    }
    if (EE_DETECT("_can_use_rank_multiply_fast_path",
                  can_use_rank_multiply_fast_path(g, ctx, fs, bound, dnf),
                  call_kw(fn_, {g, ctx, fs}, {"bound_function_instances", "data_nan_features"},
                          {bound, dnf}))) {
        nb::object m = global("_evaluate_rank_multiply_fast")(g, ctx);
        if (!m.is_none()) return global("EvaluationResult")(m, new_dict());
    }
    nb::object T = py_int(d.T);
    if (EE_DETECT("_can_use_longitudinal_fast_path",
                  can_use_longitudinal_fast_path(g, ctx, fs, T, dnf),
                  call_kw(fn_, {g, ctx, fs, T}, {"data_nan_features"}, {dnf}))) {
        nb::object m = global("_evaluate_longitudinal_fast")(g, ctx);
        return global("EvaluationResult")(m, new_dict());
    }
    return nb::object();
}

#undef EE_DETECT

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
        global("invalidate_graph_evaluation_caches")(d.graph);
        global("_annotate_state_identities")(d.graph);
        d.graph = global("combine_signal_and_transforms")(
            d.graph, get_attr(ctx, "transform_pipeline"), get_attr(ctx, "metaparameters"),
            get_attr(ctx, "registry"), ctx);
        global("invalidate_graph_evaluation_caches")(d.graph);
        set_attr(ctx, "transform_pipeline", check(PyList_New(0)));
    }
    if (!attr_truthy(ctx, "_skip_evaluation_shape_validation")) {
        nb::object fn = global("_validate_evaluation_shapes");
        nb::object features = get_attr(ctx, "features"), universe = get_attr(ctx, "universe"),
                   signals = get_attr(ctx, "useful_signals");
        if (EE_IS_ORIGINAL(fn, "_validate_evaluation_shapes"))
            validate_evaluation_shapes(features, universe, signals);
        else
            fn(features, universe, signals);
    }
    {
        nb::object fn = global("_attach_stage_data_feature_leaves");
        if (EE_IS_ORIGINAL(fn, "_attach_stage_data_feature_leaves"))
            attach_stage_data_feature_leaves(d.graph, ctx);
        else
            fn(d.graph, ctx);
    }

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

namespace ee {

PyObject *py_evaluate_unlocked(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"graph", "context", "function_states", "is_cold_start",
                                   "bound_function_instances", "data_nan_features", nullptr};
        PyObject *graph, *context, *function_states = Py_None, *is_cold_start = Py_False,
                                   *bound = Py_None, *data_nan = Py_None;
        parse_args(args, kwargs, "OO|OO$OO:_evaluate_unlocked", kw, &graph, &context,
                   &function_states, &is_cold_start, &bound, &data_nan);
        return driver::evaluate_unlocked(graph, context, function_states, is_cold_start, bound,
                                         data_nan);
    });
}

namespace {

PyMethodDef kMethods[] = {
    EE_DEF("_evaluate_unlocked", py_evaluate_unlocked,
           "_evaluate_unlocked($module, /, graph, context, function_states=None, "
           "is_cold_start=False, *, bound_function_instances=None, data_nan_features=None)\n"
           "--\n\n"
           "Execute the validated graph dictionary against the data in context.\n\n"
           "Returns an EvaluationResult that unpacks as (output_weights, states_dict):\n"
           "output_weights: (T, N_alloc) float64 weights matrix\n"
           "states_dict: Dict[str, FunctionState] for all stateful function instances\n\n"
           "With is_cold_start true, stateful reductions whose state count is below their\n"
           "window are pre-filled from the PnL tail (first tick after a checkpoint restore);\n"
           "ordinary live ticks pass False so that no spurious pre-fill happens."),
    EE_DEF("evaluate", py_evaluate,
           "evaluate($module, /, graph, context, function_states=None, is_cold_start=False, *, "
           "bound_function_instances=None, data_nan_features=None)\n--\n\n"
           "Evaluate a function graph against an EvaluationContext.\n\n"
           "Evaluations that share a context are serialised by the context's re-entrant\n"
           "lock; evaluations with different contexts run independently.\n\n"
           "Parameters\n----------\n"
           "graph : FunctionGraphNode\n"
           "    Root of the function graph.\n"
           "context : EvaluationContext\n"
           "    Features, universe, useful signals, registry and options; the evaluation\n"
           "    leaves scratch attributes (registers, current_day_index, ...) on it.\n"
           "function_states : dict of str to FunctionState, optional\n"
           "    States carried from the previous tick, keyed by state key (by default the\n"
           "    node path, such as root.c0).\n"
           "is_cold_start : bool, default False\n"
           "    True on the first tick after a checkpoint restore: stateful reductions whose\n"
           "    state count is below their window are pre-filled from the PnL tail.\n"
           "bound_function_instances : dict of str to function instance, optional\n"
           "    Instances bound by the caller, keyed by node path; they advance with every\n"
           "    evaluated row.\n"
           "data_nan_features : iterable of str, optional\n"
           "    Features whose NaNs are missing data; the nodes fed only by them are\n"
           "    reported in the result's nan_source.\n\n"
           "Returns\n-------\n"
           "EvaluationResult\n"
           "    The (T, N_alloc) float64 weights matrix; unpacks as (weights, states), states\n"
           "    mapping the state key of every stateful instance to its FunctionState.\n\n"
           "Raises\n------\n"
           "SchemaError\n"
           "    graph is not a FunctionGraphNode (the context is not touched).\n"
           "EvaluationError, EvaluationShapeError\n"
           "    Inputs that disagree in shape, features missing from the context.\n"
           "FunctionExecutionError\n"
           "    A function could not be configured or its call failed (chained to the\n"
           "    exception it raised)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_driver(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
