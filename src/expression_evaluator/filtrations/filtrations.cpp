// Filter tree conversion, descriptions and weights extraction.
#include "../module_parts.hpp"
#include "filtrations.hpp"

namespace ee {
void init_filtrations(nb::handle m) {
    init_filter_trees(m);
    init_filtration_weights(m);
}
}  // namespace ee
