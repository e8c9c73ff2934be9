// Cache slots kept on graph node objects, the node-identity table and the state
// identities that keep function-state keys stable when a graph is wrapped.
#include "access.hpp"
#include "model.hpp"

namespace ee {

// ".c<index>" for the first child positions, built once (the GIL guards the table).
static PyObject *child_suffix(Py_ssize_t index) {
    static PyObject *table[64] = {nullptr};
    if (index >= 64) return nullptr;
    if (!table[index]) table[index] = check(PyUnicode_FromFormat(".c%zd", index)).release().ptr();
    return table[index];
}

nb::object format_child_path(nb::handle parent, Py_ssize_t index) {
    nb::object text;
    if (PyUnicode_CheckExact(parent.ptr())) {
        text = nb::borrow(parent);
    } else {
        nb::object empty_format = check(PyUnicode_FromString(""));
        text = check(PyObject_Format(parent.ptr(), empty_format.ptr()));
    }
    if (PyObject *suffix = child_suffix(index)) return check(PyUnicode_Concat(text.ptr(), suffix));
    return check(PyUnicode_FromFormat("%U.c%zd", text.ptr(), index));
}

static bool is_graph_node(nb::handle obj) { return is_instance(obj, global("FunctionGraphNode")); }

// ---- slots ---------------------------------------------------------------------------

nb::object graph_cache_get(nb::handle graph, nb::handle key) {
    require_node_instance(graph, "cache");
    PyObject *value = PyObject_GetAttr(graph.ptr(), key.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

nb::object graph_cache_get(nb::handle graph, const char *key) {
    return graph_cache_get(graph, pystr(key));
}

void graph_cache_set(nb::handle graph, nb::handle key, nb::handle value) {
    require_node_instance(graph, "cache");
    if (PyObject_SetAttr(graph.ptr(), key.ptr(), value.ptr()) == 0) return;
    // A frozen or slotted node class keeps its previous value.
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return;
    }
    throw nb::python_error();
}

void graph_cache_set(nb::handle graph, const char *key, nb::handle value) {
    graph_cache_set(graph, pystr(key), value);
}

void invalidate_graph_evaluation_caches(nb::handle graph) {
    if (!is_graph_node(graph)) return;
    RecursionGuard guard("");
    set_attr(graph, "_collect_nodes_cache", Py_None);
    set_attr(graph, "_node_identities", Py_None);
    nb::object children = graph_children(graph);
    for_each_child(children, [](Py_ssize_t, nb::handle child) {
        invalidate_graph_evaluation_caches(child);
    });
}

// ---- identities ----------------------------------------------------------------------

static void collect_identities(nb::handle node, nb::handle path, nb::handle result) {
    RecursionGuard guard("");
    nb::object value = require_value(node, path);
    if (PyDict_SetItem(result.ptr(), path.ptr(), value.ptr()) != 0) throw nb::python_error();
    nb::object children = graph_children(node);
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        collect_identities(child, format_child_path(path, i), result);
    });
}

nb::object generate_node_identities(nb::handle graph) {
    nb::object cached = graph_cache_get(graph, "_node_identities");
    if (!cached.is_none()) return cached;
    nb::object result = check(PyDict_New());
    collect_identities(graph, pystr("root"), result);
    graph_cache_set(graph, "_node_identities", result);
    return result;
}

void annotate_state_identities(nb::handle node, nb::handle path) {
    RecursionGuard guard("");
    nb::object type = require_type(node, path);
    if (equals_str(type, "rotation") || equals_str(type, "reduction"))
        graph_cache_set(node, "_state_identity", path);
    nb::object children = graph_children(node);
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        annotate_state_identities(child, format_child_path(path, i));
    });
}

void annotate_state_identities(nb::handle node) { annotate_state_identities(node, pystr("root")); }

// ---- module functions ----------------------------------------------------------------

namespace {

EE_ENTRY(py_graph_cache_get) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"graph", "key", nullptr};
        PyObject *graph, *key;
        parse_args(args, kwargs, "OO:_graph_cache_get", kw, &graph, &key);
        return graph_cache_get(graph, nb::handle(key));
    });
}

EE_ENTRY(py_graph_cache_set) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"graph", "key", "value", nullptr};
        PyObject *graph, *key, *value;
        parse_args(args, kwargs, "OOO:_graph_cache_set", kw, &graph, &key, &value);
        graph_cache_set(graph, nb::handle(key), value);
        return none();
    });
}

EE_ENTRY(py_invalidate_graph_evaluation_caches) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"graph", nullptr};
        PyObject *graph;
        parse_args(args, kwargs, "O:invalidate_graph_evaluation_caches", kw, &graph);
        invalidate_graph_evaluation_caches(graph);
        return none();
    });
}

EE_ENTRY(py_generate_node_identities) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"graph", nullptr};
        PyObject *graph;
        parse_args(args, kwargs, "O:generate_node_identities", kw, &graph);
        return generate_node_identities(graph);
    });
}

EE_ENTRY(py_annotate_state_identities) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "path", nullptr};
        PyObject *node, *path = nullptr;
        parse_args(args, kwargs, "O|O:_annotate_state_identities", kw, &node, &path);
        if (path)
            annotate_state_identities(node, nb::handle(path));
        else
            annotate_state_identities(node);
        return none();
    });
}

PyMethodDef kMethods[] = {
    EE_DEF("generate_node_identities", py_generate_node_identities,
           "generate_node_identities($module, /, graph)\n--\n\n"
           "Map every node path of the graph (\"root\", \"root.c0\", ...) to the node's value.\n\n"
           "The dict is built once per graph object, in pre-order, and kept on the root until\n"
           "invalidate_graph_evaluation_caches() clears it; callers must not modify it."),
    EE_DEF("invalidate_graph_evaluation_caches", py_invalidate_graph_evaluation_caches,
           "invalidate_graph_evaluation_caches($module, /, graph)\n--\n\n"
           "Clear the structure caches (node identities, collected nodes) of every node of\n"
           "the graph. Call it after changing a graph's structure in place. Objects that are\n"
           "not graph nodes are ignored."),
    EE_DEF("_graph_cache_get", py_graph_cache_get,
           "_graph_cache_get($module, /, graph, key)\n--\n\n"
           "The cache slot key of a graph node, or None when it was never written."),
    EE_DEF("_graph_cache_set", py_graph_cache_set,
           "_graph_cache_set($module, /, graph, key, value)\n--\n\n"
           "Store value in the cache slot key of a graph node; a node that refuses the\n"
           "attribute is left unchanged."),
    EE_DEF("_annotate_state_identities", py_annotate_state_identities,
           "_annotate_state_identities($module, /, node, path='root')\n--\n\n"
           "Record on every rotation and reduction node its current path as the key of its\n"
           "function state."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_graph_caches(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
