// The plan of every node: its kind, register, constant and children, read from the
// driver's node tables; kept for a graph's collection cache entry and reused while the
// entry's tables are unchanged. Per call: instances, data and argument registers,
// data-NaN seeding and the node-output matrices.
#include "row_loop.hpp"

#include <unordered_map>

namespace ee::driver {

Kind kind_of(nb::handle ntype) {
    // Type strs are nearly always the interned literals: identity first.
    static const std::pair<const char *, Kind> kKinds[] = {
        {"rotation", Kind::Rotation}, {"feature", Kind::Feature}, {"float", Kind::Float},
        {"int", Kind::Int},           {"reduction", Kind::Reduction},
        {"filtration", Kind::Filtration}, {"string", Kind::String}, {"bool", Kind::Bool},
        {"aggregation", Kind::Feature}};
    if (PyUnicode_CheckExact(ntype.ptr()))
        for (const auto &[text, kind] : kKinds)
            if (ntype.ptr() == interned(text)) return kind;
    if (equals_str(ntype, "feature") || equals_str(ntype, "aggregation")) return Kind::Feature;
    if (equals_str(ntype, "float")) return Kind::Float;
    if (equals_str(ntype, "int")) return Kind::Int;
    if (equals_str(ntype, "string")) return Kind::String;
    if (equals_str(ntype, "bool")) return Kind::Bool;
    if (equals_str(ntype, "filtration")) return Kind::Filtration;
    if (equals_str(ntype, "rotation")) return Kind::Rotation;
    if (equals_str(ntype, "reduction")) return Kind::Reduction;
    return Kind::Other;
}

// ---- the tables a plan was read from -------------------------------------------------

namespace {

// Values whose hashing, comparison, conversion and truth run no Python code.
bool plain_value(nb::handle v) {
    PyObject *o = v.ptr();
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) ||
           PyFloat_CheckExact(o) || PyBool_Check(o);
}

bool plain_dict(nb::handle d) {
    if (!PyDict_CheckExact(d.ptr())) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d.ptr(), &pos, &k, &v))
        if (!plain_value(k) || !plain_value(v)) return false;
    return true;
}

}  // namespace

void TablesSeen::dict(nb::handle d) {
    if (!PyDict_CheckExact(d.ptr())) {
        plain = false;
        return;
    }
    dicts.emplace_back(d.ptr(), dict_version(d.ptr()));
}

void TablesSeen::list(nb::handle l) {
    if (!PyList_CheckExact(l.ptr())) {
        plain = false;
        return;
    }
    List seen{l.ptr(), {}};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i)
        seen.items.push_back(nb::borrow(PyList_GET_ITEM(l.ptr(), i)));
    lists.push_back(std::move(seen));
}

// Each dict is checked before anything it holds is looked at: a dict at an unchanged
// version still holds what it held, so the objects behind it are alive.
bool TablesSeen::unchanged() const {
    for (const auto &[d, version] : dicts)
        if (dict_version(d) != version) return false;
    for (const List &l : lists) {
        if (PyList_GET_SIZE(l.list) != (Py_ssize_t) l.items.size()) return false;
        for (size_t i = 0; i < l.items.size(); ++i)
            if (PyList_GET_ITEM(l.list, (Py_ssize_t) i) != l.items[i].ptr()) return false;
    }
    for (const Set &s : sets) {
        if (PySet_GET_SIZE(s.set) != s.size) return false;
        if (s.size == 0) continue;
        for (const auto &[path, member] : s.members) {
            int r = PySet_Contains(s.set, path.ptr());
            if (r < 0) throw nb::python_error();
            if ((r == 1) != member) return false;
        }
    }
    return true;
}

// ---- reading the plan ----------------------------------------------------------------

namespace {

struct PlanReader {
    Driver &d;
    GraphPlan &g;
    nb::object &index_of = g.index_of;
    nb::object reg_map = new_dict();  // path -> register

