// Opening a segment directory into an IvfIndex: format version, manifest, rotation, data
// maps and their sizes, tombstones, the checkpointed delta, the id map, the optional
// accelerator files, the rotated centroids, then log replay, tombstone reconciliation and
// checksum verification.
//
// Every size read from disk is untrusted. Expected file lengths are computed in 128-bit
// arithmetic (no product of the 32-bit-bounded manifest fields can overflow it), and the
// rotator is only built once dim is known to be bounded by data already in memory. Control
// files are read only when they are regular files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"

namespace ivf_rabitq::index {

namespace {

using u128 = unsigned __int128;

std::string u128_text(u128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return std::string(s.rbegin(), s.rend());
}

Status check_size(std::string_view name, uint64_t actual, u128 expected) {
  if (static_cast<u128>(actual) == expected) return {};
  return invalid_data("corrupt index: " + std::string(name) + " is " + std::to_string(actual) + " bytes, expected " +
                      u128_text(expected));
}

const char* const kStructureText = "corrupt index: manifest structure inconsistent (offsets/centroids/ids)";
const char* const kDeletedFrameText =
    "corrupt index: deleted.bin failed magic+CRC (tombstone data corrupted) \u2014 refusing to open to avoid "
    "resurrecting deleted/superseded rows; restore from backup or run repair";
const char* const kDeltaFrameText =
    "corrupt index: delta.bin failed magic+CRC (un-checkpointed adds corrupted) \u2014 refusing to open; restore "
    "from backup or run repair";
const char* const kDeltaStructureText =
    "corrupt index: delta.bin is structurally inconsistent with the manifest (stale/foreign delta) \u2014 refusing "
    "to open";

struct FdGuard {
  int fd = -1;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens an existing control file (deleted.bin, delta.bin) for reading it whole: fd -1 with
// `missing` set when it does not exist, any other failure as the error. Opened without
// blocking and accepted only as a regular file, so neither a FIFO (which would hang the
// open) nor a device such as /dev/zero (which would be read without end) is read.
Result<int> open_control_file(const std::string& path, struct stat* st, bool* missing) {
  *missing = false;
  auto r = storage::open_regular_for_read(path, st);
  if (!r.ok() && r.error().kind() == ErrorKind::NotFound && r.error().os_code() == ENOENT) {
    *missing = true;
    return -1;
  }
  return r;
}

// Maps an optional accelerator file: any failure means absent.
template <class T>
std::optional<TypedMmap<T>> map_optional(const std::string& dir, std::string_view name) {
  auto m = TypedMmap<T>::open_with(storage::join_path(dir, name), storage::Residency::Plain);
  if (!m.ok()) return std::nullopt;
  return std::move(m).value();
}

bool delta_structure_ok(const Manifest& m, const Delta& d, size_t num_files, size_t str_files) {
  const u128 rows = d.ids.size();
  if (d.clusters.size() != rows) return false;
  if (static_cast<u128>(d.codes.size()) != static_cast<u128>(m.n_bits) * rows * m.words_per_plane) return false;
  if (static_cast<u128>(d.factors.size()) != 4 * rows) return false;
  if (static_cast<u128>(d.rerank.size()) != (static_cast<u128>(m.dim) + 1) * rows) return false;
  if (!d.meta.empty() && d.meta.size() != rows) return false;
  if (!d.sparse.empty() && d.sparse.size() != rows) return false;
  if (rows >= 1) {
    if (d.num_cols.size() != num_files || d.str_cols.size() != str_files) return false;
    for (const auto& c : d.num_cols)
      if (c.size() != rows) return false;
    for (const auto& c : d.str_cols)
      if (c.size() != rows) return false;
  }
  const uint64_t max_cluster = m.n_clusters > 1 ? m.n_clusters : 1;
  for (uint32_t c : d.clusters)
    if (c >= max_cluster) return false;
  return static_cast<u128>(m.n) + rows < 4294967295u;
}

}  // namespace

std::optional<size_t> parse_sparse_terms(std::span<const uint8_t> file, SparseTerms& terms) {
  terms.clear();
  const uint64_t len = file.size();
  if (len < 8) return std::nullopt;
  const uint64_t t = storage::load_u64(file.data());
  if (t > (len - 8) / 8) return std::nullopt;
  const uint64_t base = 8 + 8 * t;
  uint64_t postings = 0;
  for (uint64_t b = 0; b < t; ++b) {
    const uint8_t* e = file.data() + 8 + 8 * b;
    const uint32_t term = storage::load_u32(e);
    const uint32_t count = storage::load_u32(e + 4);
    terms.insert_or_assign(term, SparseSpan{postings, count});
    if (__builtin_add_overflow(postings, uint64_t{count}, &postings)) {
      terms.clear();
      return std::nullopt;
    }
  }
  if (static_cast<u128>(len) != static_cast<u128>(base) + static_cast<u128>(postings) * 8) {
    terms.clear();
    return std::nullopt;
  }
  return static_cast<size_t>(base);
}

IvfIndex::~IvfIndex() {
  drop();
  auto w = wal.lock();
  if (w->has_value()) {
    ::close(**w);
    w->reset();
  }
}

Result<std::shared_ptr<IvfIndex>> IvfIndex::open_with_skip(const std::string& dir, std::optional<SkipSet> skip) {
  OPEN_COUNT.fetch_add(1, std::memory_order_relaxed);
  const std::string qdir = storage::quoted_path(dir);

  // Format version.
  TANDREL_ASSIGN(const uint32_t version, storage::read_format_version(dir));
  const bool new_layout = version >= 2;

  // Manifest.
  TANDREL_ASSIGN(std::vector<uint8_t> manifest_body, storage::read_manifest_bin(storage::join_path(dir, "manifest.bin")));
  TANDREL_ASSIGN(Manifest m, storage::decode_manifest(manifest_body));
  manifest_body = {};
  const uint64_t n = m.n;

  // Rotation. The pad the rotator would have is computed first, without allocating; the
  // rotator's sign vectors (up to 4 x dim floats) are only allocated once dim is bounded by
  // the centroids already in memory (a valid manifest holds dim x n_clusters >= dim of them).
  const size_t want_pad = codec::rotation_pad(m.dim, new_layout);
  if (want_pad != m.pad) {
    return invalid_data("corrupt index: rotator pad " + std::to_string(want_pad) + " != manifest pad " +
                        std::to_string(m.pad) + " (on-disk format version " + std::to_string(version) +
                        " does not match the codes)");
  }
  if (m.dim == 0 || m.dim > m.centroids.size()) return invalid_data(kStructureText);
  codec::Rotator rotator = codec::Rotator::build(m.dim, codec::rotation_seed(m.seed), new_layout);

  // Core data files: mapped first, then their lengths checked in the same order.
  TANDREL_ASSIGN(auto codes, TypedMmap<uint64_t>::open_with(storage::join_path(dir, "codes.bin"), storage::Residency::Hot));
  TANDREL_ASSIGN(auto metas, TypedMmap<float>::open_with(storage::join_path(dir, "metas.bin"), storage::Residency::Hot));
  TANDREL_ASSIGN(auto orig, TypedMmap<uint8_t>::open_with(storage::join_path(dir, "orig.bin"), storage::Residency::Random));
  TANDREL_TRY(check_size("codes.bin", codes.byte_len(), static_cast<u128>(n) * m.n_bits * m.words_per_plane * 8));
  TANDREL_TRY(check_size("metas.bin", metas.byte_len(), static_cast<u128>(n) * 16));
  TANDREL_TRY(check_size("orig.bin", orig.byte_len(), static_cast<u128>(n) * m.dim));

  // origscale.bin: absent when missing.
  std::optional<TypedMmap<uint32_t>> origscale;
  {
    auto r = TypedMmap<uint32_t>::open_with(storage::join_path(dir, "origscale.bin"), storage::Residency::Random);
    if (r.ok()) {
      TANDREL_TRY(check_size("origscale.bin", r->byte_len(), static_cast<u128>(n) * 8));
      origscale = std::move(r).value();
    } else if (r.error().kind() != ErrorKind::NotFound) {
      return std::move(r).error();
    }
  }

  // Id files: used as a pair of the right shape, else silently dropped.
  auto ids_bin = map_optional<uint8_t>(dir, "ids.bin");
  auto ids_off = map_optional<uint64_t>(dir, "ids_off.bin");
  if (!ids_bin || !ids_off || static_cast<u128>(ids_off->byte_len()) != (static_cast<u128>(n) + 1) * 8) {
    ids_bin.reset();
    ids_off.reset();
  }
  const bool id_pair = ids_bin.has_value();
  if (id_pair) {
    const auto off = ids_off->view();
    if (off[0] != 0 || off[n] != ids_bin->byte_len()) {
      return invalid_data("corrupt index: ids_off.bin offsets inconsistent");
    }
  }

  // Manifest structure.
  {
    bool ok = m.dim >= 1 && m.n_clusters >= 1 && m.n_bits >= 1 && m.n_bits <= 8 &&
              static_cast<u128>(m.words_per_plane) * 64 == m.pad &&
              static_cast<u128>(m.offsets.size()) == static_cast<u128>(m.n_clusters) + 1 &&
              static_cast<u128>(m.centroids.size()) == static_cast<u128>(m.dim) * m.n_clusters &&
              (id_pair ? m.ids.empty() : m.ids.size() == n);
    if (ok) {
      ok = m.offsets.front() == 0 && m.offsets.back() == n;
      for (size_t c = 1; ok && c < m.offsets.size(); ++c) ok = m.offsets[c] >= m.offsets[c - 1];
    }
    if (!ok) return invalid_data(kStructureText);
  }

  // Typed columns, numbered per kind in schema order.
  std::vector<TypedMmap<double>> num_bins;
  std::vector<TypedMmap<uint32_t>> str_bins;
  for (const FieldSchema& f : m.fields) {
    if (f.numeric) {
      const std::string name = "num_" + std::to_string(num_bins.size()) + ".bin";
      TANDREL_ASSIGN(auto col, TypedMmap<double>::open_with(storage::join_path(dir, name), storage::Residency::Plain));
      TANDREL_TRY(check_size(name, col.byte_len(), static_cast<u128>(n) * 8));
      num_bins.push_back(std::move(col));
    } else {
      const std::string name = "str_" + std::to_string(str_bins.size()) + ".bin";
      TANDREL_ASSIGN(auto col, TypedMmap<uint32_t>::open_with(storage::join_path(dir, name), storage::Residency::Plain));
      TANDREL_TRY(check_size(name, col.byte_len(), static_cast<u128>(n) * 4));
      str_bins.push_back(std::move(col));
    }
  }

  // Tombstones from deleted.bin.
  storage::Tombstones tombs;
  {
    struct stat st;
    bool missing = false;
    TANDREL_ASSIGN(const int raw_fd, open_control_file(storage::join_path(dir, "deleted.bin"), &st, &missing));
    FdGuard fd{raw_fd};
    if (!missing) {
      TANDREL_ASSIGN(std::vector<uint8_t> file, storage::read_fd_to_end(fd.fd));
      // A checkpoint never writes an empty file: an empty one is damage like a bad frame.
      {
        std::span<const uint8_t> body;
        if (file.empty() || storage::check_frame(file, storage::kDeletedMagic, &body) != storage::FrameCheck::Ok) {
          return invalid_data(kDeletedFrameText);
        }
        auto t = storage::Tombstones::deserialize(body);
        if (!t.ok()) {
          return invalid_data("corrupt index: deleted.bin body undeserializable (" + t.error().text() +
                              ") \u2014 refusing to open to avoid resurrecting deleted rows");
        }
        tombs = std::move(t).value();
      }
    }
  }

  // The checkpointed delta from delta.bin, with its stamp.
  Delta delta;
  std::optional<DeltaStamp> stamp;
  {
    struct stat st;
    bool missing = false;
    TANDREL_ASSIGN(const int raw_fd, open_control_file(storage::join_path(dir, "delta.bin"), &st, &missing));
    FdGuard fd{raw_fd};
    if (!missing) {
      DeltaStamp s;
      s.ino = static_cast<uint64_t>(st.st_ino);
      s.len = static_cast<uint64_t>(st.st_size);
      if (st.st_mtim.tv_nsec >= 0 && st.st_mtim.tv_nsec < 1000000000) {
        s.mtime = DeltaStamp::MTime{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
      }
      stamp = s;
      TANDREL_ASSIGN(std::vector<uint8_t> file, storage::read_fd_to_end(fd.fd));
      // A checkpoint never writes an empty file: an empty one is damage like a bad frame.
      {
        std::span<const uint8_t> body;
        if (file.empty() || storage::check_frame(file, storage::kDeltaMagic, &body) != storage::FrameCheck::Ok) {
          return invalid_data(kDeltaFrameText);
        }
        auto d = storage::decode_delta(body);
        if (!d.ok()) {
          return invalid_data("corrupt index: delta.bin body undeserializable (" + d.error().text() +
                              ") \u2014 refusing to open to avoid losing un-checkpointed adds");
        }
        delta = std::move(d).value();
      }
    }
  }

  // Older deltas stored dim rerank bytes per row: append a 0 exponent byte to each row.
  {
    const size_t rows = delta.ids.size();
    if (rows >= 1 && static_cast<u128>(delta.rerank.size()) == static_cast<u128>(m.dim) * rows) {
      std::vector<uint8_t> up;
      up.reserve(delta.rerank.size() + rows);
      for (size_t r = 0; r < rows; ++r) {
        const auto* row = delta.rerank.data() + r * m.dim;
        up.insert(up.end(), row, row + m.dim);
        up.push_back(0);
      }
      delta.rerank = std::move(up);
    }
  }
  if (!delta_structure_ok(m, delta, num_bins.size(), str_bins.size())) return invalid_data(kDeltaStructureText);

  // idhash.bin: dropped with a warning when its shape is wrong.
  auto idhash = map_optional<uint8_t>(dir, "idhash.bin");
  if (idhash) {
    if (static_cast<u128>(idhash->byte_len()) != static_cast<u128>(n) * storage::kIdHashRecord) {
      detail::warn_line("Tandrel: idhash.bin at " + qdir + " wrong length \u2014 rebuilding id map from ids");
      idhash.reset();
    } else if (n >= 1) {
      const uint8_t* b = idhash->bytes().data();
      const uint8_t* last = b + (n - 1) * storage::kIdHashRecord;
      if (storage::load_u32(b + 8) >= n || storage::load_u64(last) < storage::load_u64(b) ||
          storage::load_u32(last + 8) >= n) {
        detail::warn_line("Tandrel: idhash.bin at " + qdir + " endpoints inconsistent \u2014 rebuilding id map from ids");
        idhash.reset();
      }
    }
  }

  // Id map: main ids (only without idhash.bin), then the delta ids.
  IdMap id_map(n);
  if (!idhash) {
    id_map.reserve(static_cast<size_t>(n + delta.ids.size()));
    if (id_pair) {
      const auto off = ids_off->view();
      const char* base = reinterpret_cast<const char*>(ids_bin->bytes().data());
      const uint64_t len = ids_bin->byte_len();
      for (uint64_t s = 0; s < n; ++s) {
        const uint64_t a = off[s], e = off[s + 1];
        if (e < a || e > len) {
          return invalid_data("corrupt index: ids_off.bin offsets are out of range \u2014 refusing to open");
        }
        id_map.insert(id_hash(std::string_view(base + a, static_cast<size_t>(e - a))), static_cast<uint32_t>(s));
      }
    } else {
      for (uint64_t s = 0; s < n; ++s) id_map.insert(id_hash(m.ids[s]), static_cast<uint32_t>(s));
    }
  }
  for (size_t r = 0; r < delta.ids.size(); ++r) id_map.insert(id_hash(delta.ids[r]), static_cast<uint32_t>(n + r));

  // Metadata text files.
  auto meta_bin = map_optional<uint8_t>(dir, "meta.bin");
  auto meta_off = map_optional<uint64_t>(dir, "meta_off.bin");
  if (!meta_bin || !meta_off || static_cast<u128>(meta_off->byte_len()) != (static_cast<u128>(n) + 1) * 8) {
    meta_bin.reset();
    meta_off.reset();
  } else {
    const auto off = meta_off->view();
    if (off[0] != 0 || off[n] != meta_bin->byte_len()) {
      detail::warn_line("Tandrel: meta_off.bin at " + qdir +
                        " has inconsistent offsets \u2014 reconstructing metadata from columns");
      meta_bin.reset();
      meta_off.reset();
    }
  }

  // sparse.bin term table.
  SparseTerms sparse_terms;
  size_t sparse_base = 0;
  auto sparse_bin = map_optional<uint8_t>(dir, "sparse.bin");
  if (sparse_bin) {
    if (auto b = parse_sparse_terms(sparse_bin->bytes(), sparse_terms)) {
      sparse_base = *b;
    } else {
      detail::warn_line("Tandrel: sparse.bin at " + qdir + " is malformed \u2014 ignoring (sparse search degraded)");
      sparse_terms.clear();
      sparse_bin.reset();
    }
  }

  // Rotated centroids; the raw centroids are released afterwards.
  std::vector<float> centroids_rot(static_cast<size_t>(m.n_clusters * m.pad), 0.0f);
  for (uint64_t c = 0; c < m.n_clusters; ++c) {
    rotator.rotate_into(std::span<const float>(m.centroids.data() + c * m.dim, m.dim),
                        std::span<float>(centroids_rot.data() + c * m.pad, m.pad));
  }
  std::vector<float>().swap(m.centroids);
  // The same centroids in the blocked layout of the distance kernels (search ranking, add).
  distance::PackedVectors packed_centroids =
      distance::PackedVectors::pack(centroids_rot.data(), static_cast<size_t>(m.n_clusters), static_cast<size_t>(m.pad));

  // Grown schema over the checkpointed delta rows.
  auto grown = rebuild_delta_schema(m.fields, skip, delta, version == 3);

  // Checksum table.
  TANDREL_ASSIGN(storage::FileCrcs crcs, storage::read_file_crcs(storage::join_path(dir, "crcs.bin")));

  // Assemble.
  auto ix = std::make_shared<IvfIndex>(Key{});
  ix->manifest = std::move(m);
  ix->rotator = std::move(rotator);
  ix->centroids_rot = std::move(centroids_rot);
  ix->packed_centroids = std::move(packed_centroids);
  ix->codes_bin = std::move(codes);
  ix->metas_bin = std::move(metas);
  ix->orig_bin = std::move(orig);
  ix->origscale_bin = std::move(origscale);
  ix->num_bins = std::move(num_bins);
  ix->str_bins = std::move(str_bins);
  ix->meta_bin = std::move(meta_bin);
  ix->meta_off_bin = std::move(meta_off);
  ix->ids_bin = std::move(ids_bin);
  ix->ids_off_bin = std::move(ids_off);
  ix->idhash_bin = std::move(idhash);
  ix->sparse_bin = std::move(sparse_bin);
  ix->sparse_terms = std::move(sparse_terms);
  ix->file_crcs = std::move(crcs);
  *ix->live_schema.write() = std::move(grown);
  ix->skip = std::move(skip);
  *ix->tombstones.write() = std::move(tombs);
  *ix->id_map.write() = std::move(id_map);
  {
    auto d = ix->delta.write();
    *d = std::move(delta);
    ix->delta_lists.assign(*d, static_cast<size_t>(ix->manifest.n_clusters));
  }
  ix->dir = dir;
  *ix->delta_stamp.lock() = stamp;
  *ix->wal_last_sync.lock() = WalClock::now();
  ix->sparse_base = sparse_base;
  ix->format_version = version;

  ix->rebuild_delta_sparse();

  // Tombstones and log replay. Tombstones at or beyond the checkpointed rows belong to rows
  // only the log can recreate: they are set aside and must come back through the replay.
  storage::Tombstones pending;
  {
    const uint64_t total = n + ix->delta.read()->rows();
    auto t = ix->tombstones.write();
    const auto mx = t->maximum();
    if (mx && *mx >= total) {
      pending = *t;
      pending.remove_range(0, total);
      t->remove_range(total, uint64_t{1} << 32);
    }
  }
  TANDREL_ASSIGN(const auto replayed, ix->replay_wal());
  ix->wal_bytes.store(replayed.first);
  ix->wal_damaged.store(replayed.second);
  {
    const uint64_t total = n + ix->delta.read()->rows();
    auto t = ix->tombstones.read();
    if (!pending.is_subset_of(*t)) {
      return invalid_data(
          "corrupt index: deleted.bin tombstones rows the WAL replay does not recreate (stale/foreign "
          "tombstones, or a WAL damaged during a checkpoint) \u2014 refusing to open");
    }
    const auto mx = t->maximum();
    if (mx && *mx >= total) {
      return invalid_data(
          "corrupt index: deleted.bin references slots outside the index (stale/foreign tombstones) \u2014 "
          "refusing to open");
    }
  }

  TANDREL_TRY(ix->verify_under(verify_open_budget()));
  return ix;
}

}  // namespace ivf_rabitq::index
