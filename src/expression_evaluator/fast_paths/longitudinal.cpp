// Longitudinal fast-path detection and the rolling kernels' bindings.
#include "../module_parts.hpp"

namespace ee {
void init_fast_paths_longitudinal(nb::handle) {}
}  // namespace ee
