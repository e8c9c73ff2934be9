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

// A preflight walk as it went: every node in walk order with what its checks read. While
// the module's accessors and the node class are unchanged, a node whose __dict__ is at the
// version recorded here still holds the fields recorded here, and its own checks pass again
// without being read: only the registry is asked again about each function node.
struct PreflightWalk {
    struct Step {
        PyObject *node;       // held by its parent's children (the root: by the caller)
        uint64_t version = 0; // of the node's __dict__
        std::string path;
        size_t level = 0, end = 0;  // nesting level (root 1); the step after its subtree
        bool function = false;
        PyObject *value = nullptr;     // the "node" field, held by the node's __dict__
        PyObject *config = nullptr;    // a config dict held by the node's __dict__, or null
        uint64_t config_version = 0;
        PyObject *children = nullptr;  // a list or tuple held by the node's __dict__, or null
        std::vector<PyObject *> kids;
    };
    std::vector<Step> steps;
    PyTypeObject *node_type = nullptr;
    unsigned int type_tag = 0;
    bool plain = true;
    size_t level = 0;  // while recording

    // The module's accessors and the node class as they were recorded.
    bool current() const {
        return all_original() && (PyObject *) node_type == global("FunctionGraphNode").ptr() &&
               (node_type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
               node_type->tp_version_tag == type_tag;
    }

    static PyObject *dict_of(PyObject *node) {
        PyObject **slot = _PyObject_GetDictPtr(node);
        return slot && *slot && PyDict_CheckExact(*slot) ? *slot : nullptr;
    }

    bool unchanged(const Step &s) const {
        if (Py_TYPE(s.node) != node_type) return false;
        PyObject *dict = dict_of(s.node);
        if (!dict || dict_version(dict) != s.version) return false;
        if (s.config && dict_version(s.config) != s.config_version) return false;
        if (s.children && PyList_CheckExact(s.children)) {
            if (PyList_GET_SIZE(s.children) != (Py_ssize_t) s.kids.size()) return false;
            for (size_t i = 0; i < s.kids.size(); ++i)
                if (PyList_GET_ITEM(s.children, (Py_ssize_t) i) != s.kids[i]) return false;
        }
        return true;
    }

    // Recording. A node is replayable when its class reads the four fields from its
    // __dict__ and they are of the plain kinds the checks read without running Python code.
    bool begin() {
        PyTypeObject *t = (PyTypeObject *) global("FunctionGraphNode").ptr();
        if (!PyType_Check((PyObject *) t) || !all_original() ||
            t->tp_getattro != PyObject_GenericGetAttr)
            return false;
        for (const char *f : {"type", "node", "children", "config"})
            if (_PyType_Lookup(t, interned(f))) return false;
        if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && !PyUnstable_Type_AssignVersionTag(t))
            return false;
        node_type = t, type_tag = t->tp_version_tag;
        return true;
    }

    size_t enter(nb::handle node, const std::string &path) {
        steps.push_back(Step{node.ptr()});
        steps.back().path = path, steps.back().level = ++level;
        return steps.size() - 1;
    }

    void fields(size_t k, nb::handle ntype, nb::handle nval, bool function) {
        Step &s = steps[k];
        PyObject *dict = Py_TYPE(s.node) == node_type ? dict_of(s.node) : nullptr;
        if (!dict || !PyUnicode_CheckExact(ntype.ptr()) ||
            PyDict_GetItemWithError(dict, interned("type")) != ntype.ptr() ||
            PyDict_GetItemWithError(dict, interned("node")) != nval.ptr()) {
            plain = false;
            PyErr_Clear();
            return;
        }
        s.version = dict_version(dict), s.function = function, s.value = nval.ptr();
        PyObject *config = PyDict_GetItemWithError(dict, interned("config"));
        if (config && PyDict_CheckExact(config)) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(config, &pos, &key, &value))
                if (!PyUnicode_CheckExact(key)) plain = false;
            s.config = config, s.config_version = dict_version(config);
        } else if (config != Py_None) {
            plain = false;
        }
        PyErr_Clear();
    }

    void children(size_t k, const std::vector<nb::object> &kids) {
        Step &s = steps[k];
        PyObject *dict = dict_of(s.node);
        PyObject *c = dict ? PyDict_GetItemWithError(dict, interned("children")) : nullptr;
        PyErr_Clear();
        if (!dict || dict_version(dict) != s.version || !c) {
            plain = false;
            return;
        }
        if (PyList_CheckExact(c) || PyTuple_CheckExact(c)) {
            s.children = c;
        } else if (c != Py_None) {
            plain = false;
            return;
        }
        for (const nb::object &kid : kids) s.kids.push_back(kid.ptr());
    }

    void leave(size_t k) {
        steps[k].end = steps.size();
        --level;
    }
};

