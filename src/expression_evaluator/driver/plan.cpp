// The plan of every node: its kind, register, constant, instance and argument registers,
// read once from the driver's tables before the first row; data-NaN seeding and the
// node-output matrices.
#include "row_loop.hpp"

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

size_t Loop::plan_index(nb::handle path) {
    PyObject *hit = PyUnicode_CheckExact(path.ptr())
                        ? PyDict_GetItemWithError(index_of.ptr(), path.ptr())
                        : nullptr;
    if (!hit) {
        throw_if_error();
        // Paths are str; anything else is looked up by its text, as set_plan_index keys it.
        nb::object text = pystr(to_str(path));
        hit = PyDict_GetItemWithError(index_of.ptr(), text.ptr());
    }
    if (!hit) {
        throw_if_error();
        get_item(d.reg_map, path);  // raises the mapping's own KeyError
        raise_builtin(PyExc_KeyError, to_str(path));
    }
    return (size_t) PyLong_AsSsize_t(hit);
}

// index_of[text of path] = i (the last of equal texts wins).
void Loop::set_plan_index(nb::handle path, size_t i) {
    nb::object key = PyUnicode_CheckExact(path.ptr()) ? nb::borrow(path) : pystr(to_str(path));
    set_item(index_of, key, py_int((Py_ssize_t) i));
}

void Loop::build_plans() {
    plans.resize(d.topo_order.size());
    index_of = new_dict();
    for (size_t i = 0; i < d.topo_order.size(); ++i) {
        NodePlan &p = plans[i];
        p.path = d.topo_order[i];
        set_plan_index(p.path, i);
        p.info = get_item(d.node_info, p.path);
        p.type = get_item(p.info, str_key("type"));
        p.value = get_item(p.info, str_key("node"));
        p.cid = get_item(p.info, str_key("canonical_id"));
        p.kind = kind_of(p.type);
        nb::object reg = get_item(d.reg_map, p.path);
        p.reg = PyLong_AsSsize_t(reg.ptr());
        if (p.reg == -1 && PyErr_Occurred()) throw nb::python_error();
    }
    for (NodePlan &p : plans) {
        switch (p.kind) {
            case Kind::Feature: p.feature_pos = get_item(d.feature_refs, p.path); break;
            case Kind::Float: {
                p.const_obj = get_item(d.float_values, p.path);
                if (PyFloat_CheckExact(p.const_obj.ptr())) {
                    p.const_ready = true;
                    p.const_value = PyFloat_AS_DOUBLE(p.const_obj.ptr());
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
            case Kind::Rotation: plan_rotation(p); break;
            case Kind::Reduction: plan_reduction(p); break;
            default: break;
        }
        if (p.kind == Kind::Rotation || p.kind == Kind::Reduction) {
            nb::object cps = get_item(p.info, str_key("children_paths"));
            nb::object it = check(PyObject_GetIter(cps.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object cp = nb::steal(raw);
                size_t ci = plan_index(cp);
                if (plans[ci].kind != Kind::Filtration) p.nan_children.push_back(ci);
            }
            throw_if_error();
        }
    }
}

void Loop::plan_rotation(NodePlan &p) {
    p.inst = get_item(d.func_instances, p.path);
    p.bound = contains(d.bound_paths, p.path);
    p.views = p.bound && !has_attr(p.inst, "arity");
    // No "config_child_paths" entry: no child is consumed as configuration.
    nb::object config_children;
    if (PyDict_Check(p.info.ptr())) {
        PyObject *v = PyDict_GetItemWithError(p.info.ptr(), interned("config_child_paths"));
        if (!v) throw_if_error();
        config_children = v ? nb::borrow(v) : check(PyFrozenSet_New(nullptr));
    } else {
        config_children = dict_get(p.info, "config_child_paths", check(PySet_New(nullptr)));
    }
    nb::object cps = get_item(p.info, str_key("children_paths"));
    nb::object it = check(PyObject_GetIter(cps.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object cp = nb::steal(raw);
        if (contains(config_children, cp) && !p.views) continue;
        const NodePlan &c = plans[plan_index(cp)];
        if (c.kind == Kind::String || c.kind == Kind::Bool) continue;
        if (c.kind == Kind::Int && !d.bound_nonempty) continue;
        p.arg_regs.push_back(c.reg);
    }
    throw_if_error();
}

void Loop::plan_reduction(NodePlan &p) {
    p.inst = get_item(d.func_instances, p.path);
    nb::object rec = get_item(d.reduction_nodes, p.path);
    p.filtration_path = get_item(rec, str_key("filtration_path"));
    p.config = get_item(rec, str_key("config"));
}

// nan_source seeded from the data-NaN features and the precomputed nan sources; `track`
// holds for the whole call when anything is marked.
void Loop::seed_data_nan() {
    nan_source = new_dict();
    nb::object data_nan = str_key("data_nan");
    if (truthy(d.data_nan_features)) {
        nb::object names = check(PySet_New(d.data_nan_features.ptr()));
        if (PySet_GET_SIZE(names.ptr()) > 0) {
            nb::object it = check(PyObject_GetIter(d.feature_refs.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object path = nb::steal(raw);
                nb::object fname = get_item(get_item(d.node_info, path), str_key("node"));
                if (contains(names, fname)) set_item(nan_source, path, data_nan);
            }
            throw_if_error();
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
    for (size_t i = 0; i < plans.size(); ++i)
        marked[i] = PyDict_Contains(nan_source.ptr(), plans[i].path.ptr()) == 1;
}

// The node-output matrices, one per node, when the context asks for them (by default when
// instances are bound or data NaNs are tracked).
void Loop::prepare_node_outputs() {
    nb::object collect_default = nb::borrow((d.bound_nonempty || track) ? Py_True : Py_False);
    bool collect_outputs = truthy(attr_or(d.context, "_collect_node_outputs", collect_default));
    node_outputs = nb::none();
    if (collect_outputs) {
        node_outputs = new_dict();
        nb::object it = check(PyObject_GetIter(d.node_info.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object path = nb::steal(raw);
            nb::object m = empty_f64(T, N);
            set_item(node_outputs, path, m);
            Py_ssize_t reg = PyLong_AsSsize_t(get_item(d.reg_map, path).ptr());
            if (reg == -1 && PyErr_Occurred()) throw nb::python_error();
            node_output_rows.emplace_back(m, reg);
        }
        throw_if_error();
    }
}

}  // namespace ee::driver
