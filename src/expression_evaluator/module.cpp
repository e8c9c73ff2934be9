// tessaline.simulator_engine.expression_evaluator: the module frame. Imports the sibling
// components into the module namespace (where every evaluation looks them up), creates the
// module logger, and lets each subsystem add its functions, classes and tables.
#define EE_IMPORT_ARRAY_HERE
#include "common/arrays.hpp"
#include "interface/interface.hpp"

namespace ee {
void import_numpy() {
    if (_import_array() < 0) throw nb::python_error();
}
}  // namespace ee

namespace {

const char *const kDoc =
    "Expression evaluator implementation (MVP).\n"
    "\n"
    "Executes validated graph dictionaries against feature data, producing TxN_alloc\n"
    "weights matrices, and dispatches function calls via the function store.\n";

// from MODULE import NAME [as ALIAS], in the order the evaluator depends on them.
struct Import {
    const char *module;
    const char *name;   // nullptr: bind the module itself
    const char *alias;  // nullptr: same as name (or the module's name)
};

const Import kImports[] = {
    {"threading", nullptr, "threading"},
    {"copy", "deepcopy", nullptr},
    {"typing", "Any", nullptr},
    {"typing", "Dict", nullptr},
    {"typing", "List", nullptr},
    {"typing", "Optional", nullptr},
    {"typing", "Tuple", nullptr},
    {"numpy", nullptr, "np"},
    {"structlog", nullptr, "structlog"},
    {"tessaline.functions.filtrations_evaluation", "EmptyFiltrationError", nullptr},
    {"tessaline.functions.filtrations_evaluation", "EmptyPoolError", nullptr},
    {"tessaline.functions.filtrations_evaluation", "FilterNode", nullptr},
    {"tessaline.functions.filtrations_evaluation", "FiltrationResult", nullptr},
    {"tessaline.functions.filtrations", "FiltrationInstance", nullptr},
    {"tessaline.simulator_engine._types", "UsefulSignal", nullptr},
    {"tessaline.simulator_engine._types", "TransformStage", nullptr},
    {"tessaline.simulator_engine._types", "EvaluationError", nullptr},
    {"tessaline.simulator_engine._types", "EvaluationShapeError", nullptr},
    {"tessaline.simulator_engine._types", "FunctionExecutionError", nullptr},
    {"tessaline.simulator_engine._types", "FiltrationResolutionError", nullptr},
    {"tessaline.simulator_engine._combine", "combine_signal_and_transforms", nullptr},
    {"tessaline.simulator_engine._graph_helpers", "extract_feature_leaf_names", nullptr},
    {"tessaline.simulator_engine._registry_protocols", "RegistryProtocol", nullptr},
    {"tessaline.functions._typed_shapes", "FunctionGraphNode", nullptr},
    {"tessaline.functions._typed_shapes", "FunctionState", nullptr},
    {"tessaline.functions._typed_shapes", "SchemaError", nullptr},
    {"tessaline.functions._typed_shapes", "StageData", nullptr},
};

// The names the module defines, in definition order (tables at their places).
const char *const kDefinitionOrder[] = {
    "_validate_evaluation_shapes", "EvaluationResult", "EvaluationContext",
    "generate_node_identities", "invalidate_graph_evaluation_caches",
    "_require_graph_node_instance", "_graph_has_field", "_require_graph_field",
    "_require_graph_type_value", "_require_graph_node_value", "_graph_children",
    "_graph_config_dict", "_iter_schema_items", "_CONFIG_CHILD_TYPES",
    "_schema_param_name_and_type", "_config_param_names", "_graph_cache_get",
    "_graph_cache_set", "_compute_graph_warmup_rows", "_get_warmup_count_for_instance",
    "FILTRATION_NODE_TYPES", "_dict_to_filter_node", "_describe_dict_filter",
    "extract_filtration_weights", "_attach_stage_data_feature_leaves",
    "_annotate_state_identities", "_resolve_stage_option", "_can_use_simple_rank_fast_path",
    "_can_use_rank_multiply_fast_path", "_can_use_leaf_fast_path", "_apply_universe_mask",
    "_evaluate_leaf_fast", "_evaluate_simple_rank_fast", "_evaluate_rank_multiply_fast",
    "_LONGITUDINAL_FAST_MIN_ROWS", "_LONGITUDINAL_FAST_NAMES", "_get_int_window_child",
    "_can_use_longitudinal_fast_path", "_feature_matrix_for_fast_path",
    "_rolling_longitudinal_fast", "_evaluate_longitudinal_fast_node",
    "_evaluate_longitudinal_fast", "_evaluate_unlocked", "evaluate",
};

void import_siblings(nb::handle m) {
    for (const Import &imp : kImports) {
        nb::object mod = ee::check(PyImport_ImportModule(imp.module));
        nb::object value = imp.name ? ee::get_attr(mod, imp.name) : mod;
        const char *bind = imp.alias ? imp.alias : imp.name;
        ee::set_attr(m, bind, value);
    }
}

void create_logger(nb::handle m) {
    nb::object structlog = ee::global("structlog");
    nb::object logger = ee::get_attr(structlog, "get_logger")(
        "tessaline.simulator_engine.expression_evaluator");
    ee::set_attr(m, "_logger", ee::get_attr(structlog, "wrap_logger")(logger));
}

// Re-insert the defined names in definition order, so that vars(module) reads like the
// source of a Python module.
void order_definitions(nb::handle m) {
    PyObject *dict = PyModule_GetDict(m.ptr());
    for (const char *name : kDefinitionOrder) {
        PyObject *value = PyDict_GetItemString(dict, name);
        if (!value) continue;
        nb::object keep = nb::borrow(value);
        if (PyDict_DelItemString(dict, name) != 0 ||
            PyDict_SetItemString(dict, name, keep.ptr()) != 0)
            throw nb::python_error();
    }
}

}  // namespace

NB_MODULE(expression_evaluator, m) {
    ee::set_module_object(m.ptr());
    ee::set_attr(m, "__doc__", ee::pystr(kDoc));
    ee::import_numpy();
    ee::init_buffer_pool();
    import_siblings(m);
    create_logger(m);
    ee::init_tables(m);
    ee::init_functions(m);
    ee::init_result(m);
    ee::init_context(m);
    order_definitions(m);
}