    // Paths are str; anything else is looked up by its text, as `set_index` keys it.
    size_t index(nb::handle path) {
        PyObject *hit = PyUnicode_CheckExact(path.ptr())
                            ? PyDict_GetItemWithError(index_of.ptr(), path.ptr())
                            : nullptr;
        if (!hit) {
            throw_if_error();
            nb::object text = pystr(to_str(path));
            hit = PyDict_GetItemWithError(index_of.ptr(), text.ptr());
        }
        if (!hit) {
            throw_if_error();
            get_item(reg_map, path);  // raises the mapping's own KeyError
            raise_builtin(PyExc_KeyError, to_str(path));
        }
        return (size_t) PyLong_AsSsize_t(hit);
    }

    void set_index(nb::handle path, size_t i) {
        nb::object key =
            PyUnicode_CheckExact(path.ptr()) ? nb::borrow(path) : pystr(to_str(path));
        set_item(index_of, key, py_int((Py_ssize_t) i));
    }

    nb::object record_item(nb::handle record, const char *key) {
        nb::object v = get_item(record, key);
        if (!plain_value(v)) g.seen.plain = false;
        return v;
    }

    // Registers in table order; evaluation order children first.
    void order() {
        g.seen.dict(d.node_info);
        nb::object it = check(PyObject_GetIter(d.node_info.ptr()));
        Py_ssize_t reg = 0;
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object path = nb::steal(raw);
            if (!PyUnicode_CheckExact(path.ptr())) g.seen.plain = false;
            set_item(reg_map, path, py_int(reg));
            g.table.emplace_back(path, reg++);
        }
        throw_if_error();
        g.n_registers = reg;
        visit(str_key("root"));
    }

