// The longitudinal fast path: detection of chains of the built-in rolling rotations and
// their whole-matrix evaluation. ee::direct holds the implementations behind the module
// functions of the same names.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee::direct {

// int() of the node value of the first child of type "int", or None.
nb::object get_int_window_child(nb::handle children);
bool can_use_longitudinal_fast_path(nb::handle graph, nb::handle context,
                                    nb::handle function_states, nb::handle T,
                                    nb::handle data_nan_features);
// The (T, N) float64 rolling statistic `name` over `window` rows.
nb::object rolling_longitudinal_fast(nb::handle data, nb::handle window, nb::handle name);
nb::object evaluate_longitudinal_fast_node(nb::handle node, nb::handle context);
nb::object evaluate_longitudinal_fast(nb::handle graph, nb::handle context);

}  // namespace ee::direct
