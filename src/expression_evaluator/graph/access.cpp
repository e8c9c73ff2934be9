#include "access.hpp"

namespace ee {

namespace {

nb::object children_or_empty(nb::handle children) {
    return truthy(children) ? nb::borrow(children) : check(PyList_New(0));
}

nb::object config_copy(nb::handle config) {
    if (config.is_none()) return check(PyDict_New());
    return check(PyObject_CallOneArg((PyObject *) &PyDict_Type, config.ptr()));
}

}  // namespace

namespace direct {

nb::object require_node_instance(nb::handle node, PathRef path) {
    if (is_instance(node, global("FunctionGraphNode"))) return nb::borrow(node);
    raise_global("SchemaError", "Graph node '" + path.formatted() +
                                    "' must be FunctionGraphNode; got " + tname(node));
}

bool graph_has_field(nb::handle node, nb::handle key) {
    ee::require_node_instance(node, "field-check");
    PyObject *value = PyObject_GetAttr(node.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    Py_DECREF(value);
    return true;
}

nb::object require_graph_field(nb::handle node, nb::handle key, PathRef path) {
    if (!ee::graph_has_field(node, key))
        raise_global("EvaluationError",
                     "Graph node '" + path.str() + "' missing required key: " + to_str(key));
    return check(PyObject_GetAttr(node.ptr(), key.ptr()));
}

nb::object graph_children(nb::handle node) {
    ee::require_node_instance(node, "children");
    return children_or_empty(get_attr(node, "children"));
}

nb::object graph_config_dict(nb::handle node) {
    ee::require_node_instance(node, "config");
    return config_copy(get_attr(node, "config"));
}

nb::object iter_schema_items(nb::handle schema) {
    if (schema.is_none()) return check(PyTuple_New(0));
    return nb::borrow(schema);
}

nb::object schema_param_name_and_type(nb::handle item, nb::handle fallback_name) {
    auto pair = [](nb::handle a, nb::handle b) { return check(PyTuple_Pack(2, a.ptr(), b.ptr())); };
    if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        nb::object name = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::object constraint = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        // A dict subclass may override get().
        if (PyDict_Check(constraint.ptr()))
            return pair(name, call_method(constraint, "get", str_key("type"), nb::none()));
        if (PyUnicode_Check(constraint.ptr())) return pair(name, constraint);
        return pair(name, attr_or(constraint, "type", nb::none()));
    }
    if (PyDict_Check(item.ptr()))
        return pair(call_method(item, "get", str_key("name"), fallback_name),
                    call_method(item, "get", str_key("type"), nb::none()));
    return pair(attr_or(item, "name", fallback_name), attr_or(item, "type", nb::none()));
}

nb::object config_param_names(nb::handle entry) {
    nb::object schema = attr_or(entry, "param_schema", nb::none());
    nb::object items;
    if (PyDict_Check(schema.ptr()))
        items = check(PySequence_List(get_attr(schema, "items")().ptr()));
    else
        items = check(PySequence_List(ee::iter_schema_items(schema).ptr()));
    nb::object literal_types = global("_CONFIG_CHILD_TYPES");
    nb::object result = check(PyList_New(0));
    for (Py_ssize_t idx = 0; idx < PyList_GET_SIZE(items.ptr()); ++idx) {
        nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), idx));
        nb::object fallback = pystr("param_" + std::to_string(idx));
        auto [name, param_type] = ee::schema_param_name_and_type(item, fallback);
        if (contains(literal_types, param_type) && truthy(name)) {
            nb::object text = check(PyObject_Str(name.ptr()));
            if (PyList_Append(result.ptr(), text.ptr()) != 0) throw nb::python_error();
        }
    }
    return result;
}

}  // namespace direct

namespace {

// The module's accessors read a field with hasattr, then getattr. Where both reads must
// give the same value, one read does: every module function is the module's own, and the
// node is a FunctionGraphNode itself (not a subclass), whose class looks attributes up the
// plain way and has no class attribute of that name. 1: `out` is the field, 0: the node
// has no such field, -1: not such a node.
int plain_field(nb::handle node, const char *key, nb::object &out) {
    if (!all_original()) return -1;
    PyTypeObject *t = Py_TYPE(node.ptr());
    if ((PyObject *) t != global("FunctionGraphNode").ptr()) return -1;
    PyObject *name = interned(key);
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, name)) return -1;
    PyObject *value = nullptr;
    int found = _PyObject_LookupAttr(node.ptr(), name, &value);
    if (found < 0) throw nb::python_error();
    if (found) out = nb::steal(value);
    return found;
}

}  // namespace

