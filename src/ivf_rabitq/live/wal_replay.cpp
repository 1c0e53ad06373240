// Log replay at open: every logged operation since the last checkpoint is applied again
// through apply_add and apply_delete, on top of delta.bin and deleted.bin.
#include <algorithm>
#include <cmath>
#include <string>

#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/live/wal.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::index {

Result<std::pair<uint64_t, bool>> IvfIndex::replay_wal() {
  auto bytes = storage::read_file(storage::join_path(dir, storage::kWalFile));
  if (!bytes.ok()) {
    const IoError& e = bytes.error();
    if (e.kind() == ErrorKind::NotFound) return std::pair<uint64_t, bool>{0, false};
    return IoError::msg(e.kind(), "corrupt index: wal.bin at " + storage::quoted_path(dir) +
                                      " exists but is unreadable (" + e.text() +
                                      "); refusing to open as an empty WAL (un-checkpointed writes would be lost)");
  }
  const std::vector<uint8_t>& log = bytes.value();
  if (log.empty()) return std::pair<uint64_t, bool>{0, false};

  const uint64_t dim = manifest.dim;
  const live::WalScanResult res = live::scan_wal(log, [&](live::DecodedWalOp& op) {
    if (op.kind == live::DecodedWalOp::Kind::Delete) {
      (void)live::apply_delete(*this, op.id);
      return live::WalApply::Applied;
    }
    if (op.vector.size() != dim) return live::WalApply::Skipped;
    // add never logs a NaN or infinite component; such a frame is damage, not a row.
    if (!std::all_of(op.vector.begin(), op.vector.end(), [](float x) { return std::isfinite(x); })) {
      return live::WalApply::Skipped;
    }
    // Never wrap the slot space: an add beyond it is not applied and marks the log damaged.
    if (!live::slot_space_allows_one_more(manifest.n, locks_.delta.read()->rows())) return live::WalApply::Skipped;
    json::Value doc;
    if (auto parsed = json::parse(op.meta); parsed.ok()) doc = std::move(parsed).value();
    std::string text = json::to_compact(doc);
    live::apply_add(*this, std::move(op.id), op.vector, doc, std::move(text), op.sparse);
    return live::WalApply::Applied;
  });
  if (res.damaged) segment::detail::warn_line(live::wal_damage_warning(dir));
  return std::pair<uint64_t, bool>{res.end, res.damaged};
}

}  // namespace ivf_rabitq::index
