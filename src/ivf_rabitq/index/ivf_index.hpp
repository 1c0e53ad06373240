// The open segment: IvfIndex holds everything one opened segment directory needs to be
// searched, read, added to, deleted from and checkpointed.
//
// Immutable after the open (read by any number of threads without a lock): the manifest,
// the rotation, the rotated centroids (in both layouts), the memory maps, the sparse term
// index, `sparse_base`, `file_crcs`, `skip`, `dir` and `format_version`. Everything that
// changes lives behind the locks of IndexLocks (private; engine code reaches them through
// locks(), the binding through named operations) and the atomics below; `delta_lists`
// follows the delta lock.
//
// Lock order inside one index, outermost first: `checkpoint_mutex`, then `wal` or
// `delta_stamp` (never both). Readers holding several reader-writer locks take `id_map`,
// `tombstones`, `delta`, then `delta_sparse`. The `filter_cache` mutex and the
// `live_schema` lock are never held together. Debug builds check this order.
//
// The methods are spread over files by role: segment/open.cpp (the open), segment/verify.cpp
// (checksums), segment/filter.cpp (predicate bindings and the compiled-filter cache),
// segment/ids.cpp (id resolution, live count). Log replay, delta rows, schema growth,
// checkpoints and search live in their own files. Those files declare their own code in
// their folder's namespace (ivf_rabitq::segment, ivf_rabitq::live, ...) and define the
// members of IvfIndex in an ivf_rabitq::index block.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"
#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/index/rwlock.hpp"
#include "ivf_rabitq/index/scan_copy.hpp"
#include "ivf_rabitq/kmeans/centroid_bound.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/rank_order.hpp"
#include "ivf_rabitq/predicate/compile.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/predicate/predicate.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/delta_lists.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
#include "ivf_rabitq/storage/records.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"

namespace ivf_rabitq::index {

using predicate::SkipSet;
using storage::Delta;
using storage::FieldSchema;
using storage::Manifest;
using storage::TypedMmap;

// Calls of IvfIndex::open_with_skip in this process, failed ones included.
inline std::atomic<uint64_t> OPEN_COUNT{0};

// ---------------------------------------------------------------------------------------
// Id hashes and the id map
// ---------------------------------------------------------------------------------------

// The key of the id map and of idhash.bin records: FNV-1a-64 of the id's bytes.
uint64_t id_hash(std::string_view id);
// Test seam: replaces the id hash (nullptr restores FNV-1a-64); returns the previous
// override. Only for tests that need colliding ids; set it before opening.
using IdHashFn = uint64_t (*)(std::string_view);
IdHashFn set_id_hash_for_testing(IdHashFn fn);

// Hasher of the u64 id-hash keys inside the map (they are already well mixed).
struct U64KeyHasher {
  size_t operator()(uint64_t h) const noexcept { return static_cast<size_t>(h ^ (h >> 29)); }
};

// Id hash -> slot, the newest insertion under a hash winning. A hit is only a hint: the
// caller verifies the slot's stored id. When an insertion displaces a main slot (two main
// ids sharing a hash, or a later row whose id shares the hash of a main id), the displaced
// slot is kept on the side, so a lookup whose hit fails verification still finds the main
// row in a segment without idhash.bin. Delta slots need no such record: a failed hit scans
// the delta ids.
class IdMap {
 public:
  IdMap() = default;
  explicit IdMap(uint64_t main_rows) : main_rows_(main_rows) {}

  // Rows below this slot are main rows (the manifest's n).
  void set_main_rows(uint64_t n) { main_rows_ = n; }
  uint64_t main_rows() const { return main_rows_; }
  void reserve(size_t n) { map_.reserve(n); }

  // map[hash] = slot (replacing an earlier entry; a replaced main slot is kept aside).
  void insert(uint64_t hash, uint32_t slot) {
    auto [it, fresh] = map_.try_emplace(hash, slot);
    if (!fresh) {
      const uint32_t old = it->second;
      it->second = slot;
      if (old != slot && old < main_rows_) displaced_.emplace(hash, old);
    }
  }

