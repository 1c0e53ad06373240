// Checkpoint (checkpoint_then / checkpoint) and the on-disk identity of delta.bin.
//
// What a failure at each step leaves behind:
//   2 log sync      fsync_failed set, descriptor closed, no file written
//   3 deleted.bin   deleted.bin unchanged (atomic replacement)
//   4 delta.bin     deleted.bin replaced, delta.bin unchanged
//   5 stamp         not reported: the stored stamp becomes none
//   6 follow-up     both files replaced; log, flags, counters and stamp unchanged
//   7 quarantine    not reported: the damage flag is cleared even when the copy failed
//   8 empty log     both files replaced, follow-up done, damage flag cleared; the log,
//                   wal_bytes, the descriptor, the stamp and fsync_failed unchanged
// The log is emptied only after both files are durable, and the open reconciles a new
// deleted.bin with an older delta.bin plus the log still in place.
#include "ivf_rabitq/live/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::live {

using index::DeltaStamp;
using index::IvfIndex;
using index::RankedMutex;
using storage::Delta;
using storage::Manifest;

namespace {

using u128 = unsigned __int128;

void raise_to(std::atomic<uint64_t>& a, uint64_t v) {
  uint64_t cur = a.load();
  while (cur < v && !a.compare_exchange_weak(cur, v)) {
  }
}

void close_wal(IvfIndex& ix) { ix.locks().wal.lock()->reset(); }

// Step 2: the log is made durable before a tombstone file that may cover its deletes.
Status sync_log_for_tombstones(IvfIndex& ix) {
  Status st;
  {
    auto w = ix.locks().wal.lock();
    if (w->valid()) {
      st = fileops::fdatasync_retrying(w->get());
    } else {
      const std::string path = storage::join_path(ix.dir, storage::kWalFile);
      const int fd = fileops::open(path.c_str(), O_WRONLY);
      if (fd < 0) {
        if (errno != ENOENT) st = IoError::last_os();
      } else {
        fileops::Fd guard(fd);
        st = fileops::fdatasync_retrying(fd);
      }
    }
  }
  if (!st.ok()) {
    ix.fsync_failed.store(true);
    close_wal(ix);
  }
  return st;
}

}  // namespace

DeltaShape shape_of(const Delta& d) {
  DeltaShape s;
  s.rows = d.ids.size();
  s.codes = d.codes.size();
  s.factors = d.factors.size();
  s.rerank = d.rerank.size();
  s.clusters = d.clusters.size();
  s.meta = d.meta.size();
  s.sparse = d.sparse.size();
  for (const auto& c : d.num_cols) s.num_cols.push_back(c.size());
  for (const auto& c : d.str_cols) s.str_cols.push_back(c.size());
  for (uint32_t c : d.clusters) s.max_cluster = std::max<uint64_t>(s.max_cluster, c);
  return s;
}

Status check_delta_for_checkpoint(const DeltaShape& s, const Manifest& m, size_t num_files, size_t str_files) {
  const u128 rows = s.rows;
  if (static_cast<u128>(m.n) + rows >= kSlotLimit) {
    return invalid_data("delta.bin not written: " + std::to_string(m.n) + " main + " + std::to_string(s.rows) +
                        " delta rows do not fit the u32 slot space");
  }
  bool ok = s.clusters == rows && static_cast<u128>(s.codes) == static_cast<u128>(m.n_bits) * rows * m.words_per_plane &&
            static_cast<u128>(s.factors) == 4 * rows &&
            static_cast<u128>(s.rerank) == (static_cast<u128>(m.dim) + 1) * rows && (s.meta == 0 || s.meta == rows) &&
            (s.sparse == 0 || s.sparse == rows);
  if (ok && rows >= 1) {
    // The written record keeps at most as many column lists as the main files; fewer
    // cannot reopen.
    ok = s.num_cols.size() >= num_files && s.str_cols.size() >= str_files;
    for (size_t k = 0; ok && k < num_files; ++k) ok = s.num_cols[k] == rows;
    for (size_t k = 0; ok && k < str_files; ++k) ok = s.str_cols[k] == rows;
  }
  if (ok && rows >= 1) ok = s.max_cluster < std::max<uint64_t>(m.n_clusters, 1);
  if (!ok) return invalid_data("delta.bin not written: the in-memory delta is structurally inconsistent");
  return {};
}

Result<std::vector<uint8_t>> checkpoint_delta_body(const IvfIndex& ix) {
  auto d = ix.locks().delta.read();
  const size_t num_files = ix.num_bins.size(), str_files = ix.str_bins.size();
  TANDREL_TRY(check_delta_for_checkpoint(shape_of(*d), ix.manifest, num_files, str_files));
  const size_t nnum = std::min(d->num_cols.size(), num_files);
  const size_t nstr = std::min(d->str_cols.size(), str_files);
  if (d->num_cols.size() == nnum && d->str_cols.size() == nstr) return storage::encode_delta(*d);
  // The grown columns are cut: the next open rebuilds them from the metadata texts.
  return storage::encode_exact([&](auto& w) {
    w.plain_list(d->codes);
    w.plain_list(d->factors);
    w.plain_list(d->rerank);
    w.plain_list(d->clusters);
    w.list(d->ids, [](auto& ww, const std::string& s) { ww.text(s); });
    w.count(nnum);
    for (size_t k = 0; k < nnum; ++k) w.plain_list(d->num_cols[k]);
    w.count(nstr);
    for (size_t k = 0; k < nstr; ++k) w.plain_list(d->str_cols[k]);
    w.list(d->meta, [](auto& ww, const std::string& s) { ww.text(s); });
    w.list(d->sparse, [](auto& ww, const storage::SparsePairs& ps) { storage::put_sparse_pairs(ww, ps); });
  });
}

