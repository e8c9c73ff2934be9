// Graph model: per-graph cache slots, node and state identities, stage-data feature leaves,
// stage options and warm-up rows. These are the C++ entry points behind the module functions
// of the same names; the driver may call them directly. Every function takes and returns
// Python objects with the exact behaviour of the module-level function.
#pragma once

#include "../common/py.hpp"

#include <vector>

namespace ee {

// Path of child `index` under `parent`: format(parent) + ".c" + index ("root.c0").
nb::object format_child_path(nb::handle parent, Py_ssize_t index);

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

// ---- caches (graph/caches.cpp) -------------------------------------------------------

// Slot `key` of the node, or None when never written (SchemaError "cache" for a foreign
// object).
nb::object graph_cache_get(nb::handle graph, nb::handle key);
nb::object graph_cache_get(nb::handle graph, const char *key);

// Stores `value` in slot `key`; a node that refuses the attribute (AttributeError,
// TypeError) is left unchanged silently.
void graph_cache_set(nb::handle graph, nb::handle key, nb::handle value);
void graph_cache_set(nb::handle graph, const char *key, nb::handle value);

// Clears _collect_nodes_cache and _node_identities on every node of the tree; a foreign
// object is ignored. _state_identity stays.
void invalidate_graph_evaluation_caches(nb::handle graph);

// The path -> node value dict of the graph (pre-order), cached on the root.
nb::object generate_node_identities(nb::handle graph);

// Writes _state_identity = path on every "rotation" / "reduction" node of the sub-tree.
void annotate_state_identities(nb::handle node, nb::handle path);
void annotate_state_identities(nb::handle node);  // path "root"

// ---- stage data (graph/stage_data.cpp) -----------------------------------------------

// Appends the graph's feature leaves found as 2-D arrays in context.stage_data to
// context.features / context.feature_index.
void attach_stage_data_feature_leaves(nb::handle graph, nb::handle context);

// The option of a transform stage from context.metaparameters (direct, then pool, then
// the stage default).
nb::object resolve_stage_option(nb::handle context, nb::handle stage);

// ---- warm-up rows (graph/warmup.cpp) -------------------------------------------------

// The warm-up row count of the sub-tree (a Python int, exact for any literal size).
nb::object compute_graph_warmup_rows(nb::handle graph_node, nb::handle registry,
                                     nb::handle path);
// Same from the path "root", as a Py_ssize_t (values beyond PY_SSIZE_T_MAX clamp to it).
Py_ssize_t compute_graph_warmup_rows_ssize(nb::handle graph_node, nb::handle registry);

// Rows an existing instance has consumed (state "count"); a Python int, 0 when unknown.
nb::object get_warmup_count_for_instance(nb::handle instance);
// Same as a Py_ssize_t, clamped to [PY_SSIZE_T_MIN, PY_SSIZE_T_MAX].
Py_ssize_t get_warmup_count_for_instance_ssize(nb::handle instance);

// ---- module registration (graph/model.cpp calls these) ------------------------------
void init_graph_caches(nb::handle m);
void init_graph_stage_data(nb::handle m);
void init_graph_warmup(nb::handle m);

}  // namespace ee