nb::object require_node_instance(nb::handle node, PathRef path) {
    // isinstance() of an object of exactly the class is true without asking the class.
    if (all_original() && (PyObject *) Py_TYPE(node.ptr()) == global("FunctionGraphNode").ptr())
        return nb::borrow(node);
    return via_module(Fn::require_graph_node_instance,
                      [&] { return direct::require_node_instance(node, path); },
                      [&](nb::handle fn) { return fn(node, path.object()); });
}

bool graph_has_field(nb::handle node, nb::handle key) {
    return via_module(Fn::graph_has_field, [&] { return direct::graph_has_field(node, key); },
                      [&](nb::handle fn) { return truthy(fn(node, key)); });
}

nb::object require_graph_field(nb::handle node, nb::handle key, PathRef path) {
    return via_module(Fn::require_graph_field,
                      [&] { return direct::require_graph_field(node, key, path); },
                      [&](nb::handle fn) { return fn(node, key, path.object()); });
}

namespace {

// The node's `name` field, through the module function `fn` unless read plainly.
nb::object required_field(nb::handle node, const char *name, Fn fn, PathRef path) {
    nb::object value;
    if (plain_field(node, name, value) == 1) return value;
    return via_module(fn, [&] { return ee::require_graph_field(node, str_key(name), path); },
                      [&](nb::handle f) { return f(node, path.object()); });
}

}  // namespace

nb::object require_type(nb::handle node, PathRef path) {
    return required_field(node, "type", Fn::require_graph_type_value, path);
}

nb::object require_value(nb::handle node, PathRef path) {
    return required_field(node, "node", Fn::require_graph_node_value, path);
}

nb::object graph_children(nb::handle node) {
    nb::object children;
    if (plain_field(node, "children", children) == 1) return children_or_empty(children);
    return call_module<direct::graph_children>(Fn::graph_children, node);
}

nb::object graph_config_dict(nb::handle node) {
    nb::object config;
    if (plain_field(node, "config", config) == 1) return config_copy(config);
    return call_module<direct::graph_config_dict>(Fn::graph_config_dict, node);
}

nb::object config_for_reading(nb::handle node) {
    nb::object config;
    if (plain_field(node, "config", config) == 1 && config.is_none()) return config;
    return ee::graph_config_dict(node);
}

std::vector<nb::object> child_nodes(nb::handle node) {
    nb::object children;
    if (plain_field(node, "children", children) == 1 && !truthy(children)) return {};
    return children_vector(children.is_valid() ? children : ee::graph_children(node));
}

nb::object iter_schema_items(nb::handle schema) {
    return call_module<direct::iter_schema_items>(Fn::iter_schema_items, schema);
}

std::pair<nb::object, nb::object> schema_param_name_and_type(nb::handle item,
                                                             nb::handle fallback_name) {
    nb::object pair = call_module<direct::schema_param_name_and_type>(
        Fn::schema_param_name_and_type, item, fallback_name);
    if (PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1))};
    return unpack2(pair);  // a replacement's result, unpacked as Python would
}

nb::object config_param_names(nb::handle entry) {
    return call_module<direct::config_param_names>(Fn::config_param_names, entry);
}

std::vector<nb::object> children_vector(nb::handle children) {
    std::vector<nb::object> out;
    if (PyList_CheckExact(children.ptr()) || PyTuple_CheckExact(children.ptr())) {
        // Iterating these runs no Python code: the items as they are now.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(children.ptr());
        out.reserve((size_t) n);
        for (Py_ssize_t i = 0; i < n; ++i)
            out.push_back(nb::borrow(PySequence_Fast_GET_ITEM(children.ptr(), i)));
        return out;
    }
    nb::object it = check(PyObject_GetIter(children.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) out.push_back(nb::steal(item));
    throw_if_error();
    return out;
}

}  // namespace ee
