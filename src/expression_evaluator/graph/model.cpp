// Graph caches, node identities, stage data leaves and warm-up rows.
#include "../module_parts.hpp"

namespace ee {
void init_graph_model(nb::handle) {}
}  // namespace ee
