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

// The matrix of a fast path's operand: `data` itself, or, when `universe` is set, `data`
// masked by that universe, which is left to the kernel (a plain, aligned, C-contiguous
// float64 (T, N) matrix and universe of its shape or (N,), both held here while the
// kernel reads them).
struct FastOperand {
    nb::object data, universe;
    nb::object matrix() const;  // the masked matrix itself
};

// What _feature_matrix_for_fast_path does, with the masking left to the caller where the
// module's own native masking would have done it and `defer_mask`.
FastOperand feature_operand(nb::handle node, nb::handle context, bool defer_mask);

// Whether the native masking covers `data` and `universe`; `ustride`: the universe's row
// stride in cells (0 for an (N,) universe over (T, N) data).
bool native_mask_fits(nb::handle data, nb::handle universe, std::size_t &ustride);

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
