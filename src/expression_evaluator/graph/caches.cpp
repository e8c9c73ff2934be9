// Cache slots kept on graph node objects, the node-identity table and the state
// identities that keep function-state keys stable when a graph is wrapped.
#include "access.hpp"
#include "model.hpp"

namespace ee {

static bool is_graph_node(nb::handle obj) { return is_instance(obj, global("FunctionGraphNode")); }

namespace direct {

// ---- slots ---------------------------------------------------------------------------

nb::object graph_cache_get(nb::handle graph, nb::handle key) {
    ee::require_node_instance(graph, "cache");
    PyObject *value = PyObject_GetAttr(graph.ptr(), key.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

void graph_cache_set(nb::handle graph, nb::handle key, nb::handle value) {
    ee::require_node_instance(graph, "cache");
    if (PyObject_SetAttr(graph.ptr(), key.ptr(), value.ptr()) == 0) return;
    // A frozen or slotted node class keeps its previous value.
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return;
    }
    throw nb::python_error();
}

void invalidate_graph_evaluation_caches(nb::handle graph) {
    if (!is_graph_node(graph)) return;
    RecursionGuard guard("");
    set_attr(graph, "_collect_nodes_cache", Py_None);
    set_attr(graph, "_node_identities", Py_None);
    nb::object children = ee::graph_children(graph);
    for_each_child(children, [](Py_ssize_t, nb::handle child) {
        direct::invalidate_graph_evaluation_caches(child);
    });
}

// ---- identities ----------------------------------------------------------------------

static void collect_identities(nb::handle node, nb::handle path, nb::handle result) {
    RecursionGuard guard("");
    nb::object value = require_value(node, path);
    if (PyDict_SetItem(result.ptr(), path.ptr(), value.ptr()) != 0) throw nb::python_error();
    nb::object children = ee::graph_children(node);
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        collect_identities(child, child_path(path, i), result);
    });
}

nb::object generate_node_identities(nb::handle graph) {
    nb::object cached = cache_get(graph, "_node_identities");
    if (!cached.is_none()) return cached;
    nb::object result = check(PyDict_New());
    collect_identities(graph, pystr("root"), result);
    cache_set(graph, "_node_identities", result);
    return result;
}

void annotate_state_identities(nb::handle node, nb::handle path) {
    RecursionGuard guard("");
    nb::object type = require_type(node, path);
    if (equals_str(type, "rotation") || equals_str(type, "reduction"))
        cache_set(node, "_state_identity", path);
    nb::object children = ee::graph_children(node);
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        nb::object cp = child_path(path, i);
        via_module(Fn::annotate_state_identities,
                   [&] { direct::annotate_state_identities(child, cp); },
                   [&](nb::handle fn) { fn(child, cp); });
    });
}

}  // namespace direct

nb::object cache_get(nb::handle graph, const char *key) {
    return via_module(Fn::graph_cache_get,
                      [&] { return direct::graph_cache_get(graph, str_key(key)); },
                      [&](nb::handle fn) { return fn(graph, str_key(key)); });
}

void cache_set(nb::handle graph, const char *key, nb::handle value) {
    via_module(Fn::graph_cache_set, [&] { direct::graph_cache_set(graph, str_key(key), value); },
               [&](nb::handle fn) { fn(graph, str_key(key), value); });
}

void invalidate_graph_evaluation_caches(nb::handle graph) {
    via_module(Fn::invalidate_graph_evaluation_caches,
               [&] { direct::invalidate_graph_evaluation_caches(graph); },
               [&](nb::handle fn) { fn(graph); });
}

void annotate_state_identities(nb::handle node) {
    via_module(Fn::annotate_state_identities,
               [&] { direct::annotate_state_identities(node, str_key("root")); },
               [&](nb::handle fn) { fn(node); });
}

}  // namespace ee