std::string quarantine_warning(const std::string& corrupt_path) {
  return "Tandrel: quarantined a damaged wal.bin to " + storage::quoted_path(corrupt_path) +
         " before checkpoint (forensics)";
}

Result<std::optional<DeltaStamp>> disk_delta_stamp(const std::string& dir) {
  const std::string path = storage::join_path(dir, storage::kDeltaFile);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::optional<DeltaStamp>{};
    return IoError::last_os();
  }
  DeltaStamp s;
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.len = static_cast<uint64_t>(st.st_size);
  if (st.st_mtim.tv_nsec >= 0 && st.st_mtim.tv_nsec < 1000000000) {
    s.mtime = DeltaStamp::MTime{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
  }
  return std::optional<DeltaStamp>(s);
}

namespace {

// Length of the log as the file system sees it: the held append descriptor's, else the
// file's (missing: 0).
Result<uint64_t> disk_wal_length(const IvfIndex& ix) {
  auto w = ix.locks().wal.lock();
  struct stat st;
  if (w->valid()) {
    if (::fstat(w->get(), &st) != 0) return IoError::last_os();
    return static_cast<uint64_t>(st.st_size);
  }
  const std::string wal = storage::join_path(ix.dir, storage::kWalFile);
  if (::stat(wal.c_str(), &st) != 0) {
    if (errno == ENOENT) return uint64_t{0};
    return IoError::last_os();
  }
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

Status checkpoint_then(IvfIndex& ix, const std::function<Status()>& follow_up) {
  std::lock_guard<RankedMutex> cp(ix.locks().checkpoint_mutex);

  // 2. Log sync, only when tombstones were added since the last durable sync.
  const uint64_t e = ix.tomb_epoch.load();
  if (e != ix.durable_tomb_epoch.load()) {
    TANDREL_TRY(sync_log_for_tombstones(ix));
    raise_to(ix.durable_tomb_epoch, e);
  }

  // 3. deleted.bin.
  {
    auto t = ix.locks().tombstones.read();
    const std::vector<uint8_t> body = t->serialize();
    TANDREL_TRY(storage::write_framed(storage::join_path(ix.dir, storage::kDeletedFile), storage::kDeletedMagic, body));
  }

  // 4. delta.bin.
  {
    TANDREL_ASSIGN(const std::vector<uint8_t> body, checkpoint_delta_body(ix));
    TANDREL_TRY(storage::write_framed(storage::join_path(ix.dir, storage::kDeltaFile), storage::kDeltaMagic, body));
  }

  // 5. The stamp of the file just written (a failure only forgets it).
  std::optional<DeltaStamp> stamp;
  if (auto s = disk_delta_stamp(ix.dir); s.ok()) stamp = s.value();

  // 6. The caller's follow-up.
  if (follow_up) TANDREL_TRY(follow_up());

  // 7. Quarantine of a log the last replay found damaged.
  if (ix.wal_damaged.exchange(false)) {
    auto raw = storage::read_file(storage::join_path(ix.dir, storage::kWalFile));
    if (raw.ok() && !raw.value().empty()) {
      const std::string corrupt = storage::join_path(ix.dir, storage::kWalCorruptFile);
      (void)storage::write_bytes(corrupt, std::span<const uint8_t>(raw.value()));
      segment::detail::warn_line(quarantine_warning(corrupt));
    }
  }

  // 8. The empty log.
  TANDREL_TRY(storage::write_bytes(storage::join_path(ix.dir, storage::kWalFile), std::span<const uint8_t>()));

  // 9-12.
  close_wal(ix);
  ix.wal_bytes.store(0);
  ix.durable_tomb_epoch.store(ix.tomb_epoch.load());
  *ix.locks().delta_stamp.lock() = stamp;
  ix.fsync_failed.store(false);
  return {};
}

Status checkpoint(IvfIndex& ix) {
  return checkpoint_then(ix, [] { return Status{}; });
}

}  // namespace ivf_rabitq::live

namespace ivf_rabitq::index {

Result<bool> IvfIndex::log_is_current() const {
  TANDREL_ASSIGN(const uint64_t wal_len, live::disk_wal_length(*this));
  if (wal_len != wal_bytes.load()) return false;
  TANDREL_ASSIGN(const std::optional<DeltaStamp> disk, live::disk_delta_stamp(dir));
  auto stamp = locks_.delta_stamp.lock();
  return *stamp == disk;
}

}  // namespace ivf_rabitq::index
