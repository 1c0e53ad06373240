// Placeholder for log replay until the write-ahead log lands: the log is treated as empty.
// The write-ahead-log implementation defines IvfIndex::replay_wal itself and deletes this file.
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::index {

Result<std::pair<uint64_t, bool>> IvfIndex::replay_wal() { return std::pair<uint64_t, bool>{0, false}; }

}  // namespace ivf_rabitq::index
