// Conversion of the graph's filtration sub-trees into FilterNode trees for the filtration
// engine, and their compact descriptions for error messages.
#include "filtrations.hpp"

#include "../graph/access.hpp"

namespace ee {

namespace {

bool is_any(nb::handle value, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (equals_str(value, name)) return true;
    return false;
}

void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) != 0) throw nb::python_error();
}

nb::handle at(nb::handle list, Py_ssize_t i) { return PyList_GET_ITEM(list.ptr(), i); }
Py_ssize_t size(nb::handle list) { return PyList_GET_SIZE(list.ptr()); }

// The module's _dict_to_filter_node and _describe_dict_filter for a child sub-tree.
nb::object filter_node_at(nb::handle node, nb::handle path) {
    return call_module<direct::dict_to_filter_node>(Fn::dict_to_filter_node, node, path);
}

nb::object description_at(nb::handle node, nb::handle path) {
    return call_module<direct::describe_dict_filter>(Fn::describe_dict_filter, node, path);
}

}  // namespace

nb::object direct::dict_to_filter_node(nb::handle graph_node, nb::handle path) {
    RecursionGuard guard("");
    nb::object nval = require_value(graph_node, path);
    nb::object raw_children = ee::graph_children(graph_node);

    nb::object params = check(PyDict_New());
    nb::object child_nodes = check(PyList_New(0));
    nb::object string_vals = check(PyList_New(0));
    nb::object float_vals = check(PyList_New(0));
    nb::object int_vals = check(PyList_New(0));

    for_each_child(raw_children, [&](Py_ssize_t i, nb::handle child) {
        nb::object cpath = child_path(path, i);
        nb::object ctype = require_type(child, cpath);
        if (contains(global("FILTRATION_NODE_TYPES"), ctype)) {
            append(child_nodes, filter_node_at(child, cpath));
        } else if (equals_str(ctype, "string")) {
            append(string_vals, require_value(child, cpath));
        } else if (equals_str(ctype, "float")) {
            append(float_vals, require_value(child, cpath));
        } else if (equals_str(ctype, "int")) {
            append(int_vals, require_value(child, cpath));
        }
        // Other kinds (bool literals, data leaves, functions) carry nothing for a filter.
    });

    if (is_any(nval, {"gt", "lt", "gte", "lte", "eq", "neq"})) {
        if (size(string_vals) > 0) set_item(params, "field", at(string_vals, 0));
        if (size(float_vals) > 0)
            set_item(params, "value", at(float_vals, 0));
        else if (size(int_vals) > 0)
            set_item(params, "value", at(int_vals, 0));
        if (is_any(nval, {"eq", "neq"}) && size(string_vals) >= 2)
            set_item(params, "value", at(string_vals, 1));
    } else if (equals_str(nval, "between")) {
        if (size(string_vals) > 0) set_item(params, "field", at(string_vals, 0));
        if (size(float_vals) >= 2) {
            set_item(params, "low", at(float_vals, 0));
            set_item(params, "high", at(float_vals, 1));
        }
    } else if (equals_str(nval, "in_")) {
        if (size(string_vals) > 0) {
            set_item(params, "field", at(string_vals, 0));
            if (size(string_vals) >= 2)
                set_item(params, "values",
                         check(PyList_GetSlice(string_vals.ptr(), 1, size(string_vals))));
        }
    } else if (is_any(nval, {"top_pct", "bottom_pct"})) {
        if (size(string_vals) > 0) set_item(params, "field", at(string_vals, 0));
        if (size(float_vals) > 0) set_item(params, "pct", at(float_vals, 0));
    } else if (is_any(nval, {"top_n", "bottom_n"})) {
        if (size(string_vals) > 0) set_item(params, "field", at(string_vals, 0));
        if (size(int_vals) > 0) set_item(params, "n", at(int_vals, 0));
    }

    nb::object kwargs = check(PyDict_New());
    set_item(kwargs, "function_name", nval);
    set_item(kwargs, "params", params);
    set_item(kwargs, "children", child_nodes);
    nb::object no_args = check(PyTuple_New(0));
    return check(PyObject_Call(global("FilterNode").ptr(), no_args.ptr(), kwargs.ptr()));
}

nb::object direct::describe_dict_filter(nb::handle node, nb::handle path) {
    RecursionGuard guard("");
    nb::object nval = require_value(node, path);
    nb::object children = ee::graph_children(node);

    if (equals_str(nval, "filtration")) {
        if (!truthy(children)) return pystr("filtration()");
        nb::object zero = check(PyLong_FromLong(0));
        nb::object first = check(PyObject_GetItem(children.ptr(), zero.ptr()));
        nb::object inner = description_at(first, child_path(path, 0));
        nb::object open = check(PyUnicode_Concat(pystr("filtration(").ptr(), inner.ptr()));
        return check(PyUnicode_Concat(open.ptr(), pystr(")").ptr()));
    }

    bool is_gt = equals_str(nval, "gt");
    if (!is_gt && !is_any(nval, {"and_", "or_", "not_"})) return check(PyObject_Str(nval.ptr()));

    nb::object parts = check(PyList_New(0));
    for_each_child(children, [&](Py_ssize_t i, nb::handle child) {
        nb::object cpath = child_path(path, i);
        if (is_gt)  // literal values, or the operator name of a nested filter
            append(parts, check(PyObject_Str(require_value(child, cpath).ptr())));
        else
            append(parts, description_at(child, cpath));
    });
    nb::object joined = check(PyUnicode_Join(pystr(", ").ptr(), parts.ptr()));
    nb::object head = is_gt ? pystr("gt(") : check(PyNumber_Add(nval.ptr(), pystr("(").ptr()));
    nb::object text = check(PyNumber_Add(head.ptr(), joined.ptr()));
    return check(PyNumber_Add(text.ptr(), pystr(")").ptr()));
}

nb::object dict_to_filter_node(nb::handle graph_node) {
    return via_module(
        Fn::dict_to_filter_node,
        [&] { return direct::dict_to_filter_node(graph_node, str_key("filtration")); },
        [&](nb::handle fn) { return fn(graph_node); });
}

nb::object describe_dict_filter(nb::handle node) {
    return via_module(Fn::describe_dict_filter,
                      [&] { return direct::describe_dict_filter(node, str_key("filtration")); },
                      [&](nb::handle fn) { return fn(node); });
}

}  // namespace ee
