// Warm-up rows: how many leading output rows stay NaN because stateful windowed functions
// have not yet seen a full window, and how many rows a running instance has consumed.
#include "access.hpp"
#include "model.hpp"

namespace ee {

namespace {

// a > b for Python objects.
bool greater(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// int(value), or an empty object when the conversion raises TypeError or ValueError.
nb::object int_or_skip(nb::handle value) {
    PyObject *r = PyNumber_Long(value.ptr());
    if (r) return nb::steal(r);
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return nb::object();
    }
    throw nb::python_error();
}

struct ChildWarmup {
    nb::object child;
    nb::object path;
    nb::object warmup;
};

}  // namespace

namespace direct {

nb::object compute_graph_warmup_rows(nb::handle graph_node, nb::handle registry,
                                     nb::handle path) {
    RecursionGuard guard("");
    nb::object children = ee::graph_children(graph_node);

    // Warm-ups of the non-literal children ("bool" literals recurse and give 0).
    std::vector<ChildWarmup> recorded;
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        nb::object cpath = child_path(path, i);
        nb::object ctype = require_type(child, cpath);
        if (equals_str(ctype, "int") || equals_str(ctype, "float") || equals_str(ctype, "string"))
            return;
        nb::object warmup = call_module<direct::compute_graph_warmup_rows>(
            Fn::compute_graph_warmup_rows, child, registry, cpath);
        recorded.push_back({nb::borrow(child), cpath, warmup});
    });

    nb::object max_child_warmup = py_int(0);
    bool first = true;
    for (const ChildWarmup &rec : recorded) {
        if (first || greater(rec.warmup, max_child_warmup)) max_child_warmup = rec.warmup;
        first = false;
    }

    nb::object graph_type = require_type(graph_node, path);
    bool is_rotation = equals_str(graph_type, "rotation");
    if ((!is_rotation && !equals_str(graph_type, "reduction")) || registry.is_none())
        return max_child_warmup;

    nb::object func_name = require_value(graph_node, path);
    if (!truthy(get_attr(registry, "has")(func_name))) return max_child_warmup;
    nb::object entry = get_attr(registry, "get_entry")(func_name);
    if (!truthy(attr_or(entry, "stateful", Py_False))) return max_child_warmup;

    // Window: the largest usable "int" literal among the direct children.
    nb::object window_value = py_int(0);
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        nb::object cpath = child_path(path, i);
        if (!equals_str(require_type(child, cpath), "int")) return;
        nb::object value = int_or_skip(require_value(child, cpath));
        if (value.is_valid() && greater(value, window_value)) window_value = value;
    });

    nb::object one = py_int(1);
    if (!greater(window_value, one)) return max_child_warmup;
    nb::object own_warmup = check(PyNumber_Subtract(window_value.ptr(), one.ptr()));
    if (!is_rotation) return own_warmup;  // a reduction restarts the count

    // Stacked rotations add up; reductions and other children below do not.
    nb::object rotation_child_warmup = py_int(0);
    first = true;
    for (const ChildWarmup &rec : recorded) {
        if (!equals_str(require_type(rec.child, rec.path), "rotation")) continue;
        if (first || greater(rec.warmup, rotation_child_warmup)) rotation_child_warmup = rec.warmup;
        first = false;
    }
    return check(PyNumber_Add(own_warmup.ptr(), rotation_child_warmup.ptr()));
}

nb::object get_warmup_count_for_instance(nb::handle instance) {
    nb::object state = get_attr(instance, "get_state")();
    if (state.is_none()) state = check(PyDict_New());
    if (!truthy(state)) return py_int(0);
    PyObject *count = nullptr;
    PyObject *get = PyObject_GetAttrString(state.ptr(), "get");
    if (get) {
        nb::object get_fn = nb::steal(get);
        nb::object key = pystr("count");
        nb::object zero = py_int(0);
        PyObject *raw = PyObject_CallFunctionObjArgs(get_fn.ptr(), key.ptr(), zero.ptr(), nullptr);
        if (raw) {
            nb::object raw_count = nb::steal(raw);
            count = PyNumber_Long(raw_count.ptr());
        }
    }
    if (count) return nb::steal(count);
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return py_int(0);
    }
    throw nb::python_error();
}

}  // namespace direct

nb::object compute_graph_warmup_rows(nb::handle graph, nb::handle registry) {
    return via_module(
        Fn::compute_graph_warmup_rows,
        [&] { return direct::compute_graph_warmup_rows(graph, registry, str_key("root")); },
        [&](nb::handle fn) { return fn(graph, registry); });
}

nb::object get_warmup_count_for_instance(nb::handle instance) {
    return call_module<direct::get_warmup_count_for_instance>(Fn::get_warmup_count_for_instance,
                                                             instance);
}

}  // namespace ee
