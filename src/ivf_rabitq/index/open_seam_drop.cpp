// Teardown of an open index: one last fdatasync of the log descriptor it holds, with a
// warning line when that fails. No checkpoint, no file written. The checkpoint
// implementation may take this function over (and delete this file).
#include <unistd.h>

#include <cerrno>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/index/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::index {

void IvfIndex::drop() noexcept {
  if (dropped_) return;
  dropped_ = true;
  auto w = wal.lock();
  if (!w->has_value()) return;
  int rc;
  do {
    rc = ::fdatasync(**w);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const IoError err = IoError::last_os();
    detail::warn_line("Tandrel: final WAL sync on drop failed at " + storage::quoted_path(dir) + " (" + err.text() +
                      "); a group-commit tail may be lost \u2014 call sync()/close() explicitly for a durability "
                      "point");
  }
}

}  // namespace ivf_rabitq::index
