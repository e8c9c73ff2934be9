// The evaluation driver and the evaluate entry.
#include "../module_parts.hpp"

namespace ee {
void init_driver(nb::handle) {}
}  // namespace ee