  // The memory one later insert(hash, slot) needs, allocated ahead: the map entry, the
  // bucket room and the node that records a displaced main slot. Lets a writer allocate
  // everything before it changes anything.
  struct Reserved {
    decltype(std::unordered_map<uint64_t, uint32_t, U64KeyHasher>().extract(0)) entry;
    decltype(std::unordered_multimap<uint64_t, uint32_t, U64KeyHasher>().extract(0)) displaced;
  };
  Reserved reserve_insert(uint64_t hash) {
    Reserved r;
    map_.reserve(map_.size() + 1);
    displaced_.reserve(displaced_.size() + 1);
    std::unordered_map<uint64_t, uint32_t, U64KeyHasher> one;
    one.emplace(hash, 0);
    r.entry = one.extract(one.begin());
    std::unordered_multimap<uint64_t, uint32_t, U64KeyHasher> disp;
    disp.emplace(hash, 0);
    r.displaced = disp.extract(disp.begin());
    return r;
  }
  // insert(hash, slot) on memory from reserve_insert(hash): allocates nothing.
  void insert(uint64_t hash, uint32_t slot, Reserved r) noexcept {
    auto it = map_.find(hash);
    if (it == map_.end()) {
      r.entry.mapped() = slot;
      map_.insert(std::move(r.entry));
      return;
    }
    const uint32_t old = it->second;
    it->second = slot;
    if (old != slot && old < main_rows_) {
      r.displaced.mapped() = old;
      displaced_.insert(std::move(r.displaced));
    }
  }
  std::optional<uint32_t> find(uint64_t hash) const {
    auto it = map_.find(hash);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }
  bool empty() const { return map_.empty(); }
  size_t size() const { return map_.size(); }
  // Calls f(slot) for every main slot displaced from `hash`, until f returns true;
  // returns whether it did.
  template <class F>
  bool any_displaced(uint64_t hash, F&& f) const {
    if (displaced_.empty()) return false;
    auto [b, e] = displaced_.equal_range(hash);
    for (auto it = b; it != e; ++it)
      if (f(it->second)) return true;
    return false;
  }
  size_t displaced_count() const { return displaced_.size(); }

 private:
  std::unordered_map<uint64_t, uint32_t, U64KeyHasher> map_;
  std::unordered_multimap<uint64_t, uint32_t, U64KeyHasher> displaced_;
  uint64_t main_rows_ = 0;
};

// ---------------------------------------------------------------------------------------
// Other member types
// ---------------------------------------------------------------------------------------

// Identity of delta.bin on disk, compared as a whole.
struct DeltaStamp {
  struct MTime {
    int64_t sec = 0;
    uint32_t nsec = 0;
    bool operator==(const MTime&) const = default;
  };
  uint64_t ino = 0;
  uint64_t len = 0;
  std::optional<MTime> mtime;  // absent when the file system does not report it
  bool operator==(const DeltaStamp&) const = default;
};

// Postings of one term in sparse.bin: `count` records from posting index `start`.
struct SparseSpan {
  uint64_t start = 0;
  uint32_t count = 0;
  bool operator==(const SparseSpan&) const = default;
};
using SparseTerms = std::unordered_map<uint32_t, SparseSpan, storage::IntHasher>;

// Delta postings: term -> (delta row index, weight), in order of addition.
using DeltaSparse = std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, float>>, storage::IntHasher>;

using PredicatePtr = std::shared_ptr<const predicate::Predicate>;
// The main slots a compiled filter passes: bit s of words[s / 64] is set when main slot s
// passes (tombstones are not applied), count is the number of bits set.
struct MainRowBits {
  std::vector<uint64_t> words;
  uint64_t count = 0;
};
// Filter text (exact bytes) -> compiled predicate (only successful compiles are stored).
using FilterCache = std::unordered_map<std::string, PredicatePtr>;
inline constexpr size_t kFilterCacheMaxEntries = 64;
inline constexpr size_t kFilterCacheMaxKeyBytes = 67108864;

using WalClock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------
// IvfIndex
// ---------------------------------------------------------------------------------------

// The result of IvfIndex::merge: rows written to the new segment (0: nothing was written) and
// the ids of live input rows dropped because the caller tombstoned them, in the order met.
struct MergeResult {
  uint64_t rows = 0;
  std::vector<std::string> dropped;
};

// The lockable state of an open index. The order below is the lock order (lock_order.hpp):
// `checkpoint_mutex` outermost, then `wal` or `delta_stamp` (never both); readers holding
// several reader-writer locks take `id_map`, `tombstones`, `delta`, then `delta_sparse`;
// the `filter_cache` mutex and the `live_schema` lock are never held together. Every lock
// is ranked in the domain of its owning index.
struct IndexLocks {
  explicit IndexLocks(const void* owner)
      : filter_cache{LockRank::FilterCache, owner},
        live_schema{LockRank::LiveSchema, owner},
        tombstones{LockRank::Tombstones, owner},
        id_map{LockRank::IdMap, owner},
        delta{LockRank::Delta, owner},
        delta_sparse{LockRank::DeltaSparse, owner},
        wal{LockRank::Wal, owner},
        delta_stamp{LockRank::DeltaStamp, owner},
        wal_last_sync{LockRank::WalLastSync, owner},
        checkpoint_mutex{LockRank::CheckpointMutex, owner} {}
  IndexLocks(const IndexLocks&) = delete;
  IndexLocks& operator=(const IndexLocks&) = delete;

