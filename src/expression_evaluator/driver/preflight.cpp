// Preflight of explicit function configuration: engine-only parameter names, and the
// parameters a "virtualization" function's schema declares. The same rules are applied
// once more per node where instances are created (validate), where an empty schema
// accepts no parameters at all.
#include "driver.hpp"

#include "../graph/access.hpp"

namespace ee::driver {

namespace {

// One empty frozenset for every empty configuration and name set (only ever read).
nb::object empty_frozen() {
    static PyObject *empty = PyFrozenSet_New(nullptr);  // kept for good
    if (!empty) throw nb::python_error();
    return nb::borrow(empty);
}

bool is_function_type(nb::handle ntype) {
    return equals_str(ntype, "rotation") || equals_str(ntype, "reduction");
}

nb::object sorted_list(nb::handle list) {
    if (PyList_Sort(list.ptr()) != 0) throw nb::python_error();
    return nb::borrow(list);
}

std::string joined(nb::handle list) {
    nb::object sep = str_key(", ");
    return to_str(check(PyUnicode_Join(sep.ptr(), list.ptr())));
}

// The node path as it appears in messages (format() of a str path is its text).
std::string path_text(nb::handle path) { return format_text(path); }
const std::string &path_text(const std::string &path) { return path; }

// Engine-only parameter names may never come from a graph.
template <typename Path>
void check_engine_only(nb::handle fname, nb::handle config, const Path &path) {
    if ((PyDict_CheckExact(config.ptr()) && PyDict_GET_SIZE(config.ptr()) == 0) ||
        config.ptr() == empty_frozen().ptr())
        return;
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
                 "Function '" + format_text(fname) + "' at node '" + path_text(path) +
                     "' config contains engine-only parameter(s): " + joined(found));
}

template <typename Path>
[[noreturn]] void raise_unknown(nb::handle fname, const Path &path, nb::handle keys) {
    sorted_list(keys);
    raise_global("FunctionExecutionError", "Function '" + format_text(fname) + "' at node '" +
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
    nb::object family = attr_or(entry, "family", str_key(""));
    return equals_str(family, "virtualization");
}

}  // namespace

nb::object ConfigChecks::schema_names(nb::handle entry) const {
    nb::object schema = attr_or(entry, "param_schema", nb::none());
    if (PyDict_Check(schema.ptr())) return check(PySet_New(schema.ptr()));
    if (schema.is_none() && all_original()) return empty_frozen();  // no items
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
    std::string buffer = path;
    preflight_at(node, buffer);
}

// `path` is the node's path; children append their suffix to it and take it off again.
void ConfigChecks::preflight_at(nb::handle node, std::string &path) const {
    RecursionGuard guard(" while checking the graph's function configuration");
    require_node_instance(node, path.c_str());
    nb::object ntype = require_type(node, path);
    nb::object nval = require_value(node, path);
    if (is_function_type(ntype)) {
        nb::object config = config_for_reading(node);
        if (config.is_none()) config = empty_frozen();
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
    std::vector<nb::object> kids = child_nodes(node);
    const size_t length = path.size();
    for (size_t i = 0; i < kids.size(); ++i) {
        path += ".c";
        path += std::to_string(i);
        preflight_at(kids[i], path);
        path.resize(length);
    }
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

}  // namespace ee::driver
