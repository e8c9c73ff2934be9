#include "access.hpp"

#include "../module_parts.hpp"

namespace ee {

static std::string format_text(nb::handle value) {
    nb::object empty = check(PyUnicode_FromString(""));
    return to_str(check(PyObject_Format(value.ptr(), empty.ptr())));
}

nb::handle require_node_instance(nb::handle node, nb::handle path) {
    nb::object cls = global("FunctionGraphNode");
    if (is_instance(node, cls)) return node;
    raise_global("SchemaError", "Graph node '" + format_text(path) +
                                    "' must be FunctionGraphNode; got " + tname(node));
}

nb::handle require_node_instance(nb::handle node, const char *path) {
    nb::object cls = global("FunctionGraphNode");
    if (is_instance(node, cls)) return node;
    raise_global("SchemaError", std::string("Graph node '") + path +
                                    "' must be FunctionGraphNode; got " + tname(node));
}

bool graph_has_field(nb::handle node, const char *key) {
    require_node_instance(node, "field-check");
    return has_attr(node, key);
}

nb::object require_graph_field(nb::handle node, const char *key, nb::handle path) {
    if (!graph_has_field(node, key))
        raise_global("EvaluationError",
                     "Graph node '" + to_str(path) + "' missing required key: " + key);
    return get_attr(node, key);
}

nb::object require_graph_field(nb::handle node, const char *key, const std::string &path) {
    if (!graph_has_field(node, key))
        raise_global("EvaluationError",
                     "Graph node '" + path + "' missing required key: " + key);
    return get_attr(node, key);
}

nb::object require_type(nb::handle node, const char *path) {
    return require_graph_field(node, "type", pystr(path));
}

nb::object require_value(nb::handle node, const char *path) {
    return require_graph_field(node, "node", pystr(path));
}

nb::object graph_children(nb::handle node) {
    require_node_instance(node, "children");
    nb::object children = get_attr(node, "children");
    if (truthy(children)) return children;
    return check(PyList_New(0));
}

std::vector<nb::object> children_vector(nb::handle children) {
    std::vector<nb::object> out;
    if (PyList_CheckExact(children.ptr()) || PyTuple_CheckExact(children.ptr()))
        out.reserve((size_t) PySequence_Fast_GET_SIZE(children.ptr()));
    nb::object it = check(PyObject_GetIter(children.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) out.push_back(nb::steal(item));
    throw_if_error();
    return out;
}

nb::object graph_config_dict(nb::handle node) {
    require_node_instance(node, "config");
    nb::object config = get_attr(node, "config");
    if (config.is_none()) return check(PyDict_New());
    return check(PyObject_CallOneArg((PyObject *) &PyDict_Type, config.ptr()));
}

nb::object iter_schema_items(nb::handle schema) {
    if (schema.is_none()) return check(PyTuple_New(0));
    return nb::borrow(schema);
}

static nb::object dict_get(nb::handle d, const char *key, nb::handle dflt) {
    // d.get(key, default), honouring dict subclasses that override get().
    return get_attr(d, "get")(key, dflt);
}

std::pair<nb::object, nb::object> schema_param_name_and_type(nb::handle item,
                                                             nb::handle fallback_name) {
    if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        nb::object name = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::object constraint = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        if (PyDict_Check(constraint.ptr()))
            return {name, dict_get(constraint, "type", nb::none())};
        if (PyUnicode_Check(constraint.ptr())) return {name, constraint};
        return {name, attr_or(constraint, "type", nb::none())};
    }
    if (PyDict_Check(item.ptr()))
        return {dict_get(item, "name", fallback_name), dict_get(item, "type", nb::none())};
    return {attr_or(item, "name", fallback_name), attr_or(item, "type", nb::none())};
}

nb::object config_param_names(nb::handle entry) {
    nb::object schema = attr_or(entry, "param_schema", nb::none());
    nb::object items;
    if (PyDict_Check(schema.ptr()))
        items = check(PySequence_List(get_attr(schema, "items")().ptr()));
    else
        items = check(PySequence_List(iter_schema_items(schema).ptr()));
    nb::object literal_types = global("_CONFIG_CHILD_TYPES");
    nb::object result = check(PyList_New(0));
    for (Py_ssize_t idx = 0; idx < PyList_GET_SIZE(items.ptr()); ++idx) {
        nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), idx));
        nb::object fallback = pystr("param_" + std::to_string(idx));
        auto [name, param_type] = schema_param_name_and_type(item, fallback);
        if (contains(literal_types, param_type) && truthy(name)) {
            nb::object text = check(PyObject_Str(name.ptr()));
            if (PyList_Append(result.ptr(), text.ptr()) != 0) throw nb::python_error();
        }
    }
    return result;
}

nb::object child_path(nb::handle parent, Py_ssize_t index) {
    return check(PyUnicode_FromFormat("%U.c%zd", parent.ptr(), index));
}

std::string child_path(const std::string &parent, Py_ssize_t index) {
    return parent + ".c" + std::to_string(index);
}

// ---------------------------------------------------------------------------------------
// Module functions.

