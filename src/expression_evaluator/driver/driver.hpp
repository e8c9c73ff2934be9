// The evaluation driver, along its route: prepare (prepare.cpp), preflight (preflight.cpp),
// dispatch to the fast paths (dispatch.cpp), or collect (collect.cpp), plan (plan.cpp), the
// row loop (row_loop.cpp) and the states (states.cpp). One Driver object lives for one
// call of _evaluate_unlocked; every table it builds belongs to that call.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ee::driver {

// Node kinds the row loop acts on.
enum class Kind { Feature, Float, Int, String, Bool, Filtration, Rotation, Reduction, Other };

struct PreflightWalk;

// The per-evaluation validators of explicit function configuration. They read the registry
// of the evaluation's own context.
struct ConfigChecks {
    nb::handle context;

    nb::object schema_names(nb::handle entry) const;
    // The preflight of the whole graph. With `keep`, the walk is kept for the graph object
    // and replayed on later calls while its nodes are unchanged (preflight.cpp).
    void preflight(nb::handle graph, bool keep) const;
    void preflight_at(nb::handle node, std::string &path, PreflightWalk *record) const;
    void preflight_children(nb::handle node, std::string &path, PreflightWalk *record,
                            size_t step) const;
    void registry_checks(nb::handle nval, nb::handle config, const std::string &path) const;
    void replay(const PreflightWalk &walk) const;
    void validate(nb::handle function_name, nb::handle config, nb::handle path) const;
    bool can_instantiate(nb::handle function_name) const;
};

struct GraphPlan;
struct BoundTables;

// One evaluation of the general path.
struct Driver {
    // Inputs.
    nb::object graph, context, function_states, bound_function_instances, data_nan_features;
    bool is_cold_start = false;
    Py_ssize_t T = 0, N = 0;
    ConfigChecks checks;

    // Node tables (Python objects: they may be cached on the graph).
    nb::object bound_instances;  // the caller's table, or an empty dict
    bool bound_nonempty = false;
    nb::object precomputed, precomputed_nan;
    bool can_use_cache = false;
    nb::object node_info, float_values, feature_ref_names, filtration_nodes, reduction_nodes,
        state_keys;
    // In collection order: (path, position in context.features) of every data leaf, and
    // every function instance with whether the caller bound it.
    std::vector<std::pair<nb::object, nb::object>> feature_refs;
    struct Instance {
        nb::object path, inst;
        bool bound;
    };
    std::vector<Instance> func_instances;
    std::shared_ptr<const GraphPlan> plan;  // evaluation order, registers (plan.cpp)
    // The plan's look-ups that gave feature_refs and func_instances, when they did.
    std::shared_ptr<const BoundTables> bound_tables;

    // Collection (collect.cpp).
    void collect();
    void bind_from_cache(nb::handle feature_index);

    // Row loop, states and the result (row_loop.cpp).
    nb::object run();
};

// The preflight walk kept for a graph object (empty when none is), and keeping one (or
// dropping it, with an empty pointer) (plan.cpp).
std::shared_ptr<const PreflightWalk> kept_walk(nb::handle graph);
void keep_walk(nb::handle graph, std::shared_ptr<const PreflightWalk> walk);

// The fast paths in their fixed order; an empty object when none applies (dispatch.cpp).
nb::object dispatch_fast_paths(Driver &d);

// _evaluate_unlocked after argument binding (prepare.cpp).
nb::object evaluate_unlocked(nb::handle graph, nb::handle context, nb::handle function_states,
                             nb::handle is_cold_start, nb::handle bound,
                             nb::handle data_nan_features);

}  // namespace ee::driver

