// Filter tree conversion, descriptions and weights extraction.
#include "../module_parts.hpp"

namespace ee {
void init_filtrations(nb::handle) {}
}  // namespace ee
