// Node collection: the graph flattened into tables keyed by instance path, one function
// instance per function node (bound by the caller or created through the registry), the
// post-collection checks, registers and the children-first order. For graphs evaluated with
// caller-bound instances the tables are cached on the graph and reused on later calls.
#include "row_loop.hpp"

#include "../common/names.hpp"
#include "../graph/access.hpp"

namespace ee::driver {

namespace {

[[noreturn]] void raise_bound_none(nb::handle path, nb::handle fname) {
    raise_global("FunctionExecutionError", "Bound function instance is None for node '" +
                                               to_str(path) + "' (function '" + to_str(fname) +
                                               "')");
}

[[noreturn]] void raise_bound_missing(nb::handle path, nb::handle fname) {
    raise_global("FunctionExecutionError", "Bound function instance missing for path '" +
                                               to_str(path) + "' (function '" + to_str(fname) +
                                               "')");
}

[[noreturn]] void raise_feature_missing(nb::handle name) {
    raise_global("EvaluationError", "Feature '" + to_str(name) + "' not in context");
}

void set_add(nb::handle set, nb::handle item) {
    if (PySet_Add(set.ptr(), item.ptr()) != 0) throw nb::python_error();
}

// Every key and value of an exact dict is an exact str.
bool plain_str_items(nb::handle dict) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict.ptr(), &pos, &k, &v))
        if (!PyUnicode_CheckExact(k) || !PyUnicode_CheckExact(v)) return false;
    return true;
}

// An exact dict whose keys are all exact str.
bool plain_str_keys(PyObject *dict) {
    if (!PyDict_CheckExact(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

void list_append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) != 0) throw nb::python_error();
}

struct Walker {
    Driver &d;
    nb::object feature_index;  // context.feature_index, read once per walk
    nb::object config_child_types;

    nb::object record_type(nb::handle path) {
        return get_item(get_item(d.node_info, path), str_key("type"));
    }

    nb::object param_names(nb::handle nval) {
        nb::object registry = get_attr(d.context, "registry");
        if (registry.is_none() || !truthy(call_method(registry, "has", nval)))
            return check(PyList_New(0));
        try {
            nb::object entry = call_method(registry, "get_entry", nval);
            return config_param_names(entry);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return check(PyList_New(0));
        }
    }

    // The instance of a function node, and whether the caller bound it.
    std::pair<nb::object, bool> make_instance(nb::handle path, nb::handle nval,
                                              nb::handle config, nb::handle state_key) {
        if (contains(d.bound_instances, path)) {
            nb::object inst = get_item(d.bound_instances, path);
            if (inst.is_none()) raise_bound_none(path, nval);
            return {inst, true};
        }
        if (!d.bound_function_instances.is_none()) raise_bound_missing(path, nval);
        if (!d.checks.can_instantiate(nval))
            raise_global("FunctionExecutionError",
                         "Function '" + to_str(nval) + "' at node '" + to_str(path) +
                             "' is not bound and cannot be instantiated from the evaluation "
                             "registry");
        nb::object registry = get_attr(d.context, "registry");
        if (!d.function_states.is_none() && contains(d.function_states, state_key)) {
            nb::object state = get_item(d.function_states, state_key);
            nb::object fn = get_attr(registry, "create_instance_from_state");
            nb::object args = check(PyTuple_Pack(2, nval.ptr(), state.ptr()));
            return {check(PyObject_Call(fn.ptr(), args.ptr(), config.ptr())), false};
        }
        nb::object fn = get_attr(registry, "create_instance");
        nb::object args = check(PyTuple_Pack(1, nval.ptr()));
        return {check(PyObject_Call(fn.ptr(), args.ptr(), config.ptr())), false};
    }

