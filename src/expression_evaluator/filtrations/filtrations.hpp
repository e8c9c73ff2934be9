// Filtrations: filter-tree conversion, filter descriptions and the extraction of the
// passing signals' weight rows. C++ entry points behind the module functions of the same
// names, with their exact behaviour.
#pragma once

#include "../common/py.hpp"

namespace ee {

// The FilterNode tree of a filtration sub-tree (default path "filtration").
nb::object dict_to_filter_node(nb::handle graph_node, nb::handle path);
nb::object dict_to_filter_node(nb::handle graph_node);

// The readable description of a filtration sub-tree, e.g. "filtration(and_(gt(x, 1.5), lt))".
nb::object describe_dict_filter(nb::handle node, nb::handle path);
nb::object describe_dict_filter(nb::handle node);

// The (len(passing_ids), N_alloc) float64 matrix of row t of each passing signal's weights.
nb::object extract_filtration_weights(nb::handle useful_signals, nb::handle passing_ids, int t);

// Module registration (filtrations/filtrations.cpp calls these).
void init_filter_trees(nb::handle m);
void init_filtration_weights(nb::handle m);

}  // namespace ee