  Mutex<FilterCache> filter_cache;
  RwLock<std::optional<std::vector<FieldSchema>>> live_schema;  // grown schema; none: the manifest's
  RwLock<storage::Tombstones> tombstones;
  RwLock<IdMap> id_map;
  RwLock<Delta> delta;                      // IvfIndex::delta_lists follows this lock
  RwLock<DeltaSparse> delta_sparse;
  Mutex<fileops::Fd> wal;                   // append descriptor of wal.bin (closed when reset)
  Mutex<std::optional<DeltaStamp>> delta_stamp;
  Mutex<WalClock::time_point> wal_last_sync;
  mutable RankedMutex checkpoint_mutex;
};

class IvfIndex {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Built only by open_with_skip; shared by reference count.
  explicit IvfIndex(Key) {}
  IvfIndex(const IvfIndex&) = delete;
  IvfIndex& operator=(const IvfIndex&) = delete;
  // Runs the teardown (drop), then releases the members in declaration order.
  ~IvfIndex();

  // Opens and validates the segment directory `dir`; `skip` is the skip set of metadata
  // field names (taken over). Errors: invalid-data "corrupt index: ..." texts, the
  // newer-format text, the manifest decoder's text, or the operating system's error. With
  // pre-warming on, a segment opened `for_search` gets its scan copy at the open; maintenance
  // (compact, rebuild, merge) opens its sources with false: it reads their stored rows and
  // never searches them.
  static Result<std::shared_ptr<IvfIndex>> open_with_skip(const std::string& dir, std::optional<SkipSet> skip,
                                                          bool for_search = true);

  // Writes one complete format-3 segment into `dir` from rows held in memory; needs no open
  // segment and keeps no state. Forwards to build_segment (builder/build.hpp), which
  // documents the arguments and errors; metadata value r belongs to input row r.
  static Status build(const std::string& dir, std::span<const float> data, size_t n, size_t dim,
                      std::vector<std::string> ids, std::span<const json::Value> metadata,
                      std::span<const storage::SparsePairs> sparse, std::span<const std::string> skip,
                      std::span<const float> pca_mean, std::span<const float> pca_comps, uint32_t n_clusters,
                      uint32_t n_bits, uint64_t seed, float quant_scale);

  // ---- checksum verification (verify.cpp) ----
  // Recomputes the CRC-32 of the recorded bulk files no longer than `budget` bytes.
  Status verify_under(uint64_t budget) const;
  // Recomputes the CRC-32 of every recorded data file (segment::verify_data_files). Compaction, rebuild
  // and merge call it before they write anything: they copy what these files hold into a
  // segment with fresh checksums, which would make damage look clean.
  Status verify_sources() const;

  // ---- filters (filter.cpp) ----
  // The predicate on main slot `slot` (< n), reading the mapped column files.
  bool passes_main(const predicate::Predicate& pred, uint32_t slot) const;
  // The predicate on delta row d of `delta` (held by the caller under the delta read lock).
  static bool passes_delta(const Delta& delta, const predicate::Predicate& pred, uint32_t d);
  // A filter text compiled through the per-index cache; errors are "bad filter: {}" or the
  // compiler's text. The empty text and "null" are the callers' business (no filter).
  Result<PredicatePtr, predicate::FilterError> compile_filter_cached(std::string_view text) const;
  // The main slots that a filter returned by this index's compile_filter_cached passes.
  // Main rows never change while the segment is open, so the bitmap is built once, by the
  // first caller (others wait for it), and shared by every later search holding the same
  // compiled filter; it lives and dies with the filter. Null for no filter and for a
  // predicate that did not come from this index's cache.
  const MainRowBits* main_bits(const PredicatePtr& pred) const;