    void function_node(nb::handle node, nb::handle path, nb::handle nval, nb::handle record,
                       const std::vector<nb::object> &kids, nb::handle child_paths) {
        nb::object state_key = nb::borrow(path);
        if (graph_has_field(node, "_state_identity")) {
            nb::object sid = get_attr(node, "_state_identity");
            if (!sid.is_none()) state_key = sid;
        }
        set_item(d.state_keys, path, state_key);

        nb::object config = graph_config_dict(node);
        nb::object names = param_names(nval);
        Py_ssize_t n_names = length(names), next_name = 0;
        nb::object consumed = check(PySet_New(nullptr));
        nb::object strings = check(PyList_New(0));
        for (size_t i = 0; i < kids.size(); ++i) {
            nb::object cpath = nb::borrow(PyList_GET_ITEM(child_paths.ptr(), (Py_ssize_t) i));
            nb::object ctype = record_type(cpath);
            if (!contains(config_child_types, ctype)) continue;
            nb::object value = require_value(kids[i], cpath);
            if (next_name < n_names) {
                nb::object name = check(PySequence_GetItem(names.ptr(), next_name++));
                set_item(config, name, value);
            } else if (equals_str(ctype, "int")) {
                set_item(config, "window", value);
            } else if (equals_str(ctype, "string")) {
                list_append(strings, value);
            } else if (equals_str(ctype, "bool")) {
                set_item(config, "invert", value);
            }
            set_add(consumed, cpath);
        }
        if (PyList_GET_SIZE(strings.ptr()) > 0) {
            bool stat = false;
            for (const char *f : names::kStatNameFunctions) stat = stat || equals_str(nval, f);
            set_item(config, stat ? "stat_name" : "pnl_column",
                     nb::handle(PyList_GET_ITEM(strings.ptr(), 0)));
        }
        d.checks.validate(nval, config, path);
        set_item(record, "config", config);
        set_item(record, "config_child_paths", consumed);

        auto [inst, bound] = make_instance(path, nval, config, state_key);
        d.func_instances.push_back({nb::borrow(path), inst, bound});

        if (equals_str(get_item(record, str_key("type")), "reduction")) {
            nb::object fpath = nb::none();
            Py_ssize_t n = PyList_GET_SIZE(child_paths.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::handle cp(PyList_GET_ITEM(child_paths.ptr(), i));
                if (equals_str(record_type(cp), "filtration")) {
                    fpath = nb::borrow(cp);
                    break;
                }
            }
            set_item(d.reduction_nodes, path,
                     dict_of({{"filtration_path", fpath}, {"config", config}}));
        }
    }

    void walk(nb::handle node, const std::string &path_text) {
        RecursionGuard guard(" while collecting graph nodes");
        nb::object path = pystr(path_text);
        nb::object ntype = require_type(node, path);
        nb::object nval = require_value(node, path);
        nb::object children = graph_children(node);
        std::vector<nb::object> kids = children_vector(children);
        nb::object child_paths = check(PyList_New(0));
        for (size_t i = 0; i < kids.size(); ++i) {
            std::string cp = child_path(path_text, (Py_ssize_t) i);
            walk(kids[i], cp);
            list_append(child_paths, pystr(cp));
        }
        nb::object cid = nb::none();
        if (graph_has_field(node, "canonical_id")) cid = get_attr(node, "canonical_id");
        nb::object record = dict_of({{"type", ntype},
                                     {"node", nval},
                                     {"canonical_id", cid},
                                     {"children_paths", child_paths},
                                     {"children", children}});
        set_item(d.node_info, path, record);

        if (equals_str(ntype, "feature") || equals_str(ntype, "aggregation")) {
            if (!contains(feature_index, nval)) raise_feature_missing(nval);
            d.feature_refs.emplace_back(path, get_item(feature_index, nval));
        } else if (equals_str(ntype, "float")) {
            set_item(d.float_values, path, check(PyNumber_Float(nval.ptr())));
        } else if (equals_str(ntype, "filtration")) {
            set_item(d.filtration_nodes, path, node);
        } else if (equals_str(ntype, "rotation") || equals_str(ntype, "reduction")) {
            function_node(node, path, nval, record, kids, child_paths);
        }
    }
};

}  // namespace

