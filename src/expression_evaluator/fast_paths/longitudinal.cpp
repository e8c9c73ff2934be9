// Longitudinal fast-path detection and the rolling kernels' bindings.
// (Placeholder detector until the longitudinal path lands: it accepts no graph.)
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
    EE_DEF("_can_use_longitudinal_fast_path", py_never,
           "_can_use_longitudinal_fast_path($module, /, graph, context, function_states, T, *, "
           "data_nan_features=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_fast_paths_longitudinal(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
