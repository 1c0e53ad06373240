// Placeholder for schema growth at open until delta typing lands: nothing grows, so the
// manifest's fields apply and the delta's typed columns stay as loaded. The schema-growth
// implementation defines rebuild_delta_schema itself and deletes this file.
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::index {

std::optional<std::vector<FieldSchema>> rebuild_delta_schema(const std::vector<FieldSchema>&,
                                                             const std::optional<SkipSet>&, Delta&, bool) {
  return std::nullopt;
}

}  // namespace ivf_rabitq::index
