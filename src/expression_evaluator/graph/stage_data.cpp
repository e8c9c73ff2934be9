// Stage data seen as feature leaves, and the option of a transform stage.
#include "model.hpp"

namespace ee {

namespace direct {

void attach_stage_data_feature_leaves(nb::handle graph, nb::handle context) {
    nb::object stage_data = get_attr(context, "stage_data");
    if (truthy(get_attr(stage_data, "is_empty")())) return;

    nb::object names = global("extract_feature_leaf_names")(graph);
    nb::object features = check(PySequence_List(get_attr(context, "features").ptr()));
    nb::object ordered = check(PySequence_List(names.ptr()));
    if (PyList_Sort(ordered.ptr()) != 0) throw nb::python_error();

    // Walk a snapshot of the sorted names with strong references (a comparison during the
    // sort or a callback below may touch the list).
    std::vector<nb::object> sorted_names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ordered.ptr()); ++i)
        sorted_names.push_back(nb::borrow(PyList_GET_ITEM(ordered.ptr(), i)));

    for (const nb::object &name : sorted_names) {
        // Loaded features always win over stage data.
        if (contains(get_attr(context, "feature_index"), name)) continue;
        nb::object value = get_attr(stage_data, "value")(name, nb::none());
        nb::object ndarray = get_attr(global("np"), "ndarray");
        if (!is_instance(value, ndarray)) continue;
        nb::object two = check(PyLong_FromLong(2));
        if (!equals(get_attr(value, "ndim"), two)) continue;
        nb::object index = check(PyLong_FromSsize_t(PyList_GET_SIZE(features.ptr())));
        nb::object feature_index = get_attr(context, "feature_index");
        if (PyObject_SetItem(feature_index.ptr(), name.ptr(), index.ptr()) != 0)
            throw nb::python_error();
        nb::object matrix = ascontiguous_f64(value);
        if (PyList_Append(features.ptr(), matrix.ptr()) != 0) throw nb::python_error();
    }
    set_attr(context, "features", check(PyList_AsTuple(features.ptr())));
}

nb::object resolve_stage_option(nb::handle context, nb::handle stage) {
    nb::object mp = get_attr(context, "metaparameters");
    nb::object name = get_attr(stage, "name");
    if (contains(mp, name)) return check(PyObject_GetItem(mp.ptr(), name.ptr()));
    nb::object pool_id = attr_or(context, "pool_id", nb::none());
    if (!pool_id.is_none() && contains(mp, pool_id)) {
        nb::object pool_mp = check(PyObject_GetItem(mp.ptr(), pool_id.ptr()));
        if (has_attr(pool_mp, "get") && contains(pool_mp, name))
            return check(PyObject_GetItem(pool_mp.ptr(), name.ptr()));
    }
    return get_attr(stage, "default");
}

}  // namespace direct

void attach_stage_data_feature_leaves(nb::handle graph, nb::handle context) {
    via_module(Fn::attach_stage_data_feature_leaves,
               [&] { direct::attach_stage_data_feature_leaves(graph, context); },
               [&](nb::handle fn) { fn(graph, context); });
}

}  // namespace ee