  // ---- ids (ids.cpp) ----
  // Rows of the main segment (slots 0 .. n-1).
  uint32_t main_rows() const { return static_cast<uint32_t>(manifest.n); }
  // What a search addresses (and so what the scan copy must hold to be used): the clusters
  // every cluster-indexed array has, and the main rows below the largest 32-bit slot.
  size_t searchable_clusters() const {
    size_t nc = std::min<size_t>(manifest.n_clusters, manifest.offsets.empty() ? 0 : manifest.offsets.size() - 1);
    if (manifest.pad != 0) nc = std::min<size_t>(nc, centroids_rot.size() / manifest.pad);
    return nc;
  }
  uint32_t searchable_rows() const {
    return static_cast<uint32_t>(std::min<uint64_t>(manifest.n, std::numeric_limits<uint32_t>::max() - 1));
  }
  // The stored id of main slot s (borrowed from the mapping or the manifest), or none when
  // the slot has no valid id. ext_id is the same read under the name compaction uses.
  std::optional<std::string_view> main_id(uint32_t s) const;
  std::optional<std::string_view> ext_id(uint32_t s) const { return main_id(s); }
  // An owned copy of the id of any slot below n + delta rows ("" for a main slot without
  // an id). Takes the delta read lock for delta slots only.
  std::string ext_of(uint32_t slot) const;
  // ext_of's id appended to `out` (a main slot's read in place, no string of its own).
  void append_ext(uint32_t slot, std::string& out) const;
  // Requests the id bytes of a main slot ahead of ext_of (a hint only): called for each slot
  // of a result first, the lookups no longer wait on two dependent misses each.
  void prefetch_id(uint32_t slot) const;
  // Id -> slot (possibly tombstoned). The caller holds the id_map and delta read locks.
  std::optional<uint32_t> slot_of_locked(std::string_view id, const IdMap& map,
                                         const std::vector<std::string>& delta_ids) const;
  // The same, taking the id_map then the delta read lock itself.
  std::optional<uint32_t> slot_of(std::string_view id) const;
  // Batch form: one entry per id, each equal to slot_of_locked of that id.
  std::vector<std::optional<uint32_t>> slots_of_locked(std::span<const std::string> ids, const IdMap& map,
                                                       const std::vector<std::string>& delta_ids) const;
  std::vector<std::optional<uint32_t>> slots_of_locked(std::span<const std::string_view> ids, const IdMap& map,
                                                       const std::vector<std::string>& delta_ids) const;
  // main rows + delta rows - tombstones, floored at 0.
  uint64_t live_count() const;

  // ---- row contents (rows.cpp) ----
  // Code -> key maps of the string fields of a schema, in schema order (predicate::reverse_dictionaries).
  using ReverseDicts = std::vector<std::unordered_map<uint32_t, std::string>>;
  // The metadata text of any slot below n + delta rows: a main row's meta.bin slice or a
  // delta row's stored text when it is valid UTF-8 and valid JSON, else "null"; a main row of
  // a segment without meta.bin gets the object rebuilt from its typed columns (row_meta)
  // printed compact. `rdicts` are the manifest's (needed only without meta.bin); `delta_meta`
  // the delta's texts (the caller holds the delta read lock or a copy). Bad slots: "null".
  std::string row_meta_str(uint32_t slot, const ReverseDicts& rdicts, const std::vector<std::string>& delta_meta) const;
  // The same row's metadata as a JSON value: the stored text parsed (failure: null), or for a
  // main row without meta.bin an object of its typed values in schema order (finite numbers;
  // string codes decoded with dict_key_value from format 3, the key itself below).
  json::Value row_meta(uint32_t slot, const ReverseDicts& rdicts, const std::vector<std::string>& delta_meta) const;
  // A copy of the live schema (the grown one, else the manifest's fields), taken under the
  // schema read lock.
  std::vector<FieldSchema> effective_fields() const;
  // The object row_meta rebuilds for main slot s from the typed columns.
  json::Value main_meta_from_columns(uint32_t s, const ReverseDicts& rdicts) const;
  // Calls f(term, slot, weight) for every stored sparse posting of a main row (sparse.bin
  // through the term index, else the manifest's legacy postings), terms in map order, each
  // term's postings in stored order; postings whose slot is not below n are skipped.
  template <class F>
  void sparse_iter(F&& f) const {
    const uint64_t n = manifest.n;
    if (sparse_bin) {
      const uint8_t* base = sparse_bin->bytes().data();
      const size_t len = sparse_bin->byte_len();
      for (const auto& [term, span] : sparse_terms) {
        for (uint64_t i = 0; i < span.count; ++i) {
          const uint64_t at = sparse_base + (span.start + i) * 8;
          if (at + 8 > len) break;
          const uint32_t slot = storage::load_u32(base + at);
          if (slot >= n) continue;
          f(term, slot, storage::load_f32(base + at + 4));
        }
      }
      return;
    }
    for (const auto& [term, postings] : manifest.sparse)
      for (const auto& [slot, weight] : postings)
        if (slot < n) f(term, slot, weight);
  }

