// Graph model: per-graph cache slots, node and state identities, stage-data feature leaves,
// stage options and warm-up rows. The functions in namespace ee go through the module
// functions of the same names (via_module); ee::direct holds their implementations.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee {

// Clears _collect_nodes_cache and _node_identities on every node of the tree; a foreign
// object is ignored. _state_identity stays.
void invalidate_graph_evaluation_caches(nb::handle graph);

// Writes _state_identity = path on every "rotation" / "reduction" node of the sub-tree.
void annotate_state_identities(nb::handle node);  // from the path "root"

// Appends the graph's feature leaves found as 2-D arrays in context.stage_data to
// context.features / context.feature_index.
void attach_stage_data_feature_leaves(nb::handle graph, nb::handle context);

// The warm-up row count of the whole graph (a Python int, exact for any literal size).
nb::object compute_graph_warmup_rows(nb::handle graph, nb::handle registry);

// Rows an existing instance has consumed (state "count"); a Python int, 0 when unknown.
nb::object get_warmup_count_for_instance(nb::handle instance);

namespace direct {
nb::object graph_cache_get(nb::handle graph, nb::handle key);
void graph_cache_set(nb::handle graph, nb::handle key, nb::handle value);
void invalidate_graph_evaluation_caches(nb::handle graph);
nb::object generate_node_identities(nb::handle graph);
void annotate_state_identities(nb::handle node, nb::handle path);
void attach_stage_data_feature_leaves(nb::handle graph, nb::handle context);
nb::object resolve_stage_option(nb::handle context, nb::handle stage);
nb::object compute_graph_warmup_rows(nb::handle graph_node, nb::handle registry,
                                     nb::handle path);
nb::object get_warmup_count_for_instance(nb::handle instance);
}  // namespace direct

}  // namespace ee
