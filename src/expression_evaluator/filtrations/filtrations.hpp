// Filtrations: filter-tree conversion, filter descriptions, their resolution during an
// evaluation and the extraction of the passing signals' weight rows. The functions in
// namespace ee go through the module functions of the same names (via_module); ee::direct
// holds their implementations.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee {

// The FilterNode tree of a filtration sub-tree (path "filtration").
nb::object dict_to_filter_node(nb::handle graph_node);

// The readable description of a filtration sub-tree, e.g. "filtration(and_(gt(x, 1.5), lt))".
nb::object describe_dict_filter(nb::handle node);

// The filtrations of one evaluation: the passing signals of the filtration node at a path,
// resolved by the engine at most once per path (None for a path without a node).
struct FiltrationResolver {
    nb::handle context;
    nb::handle nodes;  // path -> filtration node
    nb::object cache;  // path -> FiltrationResult

    nb::object resolve(nb::handle path);
};

namespace direct {
nb::object dict_to_filter_node(nb::handle graph_node, nb::handle path);
nb::object describe_dict_filter(nb::handle node, nb::handle path);
// The (len(passing_ids), N_alloc) float64 matrix of row t of each passing signal's weights.
nb::object extract_filtration_weights(nb::handle useful_signals, nb::handle passing_ids, int t);
}  // namespace direct

}  // namespace ee