  // ---- the scan copy (segment/scan_copy.cpp) ----
  // The block-interleaved copy the cluster scan reads, made by the first call (concurrent
  // first callers wait for it; later ones take it with one atomic load). Once it exists the
  // mappings it was made from give up their pages (they fault back in for the paths that
  // still read the files) and the residency switches apply to the copy instead. Null when no
  // copy could be made (the search then reads the mappings, which then get the residency
  // the switches asked for). Takes no index lock.
  const codec::BlockedCodes* scan_codes() const;

  // ---- compaction (maintain/compact.cpp) ----
  // Writes a vacuumed copy of this segment (live main rows and live delta rows, cluster by
  // cluster, codes and factors copied as they are) into `out` at generation `generation`,
  // manifest.bin last. Never changes this index. Errors: the I/O error of the failing step,
  // the manifest's "corrupt index: " texts, or "corrupt index: " when a main row's id cannot
  // be read or a mapped file is shorter than the manifest implies. The recorded data files are
  // checked against crcs.bin first (verify_sources): a mismatch writes nothing.
  Status compact_to(const std::string& out, uint64_t generation) const;

  // ---- merge (maintain/merge.cpp) ----
  // Folds the live rows of several segment directories into one new, re-clustered and
  // re-encoded format-3 segment at generation 0 in `out`; the inputs are only read. One row
  // per id (the last live row met wins, at the position of the first), minus the ids in
  // `tombstones`, which are reported. Documented in maintain/merge.hpp.
  static Result<MergeResult> merge(const std::string& out, std::span<const std::string> dirs,
                                   const std::unordered_set<std::string>& tombstones, uint64_t n_clusters, float scale,
                                   std::span<const std::string> skip, std::span<const float> pca_mean,
                                   std::span<const float> pca_comps, uint64_t n_bits, uint64_t seed);

  // ---- the log and the counters the handle reads ----
  // Whether the log and delta.bin on disk are still what this index last wrote or read: the
  // log's length as the file system sees it (the held append descriptor's, else wal.bin's;
  // missing: 0) equals wal_bytes, and delta.bin's identity equals the recorded stamp. False
  // when another writer appended or checkpointed since. Takes the wal lock, releases it, then
  // takes the delta_stamp lock. Errors: the operating system's error of either file.
  // (live/checkpoint.cpp)
  Result<bool> log_is_current() const;
  // Records `at` as the time of the last durable log sync: the time-based group commit
  // measures its window from there. (live/group_commit.cpp)
  void note_sync(WalClock::time_point at) const;
  // Main rows, delta rows and tombstones, the delta and the tombstones each read under its
  // own read lock, one after the other (never both held). (segment/ids.cpp)
  struct RowCounts {
    uint64_t main = 0;
    uint64_t delta = 0;
    uint64_t deleted = 0;
  };
  RowCounts row_counts() const;

  // ---- the locks, for engine code only ----
  // The lockable state. The engine's readers and writers (search, scan, the write path,
  // checkpoints, maintenance, the open) take these locks themselves, in the documented
  // order; the Python binding never does: it calls the named operations of this class.
  const IndexLocks& locks() const noexcept { return locks_; }

