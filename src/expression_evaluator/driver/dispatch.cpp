// The fast-path dispatch: the four vectorised paths offered the graph in their fixed
// order; the first that accepts it and yields a matrix ends the evaluation.
#include "driver.hpp"

#include "../fast_paths/cross_sectional.hpp"
#include "../fast_paths/longitudinal.hpp"

namespace ee::driver {

namespace {

// A detector's answer, taken by its truth value.
template <typename Direct, typename Through>
bool detect(Fn fn, Direct &&direct, Through &&through) {
    return via_module(fn, direct, [&](nb::handle f) { return truthy(through(f)); });
}

nb::object fast_result(nb::handle matrix) { return global("EvaluationResult")(matrix, new_dict()); }

}  // namespace

// The four fast paths, in their fixed order; an invalid object when none applies.
nb::object dispatch_fast_paths(Driver &d) {
    nb::handle g = d.graph, ctx = d.context, fs = d.function_states;
    nb::handle dnf = d.data_nan_features, bound = d.bound_function_instances;
    if (detect(Fn::can_use_leaf_fast_path,
               [&] { return direct::can_use_leaf_fast_path(g, ctx, fs, dnf); },
               [&](nb::handle f) {
                   return call_kw(f, {g, ctx, fs}, {"data_nan_features"}, {dnf});
               }))
        return fast_result(
            call_module<direct::evaluate_leaf_fast>(Fn::evaluate_leaf_fast, g, ctx));
    if (detect(Fn::can_use_simple_rank_fast_path,
               [&] { return direct::can_use_simple_rank_fast_path(g, ctx, fs, dnf); },
               [&](nb::handle f) {
                   return call_kw(f, {g, ctx, fs}, {"data_nan_features"}, {dnf});
               })) {
        nb::object m = call_module<direct::evaluate_simple_rank_fast>(
            Fn::evaluate_simple_rank_fast, g, ctx);
        if (!m.is_none()) return fast_result(m);
    }
    if (detect(Fn::can_use_rank_multiply_fast_path,
               [&] { return direct::can_use_rank_multiply_fast_path(g, ctx, fs, bound, dnf); },
               [&](nb::handle f) {
                   return call_kw(f, {g, ctx, fs},
                                  {"bound_function_instances", "data_nan_features"}, {bound, dnf});
               })) {
        nb::object m = call_module<direct::evaluate_rank_multiply_fast>(
            Fn::evaluate_rank_multiply_fast, g, ctx);
        if (!m.is_none()) return fast_result(m);
    }
    nb::object T = py_int(d.T);
    if (detect(Fn::can_use_longitudinal_fast_path,
               [&] { return direct::can_use_longitudinal_fast_path(g, ctx, fs, T, dnf); },
               [&](nb::handle f) {
                   return call_kw(f, {g, ctx, fs, T}, {"data_nan_features"}, {dnf});
               }))
        return fast_result(call_module<direct::evaluate_longitudinal_fast>(
            Fn::evaluate_longitudinal_fast, g, ctx));
    return nb::object();
}

}  // namespace ee::driver
