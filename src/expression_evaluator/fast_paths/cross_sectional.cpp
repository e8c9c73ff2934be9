// Universe masking, the leaf fast path, the cross-sectional rank and rank-multiply paths.
#include "../module_parts.hpp"

namespace ee {
void init_fast_paths_cross_sectional(nb::handle) {}
}  // namespace ee
