// Each subsystem adds its names to the module through one init function.
#pragma once

#include "common/py.hpp"

namespace ee {
void init_tables(nb::handle m);                      // interface/tables.cpp
void init_context_result(nb::handle m);              // interface/context.cpp, result.cpp
void init_graph_access(nb::handle m);                // graph/access.cpp
void init_graph_model(nb::handle m);                 // graph/: caches, identities, stage data, warm-up
void init_filtrations(nb::handle m);                 // filtrations/
void init_fast_paths_cross_sectional(nb::handle m);  // fast_paths/: masking, leaf, rank, rank-multiply
void init_fast_paths_longitudinal(nb::handle m);     // fast_paths/: longitudinal detection and kernels
void init_driver(nb::handle m);                      // driver/ and interface/evaluate.cpp

// The implementation behind _validate_evaluation_shapes (interface/context.cpp).
void validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                nb::handle useful_signals);
}  // namespace ee
