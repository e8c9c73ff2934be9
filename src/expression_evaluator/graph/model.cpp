// Graph model: caches and identities, stage data, warm-up rows.
#include "../module_parts.hpp"
#include "model.hpp"

namespace ee {
void init_graph_model(nb::handle m) {
    init_graph_caches(m);
    init_graph_warmup(m);
    init_graph_stage_data(m);
}
}  // namespace ee
