// The module's functions: one row each, in definition order (name, argument format,
// parameters, implementation, docstring), expanded into builtins by add_functions.
#include "../driver/driver.hpp"
#include "../fast_paths/cross_sectional.hpp"
#include "../fast_paths/longitudinal.hpp"
#include "../filtrations/filtrations.hpp"
#include "../graph/access.hpp"
#include "../graph/model.hpp"
#include "interface.hpp"

namespace ee {

namespace {

nb::object boolean(bool v) { return nb::borrow(v ? Py_True : Py_False); }

template <typename F> nb::object returning_none(F &&body) {
    body();
    return none();
}

using A = const Args &;
using H = nb::handle;

const FunctionDef kFunctions[] = {
    {Fn::validate_evaluation_shapes, "_validate_evaluation_shapes", "OOO",
     "features, universe, useful_signals",
     [](H, A a) {
         return returning_none([&] { direct::validate_evaluation_shapes(a[0], a[1], a[2]); });
     },
     "Raise EvaluationError when features, universe or useful signals disagree in shape."},
    {Fn::generate_node_identities, "generate_node_identities", "O", "graph",
     [](H, A a) { return direct::generate_node_identities(a[0]); },
     "Map every node path of the graph (\"root\", \"root.c0\", ...) to the node's value.\n\n"
     "The dict is built once per graph object, in pre-order, and kept on the root until\n"
     "invalidate_graph_evaluation_caches() clears it; callers must not modify it."},
    {Fn::invalidate_graph_evaluation_caches, "invalidate_graph_evaluation_caches", "O", "graph",
     [](H, A a) {
         return returning_none([&] { direct::invalidate_graph_evaluation_caches(a[0]); });
     },
     "Clear the structure caches (node identities, collected nodes) of every node of\n"
     "the graph. Call it after changing a graph's structure in place. Objects that are\n"
     "not graph nodes are ignored."},
    {Fn::require_graph_node_instance, "_require_graph_node_instance", "OO", "node, path",
     [](H, A a) { return direct::require_node_instance(a[0], a[1]); },
     "Return node when it is a FunctionGraphNode; raise SchemaError naming path."},
    {Fn::graph_has_field, "_graph_has_field", "OO", "node, key",
     [](H, A a) { return boolean(direct::graph_has_field(a[0], a[1])); },
     "Whether the graph node has the attribute key."},
    {Fn::require_graph_field, "_require_graph_field", "OOO", "node, key, path",
     [](H, A a) { return direct::require_graph_field(a[0], a[1], a[2]); },
     "The attribute key of the node; EvaluationError when it is missing."},
    {Fn::require_graph_type_value, "_require_graph_type_value", "OO", "node, path",
     [](H, A a) { return require_graph_field(a[0], str_key("type"), a[1]); },
     "The node's type."},
    {Fn::require_graph_node_value, "_require_graph_node_value", "OO", "node, path",
     [](H, A a) { return require_graph_field(a[0], str_key("node"), a[1]); },
     "The node's value."},
    {Fn::graph_children, "_graph_children", "O", "node",
     [](H, A a) { return direct::graph_children(a[0]); },
     "The node's children, or a new empty list when it has none."},
    {Fn::graph_config_dict, "_graph_config_dict", "O", "node",
     [](H, A a) { return direct::graph_config_dict(a[0]); },
     "A fresh dict of the node's configuration."},
    {Fn::iter_schema_items, "_iter_schema_items", "O", "schema",
     [](H, A a) { return direct::iter_schema_items(a[0]); },
     "The schema itself, or an empty tuple for None."},
    {Fn::schema_param_name_and_type, "_schema_param_name_and_type", "O|O",
     "item, fallback_name=None",
     [](H, A a) { return direct::schema_param_name_and_type(a[0], a[1]); },
     "The (name, parameter type) pair of one parameter-schema item."},
    {Fn::config_param_names, "_config_param_names", "O", "entry",
     [](H, A a) { return direct::config_param_names(a[0]); },
     "Names of the literal parameters of a registry entry, in schema order."},
    {Fn::graph_cache_get, "_graph_cache_get", "OO", "graph, key",
     [](H, A a) { return direct::graph_cache_get(a[0], a[1]); },
     "The cache slot key of a graph node, or None when it was never written."},
    {Fn::graph_cache_set, "_graph_cache_set", "OOO", "graph, key, value",
     [](H, A a) { return returning_none([&] { direct::graph_cache_set(a[0], a[1], a[2]); }); },
     "Store value in the cache slot key of a graph node; a node that refuses the\n"
     "attribute is left unchanged."},
    {Fn::compute_graph_warmup_rows, "_compute_graph_warmup_rows", "OO|O",
     "graph_node, registry, path='root'",
     [](H, A a) { return direct::compute_graph_warmup_rows(a[0], a[1], a[2]); },
     "Number of leading rows that stay NaN while the stateful windowed functions of the\n"
     "sub-tree fill their windows (stacked rotations add up, a reduction restarts)."},
    {Fn::get_warmup_count_for_instance, "_get_warmup_count_for_instance", "O", "instance",
     [](H, A a) { return direct::get_warmup_count_for_instance(a[0]); },
     "Rows a running function instance has already consumed (its state's \"count\"),\n"
     "or 0 when unknown."},
    {Fn::dict_to_filter_node, "_dict_to_filter_node", "O|O", "graph_node, path='filtration'",
     [](H, A a) { return direct::dict_to_filter_node(a[0], a[1]); },
     "Convert a filtration sub-tree of the graph into a FilterNode tree; literal\n"
     "children become the operator's parameters."},
    {Fn::describe_dict_filter, "_describe_dict_filter", "O|O", "node, path='filtration'",
     [](H, A a) { return direct::describe_dict_filter(a[0], a[1]); },
     "A compact description of a filtration sub-tree for error messages."},
    {Fn::extract_filtration_weights, "extract_filtration_weights", "OOi",
     "useful_signals, passing_ids, t",
     [](H, A a) { return direct::extract_filtration_weights(a[0], a[1], a.as_int(2)); },
     "Row t of the weights of every passing signal, stacked in passing_ids order into\n"
     "a new (len(passing_ids), N_alloc) float64 array."},
    {Fn::attach_stage_data_feature_leaves, "_attach_stage_data_feature_leaves", "OO",
     "graph, context",
     [](H, A a) {
         return returning_none([&] { direct::attach_stage_data_feature_leaves(a[0], a[1]); });
     },
     "Expose two-dimensional stage-data arrays named by the graph's feature leaves as\n"
     "features of the context (loaded features win)."},
    {Fn::annotate_state_identities, "_annotate_state_identities", "O|O", "node, path='root'",
     [](H, A a) { return returning_none([&] { direct::annotate_state_identities(a[0], a[1]); }); },
     "Record on every rotation and reduction node its current path as the key of its\n"
     "function state."},
    {Fn::resolve_stage_option, "_resolve_stage_option", "OO", "context, stage",
     [](H, A a) { return direct::resolve_stage_option(a[0], a[1]); },
     "The option of a transform stage: the metaparameter named like the stage, else\n"
     "the one under the context's pool id, else the stage default."},
    {Fn::can_use_simple_rank_fast_path, "_can_use_simple_rank_fast_path", "OOO|$O",
     "graph, context, function_states, *, data_nan_features=None",
     [](H, A a) { return boolean(direct::can_use_simple_rank_fast_path(a[0], a[1], a[2], a[3])); },
     "Whether the graph is a rank rotation over one data leaf that the whole-matrix "
     "rank can answer."},
    {Fn::can_use_rank_multiply_fast_path, "_can_use_rank_multiply_fast_path", "OOO|$OO",
     "graph, context, function_states, *, bound_function_instances=None, "
     "data_nan_features=None",
     [](H, A a) {
         return boolean(direct::can_use_rank_multiply_fast_path(a[0], a[1], a[2], a[3], a[4]));
     },
     "Whether the graph is the product of two ranks of data leaves held by the context."},
    {Fn::can_use_leaf_fast_path, "_can_use_leaf_fast_path", "OOO|$O",
     "graph, context, function_states, *, data_nan_features=None",
     [](H, A a) { return boolean(direct::can_use_leaf_fast_path(a[0], a[1], a[2], a[3])); },
     "Whether the graph is a bare data leaf of a feature held by the context."},
    {Fn::apply_universe_mask, "_apply_universe_mask", "OO", "data, universe",
     [](H, A a) { return direct::apply_universe_mask(a[0], a[1]); },
     "NaN wherever the universe is 0.0 or NaN; data itself when universe is None."},
    {Fn::evaluate_leaf_fast, "_evaluate_leaf_fast", "OO", "graph, context",
     [](H, A a) { return direct::evaluate_leaf_fast(a[0], a[1]); },
     "The masked feature matrix of a leaf graph; sets context.registers."},
    {Fn::evaluate_simple_rank_fast, "_evaluate_simple_rank_fast", "OO", "graph, context",
     [](H, A a) { return direct::evaluate_simple_rank_fast(a[0], a[1]); },
     "Cross-sectional ranks of the leaf's feature, or None when a row holds a finite tie."},
    {Fn::evaluate_rank_multiply_fast, "_evaluate_rank_multiply_fast", "OO", "graph, context",
     [](H, A a) { return direct::evaluate_rank_multiply_fast(a[0], a[1]); },
     "Product of the two operands' rank matrices, or None when either declines; sets "
     "context.registers."},
    {Fn::get_int_window_child, "_get_int_window_child", "O", "children",
     [](H, A a) { return direct::get_int_window_child(a[0]); },
     "The window of a rotation: int() of the value of its first \"int\" child, or None."},
    {Fn::can_use_longitudinal_fast_path, "_can_use_longitudinal_fast_path", "OOOO|$O",
     "graph, context, function_states, T, *, data_nan_features=None",
     [](H, A a) {
         return boolean(direct::can_use_longitudinal_fast_path(a[0], a[1], a[2], a[3], a[4]));
     },
     "Whether a large run's graph is a chain of built-in rolling rotations over one data "
     "leaf that the whole-matrix kernels can evaluate."},
    {Fn::feature_matrix_for_fast_path, "_feature_matrix_for_fast_path", "OO", "node, context",
     [](H, A a) { return direct::feature_matrix_for_fast_path(a[0], a[1]); },
     "The named feature as masked, C-contiguous float64."},
    {Fn::rolling_longitudinal_fast, "_rolling_longitudinal_fast", "OOO", "data, window, name",
     [](H, A a) { return direct::rolling_longitudinal_fast(a[0], a[1], a[2]); },
     "Rolling mean, population standard deviation or z-score over `window` rows of a "
     "(T, N) matrix; NaN unless the whole window is valid."},
    {Fn::evaluate_longitudinal_fast_node, "_evaluate_longitudinal_fast_node", "OO",
     "node, context", [](H, A a) { return direct::evaluate_longitudinal_fast_node(a[0], a[1]); },
     "The float64 matrix of one node of a longitudinal chain."},
    {Fn::evaluate_longitudinal_fast, "_evaluate_longitudinal_fast", "OO", "graph, context",
     [](H, A a) { return direct::evaluate_longitudinal_fast(a[0], a[1]); },
     "The C-contiguous float64 weights of a longitudinal chain."},
    {Fn::evaluate_unlocked, "_evaluate_unlocked", "OO|OO$OO",
     "graph, context, function_states=None, is_cold_start=False, *, "
     "bound_function_instances=None, data_nan_features=None",
     [](H, A a) { return driver::evaluate_unlocked(a[0], a[1], a[2], a[3], a[4], a[5]); },
     "Execute the validated graph dictionary against the data in context.\n\n"
     "Returns an EvaluationResult that unpacks as (output_weights, states_dict):\n"
     "output_weights: (T, N_alloc) float64 weights matrix\n"
     "states_dict: Dict[str, FunctionState] for all stateful function instances\n\n"
     "With is_cold_start true, stateful reductions whose state count is below their\n"
     "window are pre-filled from the PnL tail (first tick after a checkpoint restore);\n"
     "ordinary live ticks pass False so that no spurious pre-fill happens."},
    {Fn::evaluate, "evaluate", "OO|OO$OO",
     "graph, context, function_states=None, is_cold_start=False, *, "
     "bound_function_instances=None, data_nan_features=None",
     [](H, A a) { return direct::evaluate(a[0], a[1], a[2], a[3], a[4], a[5]); },
     "Evaluate a function graph against an EvaluationContext.\n\n"
     "Evaluations that share a context are serialised by the context's re-entrant\n"
     "lock; evaluations with different contexts run independently.\n\n"
     "Parameters\n----------\n"
     "graph : FunctionGraphNode\n"
     "    Root of the function graph.\n"
     "context : EvaluationContext\n"
     "    Features, universe, useful signals, registry and options; the evaluation\n"
     "    leaves scratch attributes (registers, current_day_index, ...) on it.\n"
     "function_states : dict of str to FunctionState, optional\n"
     "    States carried from the previous tick, keyed by state key (by default the\n"
     "    node path, such as root.c0).\n"
     "is_cold_start : bool, default False\n"
     "    True on the first tick after a checkpoint restore: stateful reductions whose\n"
     "    state count is below their window are pre-filled from the PnL tail.\n"
     "bound_function_instances : dict of str to function instance, optional\n"
     "    Instances bound by the caller, keyed by node path; they advance with every\n"
     "    evaluated row.\n"
     "data_nan_features : iterable of str, optional\n"
     "    Features whose NaNs are missing data; the nodes fed only by them are\n"
     "    reported in the result's nan_source.\n\n"
     "Returns\n-------\n"
     "EvaluationResult\n"
     "    The (T, N_alloc) float64 weights matrix; unpacks as (weights, states), states\n"
     "    mapping the state key of every stateful instance to its FunctionState.\n\n"
     "Raises\n------\n"
     "SchemaError\n"
     "    graph is not a FunctionGraphNode (the context is not touched).\n"
     "EvaluationError, EvaluationShapeError\n"
     "    Inputs that disagree in shape, features missing from the context.\n"
     "FunctionExecutionError\n"
     "    A function could not be configured or its call failed (chained to the\n"
     "    exception it raised)."},
};

constexpr std::size_t kRows = sizeof(kFunctions) / sizeof(kFunctions[0]);
static_assert(kRows == (std::size_t) kFunctionCount, "one row per module function");

}  // namespace

void init_functions(nb::handle m) { add_functions<kFunctions, kRows>(m); }

}  // namespace ee
