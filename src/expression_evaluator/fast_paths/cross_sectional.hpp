// C++ entry points of the cross-sectional fast paths, for the driver and the longitudinal
// fast path. Each one behaves exactly like the module function of the same name.
#pragma once

#include "../common/py.hpp"

namespace ee {

// _apply_universe_mask(data, universe): `data` itself when universe is None, else a new
// array with NaN wherever the universe is 0.0 or NaN (NumPy's own result for inputs that
// the native path does not cover).
nb::object apply_universe_mask(nb::handle data, nb::handle universe);

// _feature_matrix_for_fast_path(node, context): the named feature as masked, C-contiguous
// float64; EvaluationError "Feature '...' not in context" for an unknown name.
nb::object feature_matrix_for_fast_path(nb::handle node, nb::handle context);

// Detectors and evaluators (function_states, bound instances and data-NaN features may be
// null handles, meaning None).
bool can_use_leaf_fast_path(nb::handle graph, nb::handle context, nb::handle function_states,
                            nb::handle data_nan_features);
nb::object evaluate_leaf_fast(nb::handle graph, nb::handle context);
bool can_use_simple_rank_fast_path(nb::handle graph, nb::handle context,
                                   nb::handle function_states, nb::handle data_nan_features);
nb::object evaluate_simple_rank_fast(nb::handle graph, nb::handle context);  // None: declined
bool can_use_rank_multiply_fast_path(nb::handle graph, nb::handle context,
                                     nb::handle function_states,
                                     nb::handle bound_function_instances,
                                     nb::handle data_nan_features);
nb::object evaluate_rank_multiply_fast(nb::handle graph, nb::handle context);  // None: declined

}  // namespace ee