    void visit(nb::handle path) {
        RecursionGuard guard(" while ordering graph nodes");
        if (!PyUnicode_CheckExact(path.ptr())) g.seen.plain = false;
        nb::object record = get_item(d.node_info, path);
        g.seen.dict(record);
        nb::object paths = get_item(record, str_key("children_paths"));
        g.seen.list(paths);
        nb::object it = check(PyObject_GetIter(paths.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object child = nb::steal(raw);
            visit(child);
        }
        throw_if_error();
        NodeShape s;
        s.path = nb::borrow(path);
        g.nodes.push_back(std::move(s));
    }

    void read() {
        index_of = new_dict();
        order();
        for (size_t i = 0; i < g.nodes.size(); ++i) set_index(g.nodes[i].path, i);
        for (NodeShape &p : g.nodes) {
            nb::object info = get_item(d.node_info, p.path);
            nb::object type = record_item(info, "type");
            p.value = record_item(info, "node");
            p.cid = record_item(info, "canonical_id");
            p.kind = kind_of(type);
            nb::object reg = get_item(reg_map, p.path);
            p.reg = PyLong_AsSsize_t(reg.ptr());
            if (p.reg == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        for (NodeShape &p : g.nodes) {
            nb::object info = get_item(d.node_info, p.path);
            switch (p.kind) {
                case Kind::Float: {
                    g.seen.dict(d.float_values);
                    p.const_obj = get_item(d.float_values, p.path);
                    if (PyFloat_CheckExact(p.const_obj.ptr())) {
                        p.const_ready = true;
                        p.const_value = PyFloat_AS_DOUBLE(p.const_obj.ptr());
                    } else {
                        g.seen.plain = false;
                    }
                    break;
                }
                case Kind::Int: {
                    p.const_obj = p.value;
                    PyObject *f = PyNumber_Float(p.value.ptr());
                    if (f) {
                        p.const_ready = true;
                        p.const_value = PyFloat_AS_DOUBLE(f);
                        Py_DECREF(f);
                    } else {
                        PyErr_Clear();
                    }
                    break;
                }
                case Kind::String:
                    p.const_ready = true;
                    p.const_value = 0.0;
                    break;
                case Kind::Bool:
                    p.const_ready = true;
                    p.const_value = truthy(p.value) ? 1.0 : 0.0;
                    break;
                case Kind::Rotation: rotation(p, info); break;
                case Kind::Reduction: {
                    g.seen.dict(d.reduction_nodes);
                    nb::object rec = get_item(d.reduction_nodes, p.path);
                    g.seen.dict(rec);
                    p.filtration_path = record_item(rec, "filtration_path");
                    p.config = get_item(rec, str_key("config"));
                    if (!plain_dict(p.config)) g.seen.plain = false;
                    g.seen.dict(p.config);
                    break;
                }
                default: break;
            }
            if (p.kind == Kind::Rotation)
                for (bool views : {false, true})
                    for (bool bound : {false, true})
                        for (const NodeShape::Child &child : p.children) {
                            const NodeShape &k = g.nodes[child.index];
                            if ((child.config && !views) || k.kind == Kind::String ||
                                k.kind == Kind::Bool || (k.kind == Kind::Int && !bound))
                                continue;
                            p.arg_regs[views][bound].push_back(k.reg);
                        }
            if (p.kind == Kind::Rotation || p.kind == Kind::Reduction) {
                nb::object cps = get_item(info, str_key("children_paths"));
                nb::object it = check(PyObject_GetIter(cps.ptr()));
                while (PyObject *raw = PyIter_Next(it.ptr())) {
                    nb::object cp = nb::steal(raw);
                    size_t ci = index(cp);
                    if (g.nodes[ci].kind != Kind::Filtration) p.nan_children.push_back(ci);
                }
                throw_if_error();
            }
        }
        nb::object root = get_item(reg_map, str_key("root"));
        g.root_reg = PyLong_AsSsize_t(root.ptr());
        if (g.root_reg == -1 && PyErr_Occurred()) throw nb::python_error();
    }

    void rotation(NodeShape &p, nb::handle info) {
        // No "config_child_paths" entry: no child is consumed as configuration.
        nb::object config_children;
        bool held = false;  // by the record, so alive while the record is unchanged
        if (PyDict_Check(info.ptr())) {
            PyObject *v = PyDict_GetItemWithError(info.ptr(), interned("config_child_paths"));
            if (!v) throw_if_error();
            held = v != nullptr;
            config_children = v ? nb::borrow(v) : check(PyFrozenSet_New(nullptr));
        } else {
            config_children = dict_get(info, "config_child_paths", check(PySet_New(nullptr)));
        }
        TablesSeen::Set seen{config_children.ptr(), 0, {}};
        nb::object cps = get_item(info, str_key("children_paths"));
        nb::object it = check(PyObject_GetIter(cps.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object cp = nb::steal(raw);
            bool config = contains(config_children, cp);
            p.children.push_back({index(cp), config});
            seen.members.emplace_back(cp, config);
        }
        throw_if_error();
        if (!held) return;
        if (!PyAnySet_CheckExact(config_children.ptr())) {
            g.seen.plain = false;
            return;
        }
        Py_ssize_t pos = 0;
        PyObject *item;
        Py_hash_t hash;
        while (_PySet_NextEntry(config_children.ptr(), &pos, &item, &hash))
            if (!PyUnicode_CheckExact(item)) g.seen.plain = false;
        seen.size = PySet_GET_SIZE(config_children.ptr());
        g.seen.sets.push_back(std::move(seen));
    }
};

// Plans and preflight walks kept per graph object, dropped with the graph (a weak
// reference's callback).
struct Kept {
    PyObject *weakref;  // owned
    std::shared_ptr<const GraphPlan> plan;
    std::shared_ptr<const PreflightWalk> walk;
};
// Only touched with the GIL held; never destroyed (plans hold Python objects).
std::unordered_map<PyObject *, Kept> &kept_plans() {
    static auto *plans = new std::unordered_map<PyObject *, Kept>();
    return *plans;
}
std::unordered_map<PyObject *, PyObject *> &graph_of_weakref() {
    static auto *graphs = new std::unordered_map<PyObject *, PyObject *>();
    return *graphs;
}

// Drops what is kept for the object at `graph`, with its weak reference.
void forget(PyObject *graph) {
    auto kept = kept_plans().find(graph);
    if (kept == kept_plans().end()) return;
    Kept gone = std::move(kept->second);
    kept_plans().erase(kept);
    graph_of_weakref().erase(gone.weakref);
    Py_DECREF(gone.weakref);
}

PyObject *drop_plan(PyObject *, PyObject *weakref) {
    auto found = graph_of_weakref().find(weakref);
    if (found != graph_of_weakref().end()) forget(found->second);
    Py_RETURN_NONE;
}

// The entry of the live object `graph` (one still kept at its address was a gone graph's).
Kept *kept_for(nb::handle graph) {
    auto found = kept_plans().find(graph.ptr());
    if (found == kept_plans().end()) return nullptr;
    if (PyWeakref_GetObject(found->second.weakref) == graph.ptr()) return &found->second;
    forget(graph.ptr());
    return nullptr;
}

// The entry of `graph`, made with its weak reference when there is none; null for a node
// class without weak references.
Kept *keep(nb::handle graph) {
    if (Kept *kept = kept_for(graph)) return kept;
    static PyMethodDef def = {"_drop_plan", drop_plan, METH_O, nullptr};
    static PyObject *callback = PyCFunction_New(&def, nullptr);  // kept for good
    if (!callback) throw nb::python_error();
    PyObject *ref = PyWeakref_NewRef(graph.ptr(), callback);
    if (!ref) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        return nullptr;
    }
    graph_of_weakref()[ref] = graph.ptr();
    return &(kept_plans()[graph.ptr()] = Kept{ref, nullptr, nullptr});
}

}  // namespace

std::shared_ptr<const PreflightWalk> kept_walk(nb::handle graph) {
    Kept *kept = kept_for(graph);
    return kept ? kept->walk : nullptr;
}

void keep_walk(nb::handle graph, std::shared_ptr<const PreflightWalk> walk) {
    if (!walk) {
        if (Kept *kept = kept_for(graph)) kept->walk = nullptr;
        return;
    }
    if (Kept *kept = keep(graph)) kept->walk = std::move(walk);
}

bool BoundTables::matches(PyObject *const (&now)[kDicts]) const {
    for (int i = 0; i < kDicts; ++i)
        if (now[i] != dicts[i] || !PyDict_CheckExact(now[i]) || dict_version(now[i]) != versions[i])
            return false;
    return true;
}

std::shared_ptr<const GraphPlan> kept_plan(nb::handle graph, nb::handle entry) {
    if (!entry.is_valid() || !PyDict_CheckExact(entry.ptr())) return nullptr;
    Kept *kept = kept_for(graph);
    if (!kept || !kept->plan) return nullptr;
    std::shared_ptr<const GraphPlan> plan = kept->plan;
    if (plan->seen.dicts.front().first == entry.ptr() && plan->seen.unchanged()) return plan;
    return nullptr;
}

std::shared_ptr<const GraphPlan> graph_plan(Driver &d, nb::handle entry) {
    bool keepable = entry.is_valid() && PyDict_CheckExact(entry.ptr());
    if (auto plan = kept_plan(d.graph, entry)) return plan;
    auto plan = std::make_shared<GraphPlan>();
    if (keepable) plan->seen.dict(entry);
    PlanReader{d, *plan}.read();
    if (keepable && plan->seen.plain)
        if (Kept *kept = keep(d.graph)) kept->plan = plan;
    return plan;
}

// ---- per call ------------------------------------------------------------------------

namespace {

[[noreturn]] void raise_key(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

}  // namespace

void Loop::bind_calls() {
    calls.assign(shapes.size(), NodeCall{});
    // The plan's node of a path (by its text), or -1.
    auto node_of = [&](nb::handle path) -> Py_ssize_t {
        nb::object key = PyUnicode_CheckExact(path.ptr()) ? nb::borrow(path) : pystr(to_str(path));
        PyObject *hit = PyDict_GetItemWithError(plan.index_of.ptr(), key.ptr());
        if (!hit) throw_if_error();
        return hit ? PyLong_AsSsize_t(hit) : -1;
    };
    if (const BoundTables *b = d.bound_tables.get()) {
        // Served from the plan's look-ups: the same paths, found the same way.
        for (size_t k = 0; k < b->feature_nodes.size(); ++k)
            calls[b->feature_nodes[k]].feature_pos = d.feature_refs[k].second;
        for (size_t k = 0; k < b->instance_nodes.size(); ++k) {
            calls[b->instance_nodes[k]].inst = d.func_instances[k].inst;
            calls[b->instance_nodes[k]].bound = true;
        }
    } else {
        for (const auto &[path, pos] : d.feature_refs) {
            Py_ssize_t i = node_of(path);
            if (i >= 0) calls[(size_t) i].feature_pos = pos;
        }
        for (const Driver::Instance &f : d.func_instances) {
            Py_ssize_t i = node_of(f.path);
            if (i < 0) continue;
            calls[(size_t) i].inst = f.inst;
            calls[(size_t) i].bound = f.bound;
        }
    }
    for (size_t i = 0; i < shapes.size(); ++i) {
        const NodeShape &p = shapes[i];
        NodeCall &c = calls[i];
        // A path the tables gave twice: each of its nodes takes what the path was given.
        if (p.kind == Kind::Feature && !c.feature_pos.is_valid()) {
            for (const auto &[path, pos] : d.feature_refs)
                if (equals(path, p.path)) c.feature_pos = pos;
            if (!c.feature_pos.is_valid()) raise_key(p.path);
        }
        if ((p.kind == Kind::Rotation || p.kind == Kind::Reduction) && !c.inst.is_valid()) {
            for (const Driver::Instance &f : d.func_instances)
                if (equals(f.path, p.path)) c.inst = f.inst, c.bound = f.bound;
            if (!c.inst.is_valid()) raise_key(p.path);
        }
        if (p.kind != Kind::Rotation) continue;
        c.views = c.bound && !has_attr(c.inst, "arity");
        c.arg_regs = &p.arg_regs[c.views][d.bound_nonempty];
    }
}

// nan_source seeded from the data-NaN features and the precomputed nan sources; `track`
// holds for the whole call when anything is marked.
void Loop::seed_data_nan() {
    nan_source = new_dict();
    nb::object data_nan = str_key("data_nan");
    if (truthy(d.data_nan_features)) {
        nb::object names = check(PySet_New(d.data_nan_features.ptr()));
        if (PySet_GET_SIZE(names.ptr()) > 0) {
            for (const auto &[path, pos] : d.feature_refs) {
                nb::object fname = get_item(get_item(d.node_info, path), str_key("node"));
                if (contains(names, fname)) set_item(nan_source, path, data_nan);
            }
        }
    }
    // An empty precomputed nan-source table marks nothing (the records were all read
    // while planning).
    if (!(PyDict_CheckExact(d.precomputed_nan.ptr()) &&
          PyDict_GET_SIZE(d.precomputed_nan.ptr()) == 0)) {
        for_each_item(d.node_info, [&](nb::handle path, nb::handle rec) {
            nb::object cid = get_item(rec, str_key("canonical_id"));
            nb::object src = dict_get(d.precomputed_nan, cid, nb::none());
            if (equals_str(src, "data_nan")) set_item(nan_source, path, data_nan);
        });
    }
    track = PyDict_GET_SIZE(nan_source.ptr()) > 0;
    marked.assign(shapes.size(), 0);
    if (track)
        for (size_t i = 0; i < shapes.size(); ++i)
            marked[i] = PyDict_Contains(nan_source.ptr(), shapes[i].path.ptr()) == 1;
}

// The node-output matrices, one per node, when the context asks for them (by default when
// instances are bound or data NaNs are tracked).
void Loop::prepare_node_outputs() {
    nb::object collect_default = nb::borrow((d.bound_nonempty || track) ? Py_True : Py_False);
    bool collect_outputs = truthy(attr_or(d.context, "_collect_node_outputs", collect_default));
    node_outputs = nb::none();
    if (collect_outputs) {
        node_outputs = check(_PyDict_NewPresized((Py_ssize_t) plan.table.size()));
        node_output_rows.reserve(plan.table.size());
        for (const auto &[path, reg] : plan.table) {
            nb::object m = empty_f64(T, N);
            set_item(node_outputs, path, m);
            node_output_rows.emplace_back(m, reg);
        }
    }
}

}  // namespace ee::driver