  // ---- seams of the open implemented with the write path ----
  // Re-applies wal.bin; returns (end offset, damaged).
  Result<std::pair<uint64_t, bool>> replay_wal();
  // Rebuilds delta_sparse from the delta's sparse lists.
  void rebuild_delta_sparse();
  // Teardown: final fdatasync of the log descriptor, warning on failure. Idempotent.
  void drop() noexcept;

  // =====================================================================================
  // Owned members, in declaration (and release) order.
  // =====================================================================================
  Manifest manifest;                                  // centroids emptied after rotation
  codec::Rotator rotator;
  std::vector<float> centroids_rot;                   // n_clusters x pad
  TypedMmap<uint64_t> codes_bin;                      // hot
  TypedMmap<float> metas_bin;                         // hot
  TypedMmap<uint8_t> orig_bin;                        // random access
  std::optional<TypedMmap<uint32_t>> origscale_bin;   // (u32 energy, u32 exponent) per row
  std::vector<TypedMmap<double>> num_bins;            // num_{i}.bin in schema order
  std::vector<TypedMmap<uint32_t>> str_bins;          // str_{j}.bin in schema order
  std::optional<TypedMmap<uint8_t>> meta_bin;         // with meta_off_bin or not at all
  std::optional<TypedMmap<uint64_t>> meta_off_bin;
  std::optional<TypedMmap<uint8_t>> ids_bin;          // with ids_off_bin or not at all
  std::optional<TypedMmap<uint64_t>> ids_off_bin;
  std::optional<TypedMmap<uint8_t>> idhash_bin;       // 12-byte records (u64 hash, u32 slot)
  std::optional<TypedMmap<uint8_t>> sparse_bin;
  SparseTerms sparse_terms;
  storage::FileCrcs file_crcs;
  std::optional<SkipSet> skip;
  std::string dir;

  // =====================================================================================
  // Plain members.
  // =====================================================================================
  std::atomic<uint64_t> schema_epoch{0};
  std::atomic<uint64_t> wal_sync_ms{0};
  std::atomic<uint64_t> wal_sync_count{0};
  std::atomic<uint64_t> wal_bytes{0};
  std::atomic<uint64_t> tomb_epoch{0};
  std::atomic<uint64_t> durable_tomb_epoch{0};
  size_t sparse_base = 0;  // 8 + 8 x term count of sparse.bin; 0 without it
  uint32_t format_version = 1;
  std::atomic<uint32_t> durability_interval{1};
  std::atomic<uint32_t> ops_since_sync{0};
  std::atomic<bool> wal_damaged{false};
  std::atomic<bool> fsync_failed{false};

  // =====================================================================================
  // Derived data: computed from the members above, never written to the segment's files.
  // =====================================================================================
  // centroids_rot in the blocked layout of the vectorised distance kernels: the centroid
  // ranking of a query and the nearest-cluster choice of an added row. Built by the open,
  // immutable. Both layouts are kept: the row-major one gives a cluster's residual (one
  // contiguous run per probed cluster), the blocked one scans all clusters at once.
  distance::PackedVectors packed_centroids;
  // codes.bin in the block-interleaved layout of the cluster scan (rows of each cluster in
  // blocks of 32, transposed so one byte shuffle looks up 32 rows), with the row factors of
  // metas.bin where the estimates read them faster that way. Made once, by scan_codes(): at
  // the open when the prewarm switch was on, else by the first search that scans.
  ScanCopy scan_copy;
  // centroids_rot on the int8 grid of the ranking's lower bounds (empty when the bound does
  // not pay on this CPU or for this cluster count). Built by the open, immutable.
  kmeans::CentroidBound centroid_bound;
  // packed_centroids regrouped so that near centroids share the ranking's groups (empty when
  // the segment ranks from every distance or the grouping costs too much at open). Built by
  // the open, immutable.
  kmeans::RankOrder rank_order;
  // Delta rows per cluster, in step with `delta`: changed only while the delta write lock
  // is held (assigned by the open, extended by every add), read under the delta read lock.
  storage::DeltaClusterLists delta_lists;

 private:
  IndexLocks locks_{this};
  bool dropped_ = false;
};

// Term table of a sparse.bin image: fills `terms` and returns sparse_base, or none when the
// image is malformed (terms is then left empty).
std::optional<size_t> parse_sparse_terms(std::span<const uint8_t> file, SparseTerms& terms);

}  // namespace ivf_rabitq::index