// The data leaves and caller-bound instances of a collection served from the cache.
void Driver::bind_from_cache(nb::handle feature_index) {
    auto add_ref = [&](nb::handle path, nb::handle name) {
        if (!contains(feature_index, name)) raise_feature_missing(name);
        feature_refs.emplace_back(nb::borrow(path), get_item(feature_index, name));
    };
    if (PyDict_CheckExact(feature_ref_names.ptr()) && PyDict_CheckExact(feature_index.ptr()) &&
        plain_str_items(feature_ref_names)) {
        // Looking str names up in a dict runs no Python code: nothing can change the
        // table while we walk it.
        Py_ssize_t pos = 0;
        PyObject *path, *name;
        while (PyDict_Next(feature_ref_names.ptr(), &pos, &path, &name)) add_ref(path, name);
    } else {
        for_each_item(feature_ref_names, add_ref);
    }
    nb::object kit = check(PyObject_GetIter(state_keys.ptr()));
    while (PyObject *raw = PyIter_Next(kit.ptr())) {
        nb::object path = nb::steal(raw);
        nb::object fname = get_item(get_item(node_info, path), str_key("node"));
        if (!contains(bound_instances, path)) raise_bound_missing(path, fname);
        nb::object inst = get_item(bound_instances, path);
        if (inst.is_none()) raise_bound_none(path, fname);
        func_instances.push_back({path, inst, true});
    }
    throw_if_error();
}

