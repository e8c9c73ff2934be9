// C++ entry points of the longitudinal fast path. Each one behaves exactly like the module
// function of the same name (arguments that the Python signature makes optional may be
// null handles, meaning None).
#pragma once

#include "../common/py.hpp"

namespace ee {

// _get_int_window_child(children): int() of the node value of the first child of type
// "int", or None.
nb::object get_int_window_child(nb::handle children);

// _can_use_longitudinal_fast_path(graph, context, function_states, T, *, data_nan_features)
bool can_use_longitudinal_fast_path(nb::handle graph, nb::handle context,
                                    nb::handle function_states, nb::handle T,
                                    nb::handle data_nan_features);

// _rolling_longitudinal_fast(data, window, name): the (T, N) float64 rolling statistic.
nb::object rolling_longitudinal_fast(nb::handle data, nb::handle window, nb::handle name);

// _evaluate_longitudinal_fast_node(node, context) and _evaluate_longitudinal_fast(graph,
// context).
nb::object evaluate_longitudinal_fast_node(nb::handle node, nb::handle context);
nb::object evaluate_longitudinal_fast(nb::handle graph, nb::handle context);

}  // namespace ee
