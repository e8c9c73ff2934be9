// Checked access to graph nodes and registry parameter schemas. Every part of the module
// reads graph nodes through these functions; `path` is the text that names the node in
// error messages ("root.c1", or a label such as "fast_path.feature").
//
// The functions in namespace ee go through the module's own accessors (via_module), so a
// replaced accessor is honoured by every caller; ee::direct holds the implementations
// behind the module functions.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

#include <string>
#include <utility>
#include <vector>

namespace ee {

// A node path as the caller holds it: a Python object, or text that becomes a str only
// when a replaced accessor is called or a message is written.
struct PathRef {
    nb::handle obj;
    const char *text = nullptr;
    PathRef(nb::handle o) : obj(o) {}
    PathRef(const nb::object &o) : obj(o) {}
    PathRef(const char *t) : text(t) {}
    PathRef(const std::string &t) : text(t.c_str()) {}
    nb::object object() const { return obj.is_valid() ? nb::borrow(obj) : pystr(text); }
    std::string formatted() const { return obj.is_valid() ? format_text(obj) : text; }
    std::string str() const { return obj.is_valid() ? to_str(obj) : text; }
};

// The node itself when it is a FunctionGraphNode (subclasses pass); SchemaError otherwise.
nb::object require_node_instance(nb::handle node, PathRef path);

// Whether the node has the attribute `key` (after the node check, label "field-check").
bool graph_has_field(nb::handle node, nb::handle key);
inline bool graph_has_field(nb::handle node, const char *key) {
    return graph_has_field(node, nb::handle(interned(key)));
}

// The attribute `key`; EvaluationError "... missing required key: key" when absent.
nb::object require_graph_field(nb::handle node, nb::handle key, PathRef path);

// The node's type and value (required fields).
nb::object require_type(nb::handle node, PathRef path);
nb::object require_value(nb::handle node, PathRef path);

// The node's children object (never None: a falsy value gives a new empty list).
nb::object graph_children(nb::handle node);

// A fresh dict of the node's configuration.
nb::object graph_config_dict(nb::handle node);

// The node's configuration to read keys from: graph_config_dict(node), or None where that
// is a new empty dict.
nb::object config_for_reading(nb::handle node);

// The children that graph_children(node) gives, in a vector.
std::vector<nb::object> child_nodes(nb::handle node);

// The schema itself, or an empty tuple for None.
nb::object iter_schema_items(nb::handle schema);

// (name, parameter type) of one schema item.
std::pair<nb::object, nb::object> schema_param_name_and_type(nb::handle item,
                                                             nb::handle fallback_name);

// The list of the names of an entry's literal parameters, in schema order.
nb::object config_param_names(nb::handle entry);

// The children as a vector of strong references, in iteration order.
std::vector<nb::object> children_vector(nb::handle children);

// Calls fn(index, child) for each child of `children`, iterating the object itself (so a
// sequence mutated during the walk behaves as a Python for-loop over it would).
template <typename F> void for_each_child(nb::handle children, F &&fn) {
    nb::object it = check(PyObject_GetIter(children.ptr()));
    Py_ssize_t index = 0;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object child = nb::steal(raw);
        fn(index++, child);
    }
    throw_if_error();
}

namespace direct {
nb::object require_node_instance(nb::handle node, PathRef path);
bool graph_has_field(nb::handle node, nb::handle key);
nb::object require_graph_field(nb::handle node, nb::handle key, PathRef path);
nb::object graph_children(nb::handle node);
nb::object graph_config_dict(nb::handle node);
nb::object iter_schema_items(nb::handle schema);
nb::object schema_param_name_and_type(nb::handle item, nb::handle fallback_name);
nb::object config_param_names(nb::handle entry);
}  // namespace direct

}  // namespace ee