void Driver::collect() {
    std::shared_ptr<const GraphPlan> kept;  // the graph's plan, still valid for its cache entry
    std::shared_ptr<BoundTables> bound_now;  // this call's look-ups, to keep with the plan

    nb::object cached = can_use_cache ? cache_get(graph, "_collect_nodes_cache") : nb::none();
    nb::object cached_entry = cached;
    if (cached.is_none()) {
        node_info = new_dict();
        float_values = new_dict();
        feature_ref_names = new_dict();
        filtration_nodes = new_dict();
        reduction_nodes = new_dict();
        state_keys = new_dict();
    }
    if (!cached.is_none()) {
        node_info = get_item(cached, str_key("node_info"));
        feature_ref_names = get_item(cached, str_key("feature_ref_names"));
        float_values = get_item(cached, str_key("float_values"));
        state_keys = get_item(cached, str_key("state_keys"));
        filtration_nodes = get_item(cached, str_key("filtration_nodes"));
        reduction_nodes = get_item(cached, str_key("reduction_nodes"));
        nb::object feature_index = get_attr(context, "feature_index");
        PyObject *const dicts[BoundTables::kDicts] = {feature_ref_names.ptr(), state_keys.ptr(),
                                                      feature_index.ptr(),
                                                      bound_instances.ptr()};
        kept = kept_plan(graph, cached);
        if (kept && kept->bound && kept->bound->matches(dicts)) {
            for (const auto &[path, pos] : kept->bound->feature_refs)
                feature_refs.emplace_back(nb::borrow(path), nb::borrow(pos));
            for (const auto &[path, inst] : kept->bound->func_instances)
                func_instances.push_back({nb::borrow(path), nb::borrow(inst), true});
        } else {
            bool keepable = true;
            for (PyObject *dict : dicts) keepable = keepable && plain_str_keys(dict);
            bind_from_cache(feature_index);
            if (keepable) {
                bound_now = std::make_shared<BoundTables>();
                for (int i = 0; i < BoundTables::kDicts; ++i)
                    bound_now->dicts[i] = dicts[i], bound_now->versions[i] = dict_version(dicts[i]);
                for (const auto &[path, pos] : feature_refs)
                    bound_now->feature_refs.emplace_back(path.ptr(), pos.ptr());
                for (const Instance &f : func_instances)
                    bound_now->func_instances.emplace_back(f.path.ptr(), f.inst.ptr());
            }
        }
    } else {
        Walker w{*this, get_attr(context, "feature_index"), global("_CONFIG_CHILD_TYPES")};
        w.walk(graph, "root");
        for (const auto &[path, pos] : feature_refs)
            set_item(feature_ref_names, path, get_item(get_item(node_info, path), str_key("node")));
        if (can_use_cache) {
            nb::object entry = dict_of({{"node_info", node_info},
                                        {"feature_ref_names", feature_ref_names},
                                        {"float_values", float_values},
                                        {"state_keys", state_keys},
                                        {"filtration_nodes", filtration_nodes},
                                        {"reduction_nodes", reduction_nodes}});
            cache_set(graph, "_collect_nodes_cache", entry);
            cached_entry = entry;
        }
    }

    // Feature shapes against (T, N_alloc).
    nb::object features = get_attr(context, "features");
    nb::object expected = check(Py_BuildValue("(nn)", T, N));
    std::string expected_text = "(" + std::to_string(T) + ", " + std::to_string(N) + ")";
    {
        for (const auto &[path, pos] : feature_refs) {
            nb::object matrix = get_item(features, pos);
            if (PyArray_CheckExact(matrix.ptr()) && PyArray_NDIM(as_array(matrix)) == 2 &&
                PyArray_DIM(as_array(matrix), 0) == T && PyArray_DIM(as_array(matrix), 1) == N)
                continue;
            nb::object shape = get_attr(matrix, "shape");
            if (equals(shape, expected)) continue;
            nb::object fname = get_item(get_item(node_info, path), str_key("node"));
            nb::object parent;
            nb::object nit = check(PyObject_CallMethod(node_info.ptr(), "values", nullptr));
            nb::object vit = check(PyObject_GetIter(nit.ptr()));
            while (PyObject *rec_raw = PyIter_Next(vit.ptr())) {
                nb::object rec = nb::steal(rec_raw);
                if (contains(get_item(rec, str_key("children_paths")), path)) {
                    parent = get_item(rec, str_key("node"));
                    break;
                }
            }
            throw_if_error();
            if (parent.is_valid())
                raise_global("EvaluationShapeError",
                             "Function '" + to_str(parent) + "' input feature '" +
                                 to_str(fname) + "' has shape " + to_str(shape) +
                                 ", expected " + expected_text);
            raise_global("EvaluationShapeError", "Feature '" + to_str(fname) + "' has shape " +
                                                     to_str(shape) + ", expected " +
                                                     expected_text);
        }
    }

    // Carried states against the graph's state keys.
    if (!function_states.is_none()) {
        nb::object values = check(PyObject_CallMethod(state_keys.ptr(), "values", nullptr));
        nb::object graph_keys = check(PySet_New(values.ptr()));
        nb::object given_keys = check(PyObject_CallMethod(function_states.ptr(), "keys", nullptr));
        nb::object given = check(PySet_New(given_keys.ptr()));
        bool ok = check(PyObject_RichCompare(given.ptr(), graph_keys.ptr(), Py_LE)).ptr() == Py_True;
        if (ok) {
            for (const Instance &f : func_instances) {
                if (!truthy(attr_or(f.inst, "stateful", Py_False))) continue;
                nb::object key = dict_get(state_keys, f.path, f.path);
                if (!contains(function_states, key)) {
                    ok = false;
                    break;
                }
            }
        }
        if (!ok) raise_global("EvaluationError", "Function state keys do not match graph tree structure");
    }

    // The checks above may have run Python code: the plan is looked at again.
    plan = graph_plan(*this, can_use_cache ? cached_entry : nb::handle());
    if (bound_now) {
        auto node_of = [&](PyObject *path, std::vector<size_t> &out) {
            PyObject *hit = PyDict_GetItemWithError(plan->index_of.ptr(), path);
            if (hit) out.push_back((size_t) PyLong_AsSsize_t(hit));
            else throw_if_error();
            return hit != nullptr;
        };
        bool all = true;
        for (const auto &[path, pos] : bound_now->feature_refs)
            all = all && node_of(path, bound_now->feature_nodes);
        for (const auto &[path, inst] : bound_now->func_instances)
            all = all && node_of(path, bound_now->instance_nodes);
        if (!all) bound_now->feature_nodes.clear(), bound_now->instance_nodes.clear();
        plan->bound = std::move(bound_now);
    } else if (kept && plan == kept && kept->bound && !kept->bound->instance_nodes.empty()) {
        bound_tables = kept->bound;
    }
}

}  // namespace ee::driver
