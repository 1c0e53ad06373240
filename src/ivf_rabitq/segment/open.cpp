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
#include <limits>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/schema_growth.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq/segment/verify.hpp"

namespace ivf_rabitq::index {

using segment::detail::warn_line;

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

// The log descriptor closes with its member.
IvfIndex::~IvfIndex() { drop(); }

namespace {

// ---------------------------------------------------------------------------------------
// Open stages, in the order the open runs them (the first failure is the one reported)
// ---------------------------------------------------------------------------------------

// The format version, the manifest and the rotator built for it.
struct Header {
  uint32_t version = 0;
  Manifest m;
  codec::Rotator rotator;
};

// Reads the format version and the manifest and builds the rotator. The pad the rotator
// would have is computed first, without allocating; the rotator's sign vectors (up to 4 x dim
// floats) are only allocated once dim is bounded by the centroids already in memory (a valid
// manifest holds dim x n_clusters >= dim of them).
Result<Header> read_header(const std::string& dir) {
  Header h;
  TANDREL_ASSIGN(h.version, storage::read_format_version(dir));
  const bool new_layout = h.version >= 2;
  {
    TANDREL_ASSIGN(std::vector<uint8_t> body,
                   storage::read_manifest_bin(storage::join_path(dir, storage::kManifestFile)));
    TANDREL_ASSIGN(h.m, storage::decode_manifest(body));
  }
  const Manifest& m = h.m;
  const size_t want_pad = codec::rotation_pad(m.dim, new_layout);
  if (want_pad != m.pad) {
    return invalid_data("corrupt index: rotator pad " + std::to_string(want_pad) + " != manifest pad " +
                        std::to_string(m.pad) + " (on-disk format version " + std::to_string(h.version) +
                        " does not match the codes)");
  }
  if (m.dim == 0 || m.dim > m.centroids.size()) return invalid_data(kStructureText);
  h.rotator = codec::Rotator::build(m.dim, codec::rotation_seed(m.seed), new_layout);
  return h;
}

// The row files every search reads. The scan reads codes.bin, and the row factors of
// metas.bin where it copies them, through its own copy (IvfIndex::scan_codes): those files
// are mapped without residency, which goes to the copy; metas.bin is a hot map otherwise.
struct RowMaps {
  TypedMmap<uint64_t> codes;
  TypedMmap<float> metas;
  TypedMmap<uint8_t> orig;
  std::optional<TypedMmap<uint32_t>> origscale;  // absent when the file is missing
  storage::HotPolicy policy;  // the residency switches as the hot files were mapped
  bool copy_factors = false;  // whether the scan copies the row factors
};

// Maps the row files (all first, then their lengths checked in the same order), then
// origscale.bin.
Result<RowMaps> map_row_files(const std::string& dir, const Manifest& m) {
  const uint64_t n = m.n;
  RowMaps r;
  r.policy = storage::hot_policy();
  r.copy_factors = codec::blocked_estimates_fast();
  TANDREL_ASSIGN(r.codes,
                 TypedMmap<uint64_t>::open_with(storage::join_path(dir, storage::kCodesFile), storage::Residency::Plain));
  const std::string metas_path = storage::join_path(dir, storage::kMetasFile);
  if (r.copy_factors) {
    TANDREL_ASSIGN(r.metas, TypedMmap<float>::open_with(metas_path, storage::Residency::Plain));
  } else {
    TANDREL_ASSIGN(r.metas, TypedMmap<float>::open_hot(metas_path, r.policy));
  }
  TANDREL_ASSIGN(r.orig,
                 TypedMmap<uint8_t>::open_with(storage::join_path(dir, storage::kOrigFile), storage::Residency::Random));
  TANDREL_TRY(
      check_size(storage::kCodesFile, r.codes.byte_len(), static_cast<u128>(n) * m.n_bits * m.words_per_plane * 8));
  TANDREL_TRY(check_size(storage::kMetasFile, r.metas.byte_len(), static_cast<u128>(n) * 16));
  TANDREL_TRY(check_size(storage::kOrigFile, r.orig.byte_len(), static_cast<u128>(n) * m.dim));
  auto os =
      TypedMmap<uint32_t>::open_with(storage::join_path(dir, storage::kOrigScaleFile), storage::Residency::Random);
  if (os.ok()) {
    TANDREL_TRY(check_size(storage::kOrigScaleFile, os->byte_len(), static_cast<u128>(n) * 8));
    r.origscale = std::move(os).value();
  } else if (os.error().kind() != ErrorKind::NotFound) {
    return std::move(os).error();
  }
  return r;
}

// ids.bin with ids_off.bin: both, or neither.
struct IdFiles {
  std::optional<TypedMmap<uint8_t>> bin;
  std::optional<TypedMmap<uint64_t>> off;
  bool present() const { return bin.has_value(); }
};

// Maps the id files: used as a pair of the right shape, else silently dropped; a pair whose
// end offsets disagree with ids.bin is refused.
Result<IdFiles> map_id_files(const std::string& dir, uint64_t n) {
  IdFiles f{map_optional<uint8_t>(dir, storage::kIdsFile), map_optional<uint64_t>(dir, storage::kIdsOffFile)};
  if (!f.bin || !f.off || static_cast<u128>(f.off->byte_len()) != (static_cast<u128>(n) + 1) * 8) {
    f.bin.reset();
    f.off.reset();
  }
  if (f.present()) {
    const auto off = f.off->view();
    if (off[0] != 0 || off[n] != f.bin->byte_len()) {
      return invalid_data("corrupt index: ids_off.bin offsets inconsistent");
    }
  }
  return f;
}

// The manifest's sizes agree with each other (ids in the manifest exactly without an id pair).
Status check_manifest_structure(const Manifest& m, bool id_pair) {
  const uint64_t n = m.n;
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
  return {};
}

struct Columns {
  std::vector<TypedMmap<double>> num;
  std::vector<TypedMmap<uint32_t>> str;
};

// Maps the typed columns, numbered per kind in schema order.
Result<Columns> map_columns(const std::string& dir, const Manifest& m) {
  const uint64_t n = m.n;
  Columns cols;
  for (const FieldSchema& f : m.fields) {
    if (f.numeric) {
      const std::string name = storage::num_column_file(cols.num.size());
      TANDREL_ASSIGN(auto col, TypedMmap<double>::open_with(storage::join_path(dir, name), storage::Residency::Plain));
      TANDREL_TRY(check_size(name, col.byte_len(), static_cast<u128>(n) * 8));
      cols.num.push_back(std::move(col));
    } else {
      const std::string name = storage::str_column_file(cols.str.size());
      TANDREL_ASSIGN(auto col, TypedMmap<uint32_t>::open_with(storage::join_path(dir, name), storage::Residency::Plain));
      TANDREL_TRY(check_size(name, col.byte_len(), static_cast<u128>(n) * 4));
      cols.str.push_back(std::move(col));
    }
  }
  return cols;
}

// A control file read whole: nullopt when it does not exist; `st` receives its status.
Result<std::optional<std::vector<uint8_t>>> read_control_file(const std::string& path, struct stat* st) {
  bool missing = false;
  TANDREL_ASSIGN(const int raw_fd, open_control_file(path, st, &missing));
  const fileops::Fd fd(raw_fd);
  if (missing) return std::optional<std::vector<uint8_t>>();
  TANDREL_ASSIGN(std::vector<uint8_t> file, storage::read_fd_to_end(fd.get()));
  return std::optional<std::vector<uint8_t>>(std::move(file));
}

// The tombstones of deleted.bin (none when it is missing).
Result<storage::Tombstones> read_tombstones(const std::string& dir) {
  struct stat st;
  TANDREL_ASSIGN(auto file, read_control_file(storage::join_path(dir, storage::kDeletedFile), &st));
  storage::Tombstones tombs;
  // A checkpoint never writes an empty file: an empty one is damage like a bad frame.
  if (file) {
    std::span<const uint8_t> body;
    if (file->empty() || storage::check_frame(*file, storage::kDeletedMagic, &body) != storage::FrameCheck::Ok) {
      return invalid_data(kDeletedFrameText);
    }
    auto t = storage::Tombstones::deserialize(body);
    if (!t.ok()) {
      return invalid_data("corrupt index: deleted.bin body undeserializable (" + t.error().text() +
                          ") \u2014 refusing to open to avoid resurrecting deleted rows");
    }
    tombs = std::move(t).value();
  }
  return tombs;
}

struct CheckpointedDelta {
  Delta delta;
  std::optional<DeltaStamp> stamp;  // of delta.bin as opened; absent when it is missing
};

DeltaStamp stamp_of(const struct stat& st) {
  DeltaStamp s;
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.len = static_cast<uint64_t>(st.st_size);
  if (st.st_mtim.tv_nsec >= 0 && st.st_mtim.tv_nsec < 1000000000) {
    s.mtime = DeltaStamp::MTime{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
  }
  return s;
}

// The checkpointed delta of delta.bin with its stamp (empty when it is missing).
Result<CheckpointedDelta> read_checkpointed_delta(const std::string& dir) {
  struct stat st;
  TANDREL_ASSIGN(auto file, read_control_file(storage::join_path(dir, storage::kDeltaFile), &st));
  CheckpointedDelta out;
  if (!file) return out;
  out.stamp = stamp_of(st);
  // A checkpoint never writes an empty file: an empty one is damage like a bad frame.
  {
    std::span<const uint8_t> body;
    if (file->empty() || storage::check_frame(*file, storage::kDeltaMagic, &body) != storage::FrameCheck::Ok) {
      return invalid_data(kDeltaFrameText);
    }
    auto d = storage::decode_delta(body);
    if (!d.ok()) {
      return invalid_data("corrupt index: delta.bin body undeserializable (" + d.error().text() +
                          ") \u2014 refusing to open to avoid losing un-checkpointed adds");
    }
    out.delta = std::move(d).value();
  }
  // Typed column values belong to rows: a delta without rows holds none. Values left in its
  // lists would be read as the values of the rows added next.
  if (out.delta.ids.empty()) {
    for (const auto& c : out.delta.num_cols)
      if (!c.empty()) return invalid_data(kDeltaFrameText);
    for (const auto& c : out.delta.str_cols)
      if (!c.empty()) return invalid_data(kDeltaFrameText);
  }
  return out;
}

// Older deltas stored dim rerank bytes per row: appends a 0 exponent byte to each row.
void widen_legacy_rerank(Delta& delta, size_t dim) {
  const size_t rows = delta.ids.size();
  if (rows == 0 || static_cast<u128>(delta.rerank.size()) != static_cast<u128>(dim) * rows) return;
  std::vector<uint8_t> up;
  up.reserve(delta.rerank.size() + rows);
  for (size_t r = 0; r < rows; ++r) {
    const auto* row = delta.rerank.data() + r * dim;
    up.insert(up.end(), row, row + dim);
    up.push_back(0);
  }
  delta.rerank = std::move(up);
}

// idhash.bin when its shape fits n rows; dropped with a warning otherwise.
std::optional<TypedMmap<uint8_t>> map_idhash(const std::string& dir, uint64_t n, const std::string& qdir) {
  auto idhash = map_optional<uint8_t>(dir, storage::kIdHashFile);
  if (!idhash) return idhash;
  if (static_cast<u128>(idhash->byte_len()) != static_cast<u128>(n) * storage::kIdHashRecord) {
    warn_line("Tandrel: idhash.bin at " + qdir + " wrong length \u2014 rebuilding id map from ids");
    idhash.reset();
  } else if (n >= 1) {
    const uint8_t* b = idhash->bytes().data();
    const uint8_t* last = b + (n - 1) * storage::kIdHashRecord;
    if (storage::load_u32(b + 8) >= n || storage::load_u64(last) < storage::load_u64(b) ||
        storage::load_u32(last + 8) >= n) {
      warn_line("Tandrel: idhash.bin at " + qdir + " endpoints inconsistent \u2014 rebuilding id map from ids");
      idhash.reset();
    }
  }
  return idhash;
}

// The id map: the main ids (only without idhash.bin, which answers for them), then the delta
// ids.
Result<IdMap> build_id_map(const Manifest& m, const IdFiles& ids, bool have_idhash, const Delta& delta) {
  const uint64_t n = m.n;
  IdMap id_map(n);
  if (!have_idhash) {
    id_map.reserve(static_cast<size_t>(n + delta.ids.size()));
    if (ids.present()) {
      const auto off = ids.off->view();
      const char* base = reinterpret_cast<const char*>(ids.bin->bytes().data());
      const uint64_t len = ids.bin->byte_len();
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
  return id_map;
}

struct MetaTexts {
  std::optional<TypedMmap<uint8_t>> bin;
  std::optional<TypedMmap<uint64_t>> off;
};

// meta.bin with meta_off.bin: used as a pair of the right shape; offsets that disagree with
// meta.bin drop the pair with a warning (metadata then comes from the columns).
MetaTexts map_meta_texts(const std::string& dir, uint64_t n, const std::string& qdir) {
  MetaTexts t{map_optional<uint8_t>(dir, storage::kMetaFile), map_optional<uint64_t>(dir, storage::kMetaOffFile)};
  if (!t.bin || !t.off || static_cast<u128>(t.off->byte_len()) != (static_cast<u128>(n) + 1) * 8) {
    t.bin.reset();
    t.off.reset();
  } else {
    const auto off = t.off->view();
    if (off[0] != 0 || off[n] != t.bin->byte_len()) {
      warn_line("Tandrel: meta_off.bin at " + qdir +
                " has inconsistent offsets \u2014 reconstructing metadata from columns");
      t.bin.reset();
      t.off.reset();
    }
  }
  return t;
}

struct SparseFile {
  std::optional<TypedMmap<uint8_t>> bin;
  SparseTerms terms;
  size_t base = 0;  // offset of the first posting
};

// sparse.bin with its term table; a malformed one is ignored with a warning.
SparseFile map_sparse(const std::string& dir, const std::string& qdir) {
  SparseFile f;
  f.bin = map_optional<uint8_t>(dir, storage::kSparseFile);
  if (!f.bin) return f;
  if (auto b = parse_sparse_terms(f.bin->bytes(), f.terms)) {
    f.base = *b;
  } else {
    warn_line("Tandrel: sparse.bin at " + qdir + " is malformed \u2014 ignoring (sparse search degraded)");
    f.terms.clear();
    f.bin.reset();
  }
  return f;
}

struct RotatedCentroids {
  std::vector<float> row_major;     // n_clusters x pad
  distance::PackedVectors packed;   // the same in the blocked layout of the distance kernels
};

// The centroids rotated and packed (search ranking, add); the raw centroids of `m` are
// released afterwards.
RotatedCentroids rotate_centroids(Manifest& m, const codec::Rotator& rotator) {
  std::vector<float> rot(static_cast<size_t>(m.n_clusters * m.pad), 0.0f);
  for (uint64_t c = 0; c < m.n_clusters; ++c) {
    rotator.rotate_into(std::span<const float>(m.centroids.data() + c * m.dim, m.dim),
                        std::span<float>(rot.data() + c * m.pad, m.pad));
  }
  std::vector<float>().swap(m.centroids);
  distance::PackedVectors packed =
      distance::PackedVectors::pack(rot.data(), static_cast<size_t>(m.n_clusters), static_cast<size_t>(m.pad));
  return RotatedCentroids{std::move(rot), std::move(packed)};
}

// Tombstones and log replay. Tombstones at or beyond the checkpointed rows belong to rows
// only the log can recreate: they are set aside and must come back through the replay.
Status replay_log(IvfIndex& ix) {
  const uint64_t n = ix.manifest.n;
  storage::Tombstones pending;
  {
    const uint64_t total = n + ix.locks().delta.read()->rows();
    auto t = ix.locks().tombstones.write();
    const auto mx = t->maximum();
    if (mx && *mx >= total) {
      pending = *t;
      pending.remove_range(0, total);
      t->remove_range(total, uint64_t{1} << 32);
    }
  }
  TANDREL_ASSIGN(const auto replayed, ix.replay_wal());
  ix.wal_bytes.store(replayed.first);
  ix.wal_damaged.store(replayed.second);
  const uint64_t total = n + ix.locks().delta.read()->rows();
  auto t = ix.locks().tombstones.read();
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
  return {};
}

}  // namespace

Result<std::shared_ptr<IvfIndex>> IvfIndex::open_with_skip(const std::string& dir, std::optional<SkipSet> skip,
                                                          bool for_search) {
  OPEN_COUNT.fetch_add(1, std::memory_order_relaxed);
  const std::string qdir = storage::quoted_path(dir);

  // Immutable segment files, each stage refusing what it cannot use.
  TANDREL_ASSIGN(Header h, read_header(dir));
  Manifest& m = h.m;
  const uint64_t n = m.n;
  TANDREL_ASSIGN(RowMaps rows, map_row_files(dir, m));
  TANDREL_ASSIGN(IdFiles ids, map_id_files(dir, n));
  TANDREL_TRY(check_manifest_structure(m, ids.present()));
  TANDREL_ASSIGN(Columns cols, map_columns(dir, m));

  // Checkpointed live state.
  TANDREL_ASSIGN(storage::Tombstones tombs, read_tombstones(dir));
  TANDREL_ASSIGN(CheckpointedDelta cd, read_checkpointed_delta(dir));
  widen_legacy_rerank(cd.delta, m.dim);
  if (!delta_structure_ok(m, cd.delta, cols.num.size(), cols.str.size())) return invalid_data(kDeltaStructureText);

  // Ids, optional accelerator files, derived data.
  auto idhash = map_idhash(dir, n, qdir);
  TANDREL_ASSIGN(IdMap id_map, build_id_map(m, ids, idhash.has_value(), cd.delta));
  MetaTexts meta = map_meta_texts(dir, n, qdir);
  SparseFile sparse = map_sparse(dir, qdir);
  RotatedCentroids centroids = rotate_centroids(m, h.rotator);
  auto grown = predicate::rebuild_delta_schema(m.fields, skip, cd.delta, h.version == 3);
  TANDREL_ASSIGN(storage::FileCrcs crcs, storage::read_file_crcs(storage::join_path(dir, storage::kCrcsFile)));

  // Assemble.
  auto ix = std::make_shared<IvfIndex>(Key{});
  ix->manifest = std::move(m);
  ix->rotator = std::move(h.rotator);
  ix->centroids_rot = std::move(centroids.row_major);
  ix->packed_centroids = std::move(centroids.packed);
  ix->centroid_bound =
      kmeans::CentroidBound::build(ix->centroids_rot.data(), ix->packed_centroids.size(), ix->manifest.pad);
  // The regrouped copy serves only segments too large to rank from every distance.
  if (static_cast<uint64_t>(ix->packed_centroids.size()) * ix->manifest.pad > kmeans::kPlainRankCoordinates)
    ix->rank_order = kmeans::RankOrder::build(ix->centroids_rot.data(), ix->packed_centroids,
                                              ix->packed_centroids.size(), ix->manifest.pad);
  ix->codes_bin = std::move(rows.codes);
  ix->metas_bin = std::move(rows.metas);
  ix->orig_bin = std::move(rows.orig);
  ix->origscale_bin = std::move(rows.origscale);
  ix->num_bins = std::move(cols.num);
  ix->str_bins = std::move(cols.str);
  ix->meta_bin = std::move(meta.bin);
  ix->meta_off_bin = std::move(meta.off);
  ix->ids_bin = std::move(ids.bin);
  ix->ids_off_bin = std::move(ids.off);
  ix->idhash_bin = std::move(idhash);
  ix->sparse_bin = std::move(sparse.bin);
  ix->sparse_terms = std::move(sparse.terms);
  ix->file_crcs = std::move(crcs);
  *ix->locks().live_schema.write() = std::move(grown);
  ix->skip = std::move(skip);
  *ix->locks().tombstones.write() = std::move(tombs);
  *ix->locks().id_map.write() = std::move(id_map);
  {
    auto d = ix->locks().delta.write();
    *d = std::move(cd.delta);
    ix->delta_lists.assign(*d, static_cast<size_t>(ix->manifest.n_clusters));
  }
  ix->dir = dir;
  *ix->locks().delta_stamp.lock() = cd.stamp;
  *ix->locks().wal_last_sync.lock() = WalClock::now();
  ix->sparse_base = sparse.base;
  ix->format_version = h.version;

  ix->rebuild_delta_sparse();
  TANDREL_TRY(replay_log(*ix));
  TANDREL_TRY(ix->verify_under(segment::verify_open_budget()));
  ix->scan_copy.configure(rows.policy, rows.copy_factors);
  // Pre-warming asks for a segment ready to search: the scan's copy is made now rather than
  // by the first search.
  if (rows.policy.prewarm && for_search) (void)ix->scan_codes();
  return ix;
}

}  // namespace ivf_rabitq::index
