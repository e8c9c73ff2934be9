// Universe masking and the vectorised fast paths.
#include "../module_parts.hpp"

namespace ee {
void init_fast_paths(nb::handle) {}
}  // namespace ee
