// The evaluation driver: preparation, configuration checks, node collection, the row loop,
// data-NaN tracking and the fast-path dispatch. One Driver object lives for one call of
// _evaluate_unlocked; every table it builds belongs to that call.
#pragma once

#include "../common/arrays.hpp"
#include "../module_parts.hpp"

#include <string>
#include <vector>

namespace ee::driver {

// Node kinds the row loop acts on.
enum class Kind { Feature, Float, Int, String, Bool, Filtration, Rotation, Reduction, Other };

// The per-evaluation validators of explicit function configuration. They read the registry
// of the evaluation's own context.
struct ConfigChecks {
    nb::handle context;

    nb::object schema_names(nb::handle entry) const;
    void preflight(nb::handle node, const std::string &path) const;
    void validate(nb::handle function_name, nb::handle config, nb::handle path) const;
    bool can_instantiate(nb::handle function_name) const;
};

// One evaluation of the general path.
struct Driver {
    // Inputs.
    nb::object graph, context, function_states, bound_function_instances, data_nan_features;
    bool is_cold_start = false;
    Py_ssize_t T = 0, N = 0;
    ConfigChecks checks;

    // Tables of Part "node collection" (Python objects: they may be cached on the graph).
    nb::object bound_instances;  // the caller's table, or an empty dict
    bool bound_nonempty = false;
    nb::object precomputed, precomputed_nan;
    bool can_use_cache = false;
    nb::object node_info, float_values, feature_refs, feature_ref_names, filtration_nodes,
        reduction_nodes, state_keys, func_instances, bound_paths;
    std::vector<nb::object> topo_order;  // paths, children before parents
    nb::object reg_map;                  // path -> register number
    Py_ssize_t n_registers = 0;          // registers numbered while walking node_info

    // Collection (collect.cpp).
    void collect();

    // Row loop, states and the result (row_loop.cpp).
    nb::object run();
};

// _evaluate_unlocked after argument binding.
nb::object evaluate_unlocked(nb::handle graph, nb::handle context, nb::handle function_states,
                             nb::handle is_cold_start, nb::handle bound,
                             nb::handle data_nan_features);

// Helpers shared by the driver's translation units.
nb::object new_dict();
nb::object py_int(Py_ssize_t v);
// mapping[key] for any mapping (KeyError and friends propagate).
nb::object get_item(nb::handle mapping, nb::handle key);
// mapping.get(key, default) for dicts, else `key in mapping and mapping[key]`.
nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle dflt);
nb::object dict_get(nb::handle mapping, const char *key, nb::handle dflt);
void set_item(nb::handle mapping, nb::handle key, nb::handle value);
void set_item(nb::handle mapping, const char *key, nb::handle value);
// format(value) as std::string.
std::string fmt(nb::handle value);
// Call fn(*args, **{names[i]: kwvalues[i]}) through vectorcall. The names are string
// literals: their keyword tuple is built once per list.
nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<const char *> names,
                   std::initializer_list<nb::handle> kwvalues);

// Graph cache slots on a graph node (the "cache" label names the node in errors).
nb::object cache_get(nb::handle graph, const char *key);
void cache_set(nb::handle graph, const char *key, nb::handle value);

}  // namespace ee::driver

namespace ee {
// The `evaluate` entry (interface/evaluate.cpp) and the driver entry (driver/driver.cpp).
PyObject *py_evaluate(PyObject *self, PyObject *args, PyObject *kwargs) noexcept;
PyObject *py_evaluate_unlocked(PyObject *self, PyObject *args, PyObject *kwargs) noexcept;
}  // namespace ee