namespace {

EE_ENTRY(py_require_graph_node_instance) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "path", nullptr};
        PyObject *node, *path;
        parse_args(args, kwargs, "OO:_require_graph_node_instance", kw, &node, &path);
        return nb::borrow(require_node_instance(node, nb::handle(path)));
    });
}

EE_ENTRY(py_graph_has_field) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "key", nullptr};
        PyObject *node, *key;
        parse_args(args, kwargs, "OO:_graph_has_field", kw, &node, &key);
        require_node_instance(node, "field-check");
        PyObject *value = PyObject_GetAttr(node, key);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
        }
        bool present = value != nullptr;
        Py_XDECREF(value);
        return nb::borrow(present ? Py_True : Py_False);
    });
}

// The attribute name may be any object in these module-level entries; hasattr/getattr
// with a non-str name raise TypeError as Python does.
nb::object field_by_object(nb::handle node, nb::handle key, nb::handle path) {
    require_node_instance(node, "field-check");
    PyObject *value = PyObject_GetAttr(node.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        raise_global("EvaluationError",
                     "Graph node '" + to_str(path) + "' missing required key: " + to_str(key));
    }
    Py_DECREF(value);
    // Read again, as getattr after hasattr does.
    return check(PyObject_GetAttr(node.ptr(), key.ptr()));
}

EE_ENTRY(py_require_graph_field) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "key", "path", nullptr};
        PyObject *node, *key, *path;
        parse_args(args, kwargs, "OOO:_require_graph_field", kw, &node, &key, &path);
        return field_by_object(node, key, path);
    });
}

EE_ENTRY(py_require_graph_type_value) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "path", nullptr};
        PyObject *node, *path;
        parse_args(args, kwargs, "OO:_require_graph_type_value", kw, &node, &path);
        return require_type(node, nb::handle(path));
    });
}

EE_ENTRY(py_require_graph_node_value) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", "path", nullptr};
        PyObject *node, *path;
        parse_args(args, kwargs, "OO:_require_graph_node_value", kw, &node, &path);
        return require_value(node, nb::handle(path));
    });
}

EE_ENTRY(py_graph_children) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", nullptr};
        PyObject *node;
        parse_args(args, kwargs, "O:_graph_children", kw, &node);
        return graph_children(node);
    });
}

EE_ENTRY(py_graph_config_dict) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"node", nullptr};
        PyObject *node;
        parse_args(args, kwargs, "O:_graph_config_dict", kw, &node);
        return graph_config_dict(node);
    });
}

EE_ENTRY(py_iter_schema_items) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"schema", nullptr};
        PyObject *schema;
        parse_args(args, kwargs, "O:_iter_schema_items", kw, &schema);
        return iter_schema_items(schema);
    });
}

EE_ENTRY(py_schema_param_name_and_type) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"item", "fallback_name", nullptr};
        PyObject *item, *fallback = Py_None;
        parse_args(args, kwargs, "O|O:_schema_param_name_and_type", kw, &item, &fallback);
        auto [name, type] = schema_param_name_and_type(item, fallback);
        return check(PyTuple_Pack(2, name.ptr(), type.ptr()));
    });
}

EE_ENTRY(py_config_param_names) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"entry", nullptr};
        PyObject *entry;
        parse_args(args, kwargs, "O:_config_param_names", kw, &entry);
        return config_param_names(entry);
    });
}

PyMethodDef kMethods[] = {
    EE_DEF("_require_graph_node_instance", py_require_graph_node_instance,
           "_require_graph_node_instance($module, /, node, path)\n--\n\n"
           "Return node when it is a FunctionGraphNode; raise SchemaError naming path."),
    EE_DEF("_graph_has_field", py_graph_has_field,
           "_graph_has_field($module, /, node, key)\n--\n\n"
           "Whether the graph node has the attribute key."),
    EE_DEF("_require_graph_field", py_require_graph_field,
           "_require_graph_field($module, /, node, key, path)\n--\n\n"
           "The attribute key of the node; EvaluationError when it is missing."),
    EE_DEF("_require_graph_type_value", py_require_graph_type_value,
           "_require_graph_type_value($module, /, node, path)\n--\n\nThe node's type."),
    EE_DEF("_require_graph_node_value", py_require_graph_node_value,
           "_require_graph_node_value($module, /, node, path)\n--\n\nThe node's value."),
    EE_DEF("_graph_children", py_graph_children,
           "_graph_children($module, /, node)\n--\n\n"
           "The node's children, or a new empty list when it has none."),
    EE_DEF("_graph_config_dict", py_graph_config_dict,
           "_graph_config_dict($module, /, node)\n--\n\n"
           "A fresh dict of the node's configuration."),
    EE_DEF("_iter_schema_items", py_iter_schema_items,
           "_iter_schema_items($module, /, schema)\n--\n\n"
           "The schema itself, or an empty tuple for None."),
    EE_DEF("_schema_param_name_and_type", py_schema_param_name_and_type,
           "_schema_param_name_and_type($module, /, item, fallback_name=None)\n--\n\n"
           "The (name, parameter type) pair of one parameter-schema item."),
    EE_DEF("_config_param_names", py_config_param_names,
           "_config_param_names($module, /, entry)\n--\n\n"
           "Names of the literal parameters of a registry entry, in schema order."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_graph_access(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
