// Teardown of an open index when its last reference goes: one last fdatasync of the log
// descriptor it holds, with a warning line when that fails. No checkpoint, no file written;
// fsync_failed is ignored.
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::index {

void IvfIndex::drop() noexcept {
  if (dropped_) return;
  dropped_ = true;
  auto w = locks_.wal.lock();
  if (!w->valid()) return;
  const Status st = fileops::fdatasync_retrying(w->get());
  if (!st.ok()) {
    segment::detail::warn_line("Tandrel: final WAL sync on drop failed at " + storage::quoted_path(dir) + " (" +
                               st.error().text() +
                               "); a group-commit tail may be lost \u2014 call sync()/close() explicitly for a "
                               "durability point");
  }
}

}  // namespace ivf_rabitq::index
