// The delta's sparse postings, rebuilt from its per-row sparse lists at open. The delta-row
// implementation may take this function over (and delete this file).
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::index {

void IvfIndex::rebuild_delta_sparse() {
  auto d = delta.read();
  auto ds = delta_sparse.write();
  ds->clear();
  for (size_t i = 0; i < d->sparse.size(); ++i) {
    for (const auto& [term, weight] : d->sparse[i]) (*ds)[term].emplace_back(static_cast<uint32_t>(i), weight);
  }
}

}  // namespace ivf_rabitq::index