void ConfigChecks::preflight(nb::handle graph, bool keep) const {
    if (keep) {
        if (auto walk = kept_walk(graph)) return replay(*walk);
    }
    std::string path = "root";
    auto walk = std::make_shared<PreflightWalk>();
    PreflightWalk *record = keep && walk->begin() ? walk.get() : nullptr;
    preflight_at(graph, path, record);
    if (record && walk->plain && walk->current()) keep_walk(graph, std::move(walk));
}

// The walk replayed: a step whose node, class or accessors changed is walked anew from
// there (its subtree), as is what follows a registry call that changed them.
void ConfigChecks::replay(const PreflightWalk &walk) const {
    const char *where = " while checking the graph's function configuration";
    RecursionLevels levels(where);
    std::vector<nb::object> held;  // the children of every node visited, as a walk holds them
    held.reserve(walk.steps.size());
    bool fresh = true, current = walk.current();  // only the registry's calls change that
    for (size_t k = 0; k < walk.steps.size();) {
        const PreflightWalk::Step &s = walk.steps[k];
        levels.to(s.level - 1);
        if (!current || !walk.unchanged(s)) {
            fresh = false;
            std::string path = s.path;
            preflight_at(s.node, path, nullptr);
            current = walk.current();
            k = s.end;
            continue;
        }
        levels.to(s.level);
        if (s.function) {
            // A non-empty configuration is read before the registry runs, as a walk reads it.
            nb::object config = s.config && PyDict_GET_SIZE(s.config) > 0
                                    ? check(PyDict_Copy(s.config))
                                    : empty_frozen();
            registry_checks(nb::borrow(s.value), config, s.path);
            current = walk.current();
            if (!current || !walk.unchanged(s)) {
                fresh = false;
                std::string path = s.path;
                preflight_children(s.node, path, nullptr, 0);
                current = walk.current();
                k = s.end;
                continue;
            }
        }
        for (PyObject *kid : s.kids) held.push_back(nb::borrow(kid));
        ++k;
    }
    if (!fresh) keep_walk(walk.steps.front().node, nullptr);
}

// `path` is the node's path; children append their suffix to it and take it off again.
void ConfigChecks::preflight_at(nb::handle node, std::string &path, PreflightWalk *record) const {
    RecursionGuard guard(" while checking the graph's function configuration");
    size_t k = record ? record->enter(node, path) : 0;
    require_node_instance(node, path.c_str());
    nb::object ntype = require_type(node, path);
    nb::object nval = require_value(node, path);
    bool function = is_function_type(ntype);
    if (record) record->fields(k, ntype, nval, function);
    if (function) {
        nb::object config = config_for_reading(node);
        if (config.is_none()) config = empty_frozen();
        check_engine_only(nval, config, path);
        registry_checks(nval, config, path);
    }
    preflight_children(node, path, record, k);
    if (record) record->leave(k);
}

void ConfigChecks::preflight_children(nb::handle node, std::string &path,
                                      PreflightWalk *record, size_t step) const {
    std::vector<nb::object> kids = child_nodes(node);
    if (record) record->children(step, kids);
    const size_t length = path.size();
    for (size_t i = 0; i < kids.size(); ++i) {
        path += ".c";
        path += std::to_string(i);
        preflight_at(kids[i], path, record);
        path.resize(length);
    }
}

void ConfigChecks::registry_checks(nb::handle nval, nb::handle config,
                                   const std::string &path) const {
    nb::object registry = get_attr(context, "registry");
    if (registry.is_none() || !truthy(call_method(registry, "has", nval))) return;
    nb::object entry = call_method(registry, "get_entry", nval);
    nb::object allowed = schema_names(entry);
    if (is_virtualization(entry) && PySet_GET_SIZE(allowed.ptr()) > 0) {
        nb::object unknown = unknown_keys(config, allowed);
        if (PyList_GET_SIZE(unknown.ptr()) > 0) raise_unknown(nval, path, unknown);
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
