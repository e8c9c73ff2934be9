// Checked access to graph nodes and registry parameter schemas. Every part of the module
// reads graph nodes through these functions; `path` is the text that names the node in
// error messages ("root.c1", or a label such as "fast_path.feature").
#pragma once

#include "../common/py.hpp"

#include <string>
#include <utility>
#include <vector>

namespace ee {

// The node itself when it is a FunctionGraphNode (subclasses pass); SchemaError otherwise.
nb::handle require_node_instance(nb::handle node, nb::handle path);
nb::handle require_node_instance(nb::handle node, const char *path);

// has_attr(node, key) after the node check (label "field-check").
bool graph_has_field(nb::handle node, const char *key);

// The attribute `key`; EvaluationError "... missing required key: key" when absent.
nb::object require_graph_field(nb::handle node, const char *key, nb::handle path);
nb::object require_graph_field(nb::handle node, const char *key, const std::string &path);

inline nb::object require_type(nb::handle node, nb::handle path) {
    return require_graph_field(node, "type", path);
}
inline nb::object require_value(nb::handle node, nb::handle path) {
    return require_graph_field(node, "node", path);
}
nb::object require_type(nb::handle node, const char *path);
nb::object require_value(nb::handle node, const char *path);

// The node's children object (never None: a falsy value gives a new empty list).
nb::object graph_children(nb::handle node);

// The children as a vector of strong references, in iteration order.
std::vector<nb::object> children_vector(nb::handle children);

// A fresh dict of the node's configuration.
nb::object graph_config_dict(nb::handle node);

// The schema itself, or an empty tuple for None.
nb::object iter_schema_items(nb::handle schema);

// (name, parameter type) of one schema item.
std::pair<nb::object, nb::object> schema_param_name_and_type(nb::handle item,
                                                             nb::handle fallback_name);

// The list of the names of an entry's literal parameters, in schema order.
nb::object config_param_names(nb::handle entry);

// Child path: parent + ".c" + index.
nb::object child_path(nb::handle parent, Py_ssize_t index);
std::string child_path(const std::string &parent, Py_ssize_t index);

}  // namespace ee
