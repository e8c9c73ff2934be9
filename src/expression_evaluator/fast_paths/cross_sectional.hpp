// Universe masking and the cross-sectional fast paths (leaf, rank, rank-multiply). The
// functions in namespace ee go through the module functions of the same names
// (via_module); ee::direct holds their implementations.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee {

// _apply_universe_mask(data, universe): `data` itself when universe is None, else a new
// array with NaN wherever the universe is 0.0 or NaN.
nb::object apply_universe_mask(nb::handle data, nb::handle universe);

// _feature_matrix_for_fast_path(node, context): the named feature as masked, C-contiguous
// float64; EvaluationError "Feature '...' not in context" for an unknown name.
nb::object feature_matrix_for_fast_path(nb::handle node, nb::handle context);

// Useful signals, a pending transform pipeline or metaparameters on the context: what the
// whole-matrix paths leave to the general path.
bool context_has_extras(nb::handle context);

namespace direct {
nb::object apply_universe_mask(nb::handle data, nb::handle universe);
nb::object feature_matrix_for_fast_path(nb::handle node, nb::handle context);
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
}  // namespace direct

}  // namespace ee
