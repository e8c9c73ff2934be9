// Universe masking, the leaf fast path, the cross-sectional rank and rank-multiply paths.
// (Placeholder detectors until the fast paths land: they accept no graph.)
#include "../module_parts.hpp"

namespace ee {

namespace {

EE_ENTRY(py_never) {
    (void) self;
    (void) args;
    (void) kwargs;
    return guarded([&] { return nb::borrow(Py_False); });
}

PyMethodDef kMethods[] = {
    EE_DEF("_can_use_simple_rank_fast_path", py_never,
           "_can_use_simple_rank_fast_path($module, /, graph, context, function_states, *, "
           "data_nan_features=None)\n--\n\n"),
    EE_DEF("_can_use_rank_multiply_fast_path", py_never,
           "_can_use_rank_multiply_fast_path($module, /, graph, context, function_states, *, "
           "bound_function_instances=None, data_nan_features=None)\n--\n\n"),
    EE_DEF("_can_use_leaf_fast_path", py_never,
           "_can_use_leaf_fast_path($module, /, graph, context, function_states, *, "
           "data_nan_features=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_fast_paths_cross_sectional(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
