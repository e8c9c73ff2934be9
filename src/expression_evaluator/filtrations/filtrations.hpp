// Filtrations: filter-tree conversion, filter descriptions and the extraction of the
// passing signals' weight rows. The functions in namespace ee go through the module
// functions of the same names (via_module); ee::direct holds their implementations.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee {

// The FilterNode tree of a filtration sub-tree (path "filtration").
nb::object dict_to_filter_node(nb::handle graph_node);

// The readable description of a filtration sub-tree, e.g. "filtration(and_(gt(x, 1.5), lt))".
nb::object describe_dict_filter(nb::handle node);

namespace direct {
nb::object dict_to_filter_node(nb::handle graph_node, nb::handle path);
nb::object describe_dict_filter(nb::handle node, nb::handle path);
// The (len(passing_ids), N_alloc) float64 matrix of row t of each passing signal's weights.
nb::object extract_filtration_weights(nb::handle useful_signals, nb::handle passing_ids, int t);
}  // namespace direct

}  // namespace ee
