// The evaluation interface: the module's classes, tables and function table, `evaluate`
// and _validate_evaluation_shapes.
#pragma once

#include "../common/functions.hpp"
#include "../common/helpers.hpp"

namespace ee {

void init_tables(nb::handle m);     // interface/tables.cpp
void init_context(nb::handle m);    // interface/context.cpp
void init_result(nb::handle m);     // interface/result.cpp
void init_functions(nb::handle m);  // interface/functions.cpp

// Raises EvaluationError when features, universe or useful signals disagree in shape.
void validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                nb::handle useful_signals);

namespace direct {
void validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                nb::handle useful_signals);
nb::object evaluate(nb::handle graph, nb::handle context, nb::handle function_states,
                    nb::handle is_cold_start, nb::handle bound, nb::handle data_nan_features);
}  // namespace direct

}  // namespace ee
