#include "ivf_rabitq/builder/build.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"

namespace ivf_rabitq::builder {

namespace {

using storage::FieldSchema;
using storage::SparsePairs;

constexpr double kAbsentNum = std::bit_cast<double>(0x7FF8000000000000ull);
constexpr uint32_t kAbsentCode = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------------------
// Metadata, prepared in one pass over the input rows
// ---------------------------------------------------------------------------------------

// What the build keeps of one metadata field name: its numbers and its dictionary codes, each
// with the input row it came from (ascending rows). A name holds a number column exactly when
// `nums` is non-empty and a code column exactly when `codes` is non-empty.
struct FieldValues {
  std::vector<std::pair<uint32_t, double>> nums;
  std::vector<std::pair<uint32_t, uint32_t>> codes;
  std::unordered_map<std::string, uint32_t> dict;  // key -> code, codes in first-occurrence order
};

// The rows' metadata reduced to what the segment stores: the compact texts in input order and
// the typed values per field name. Each document is parsed once and dropped with its batch.
struct PreparedMeta {
  std::string text;                          // compact texts, input order, concatenated
  std::vector<uint64_t> off;                 // n + 1 offsets into text
  std::map<std::string, FieldValues> names;  // ascending byte order
};

// Rows per batch of prepare_meta: the documents of one batch are alive at a time.
constexpr size_t kMetaBatch = 8192;
constexpr size_t kMetaChunk = 128;

// One row of a batch, prepared in parallel: its document, compact text, and the members that
// get typed (in key order), each with its dictionary key when it is not a number.
struct MetaRow {
  json::Value holder;
  const json::Value* doc = nullptr;
  std::string text;
  struct Member {
    const std::string* name;
    const json::Value* value;
    std::string key;  // str_key_typed of a non-number value
  };
  std::vector<Member> members;
  std::optional<IoError> err;
};

Result<PreparedMeta> prepare_meta(const BuildMetadata& metadata, size_t n, std::span<const std::string> skip) {
  const std::unordered_set<std::string> skipped(skip.begin(), skip.end());
  PreparedMeta pm;
  pm.off.reserve(n + 1);
  pm.off.push_back(0);
  const size_t given = std::min(metadata.size(), n);
  std::vector<MetaRow> batch;
  // Parsing, printing and keying run in parallel per row; field discovery, codes and the text
  // body are filled sequentially in input order, so the result does not depend on threads.
  for (size_t base = 0; base < given; base += kMetaBatch) {
    const size_t len = std::min(kMetaBatch, given - base);
    batch.clear();
    batch.resize(len);
    parallel::for_each(len, kMetaChunk, [&](size_t i) {
      MetaRow& row = batch[i];
      Status st = metadata.load(base + i, row.holder, row.doc);
      if (!st.ok()) {
        row.err = std::move(st).error();
        return;
      }
      json::append_compact(row.text, *row.doc);
      if (!row.doc->is_object()) return;
      // Object keys iterate in ascending byte order.
      for (const auto& [name, val] : row.doc->get_ref<const json::Value::object_t&>()) {
        if (val.is_null() || skipped.count(name) != 0) continue;
        row.members.push_back({&name, &val, val.is_number() ? std::string() : predicate::str_key_typed(val)});
      }
    });
    for (size_t i = 0; i < len; ++i) {
      MetaRow& row = batch[i];
      if (row.err) return std::move(*row.err);
      pm.text += row.text;
      pm.off.push_back(pm.text.size());
      const uint32_t r = static_cast<uint32_t>(base + i);
      for (MetaRow::Member& m : row.members) {
        auto it = pm.names.find(*m.name);
        if (it == pm.names.end()) it = pm.names.emplace(*m.name, FieldValues{}).first;
        FieldValues& f = it->second;
        if (m.value->is_number()) {
          f.nums.emplace_back(r, json::number_as_f64(*m.value));
        } else {
          auto [pos, fresh] = f.dict.try_emplace(std::move(m.key), static_cast<uint32_t>(f.dict.size()));
          f.codes.emplace_back(r, pos->second);
        }
      }
    }
  }
  for (size_t r = given; r < n; ++r) {
    pm.text += "null";
    pm.off.push_back(pm.text.size());
  }
  return pm;
}

// The prepared metadata of the input rows `kept` (ascending), renumbered 0..kept.size()-1:
// exactly what preparing those rows' documents alone would give (codes renumbered in
// first-occurrence order over the kept rows; names left without values dropped).
PreparedMeta filter_meta(const PreparedMeta& pm, std::span<const uint32_t> kept) {
  const size_t n_old = pm.off.size() - 1;
  constexpr uint32_t kDropped = 0xFFFFFFFFu;
  std::vector<uint32_t> new_row(n_old, kDropped);
  for (size_t i = 0; i < kept.size(); ++i) new_row[kept[i]] = static_cast<uint32_t>(i);

  PreparedMeta out;
  out.off.reserve(kept.size() + 1);
  out.off.push_back(0);
  for (uint32_t r : kept) {
    out.text.append(pm.text, pm.off[r], pm.off[r + 1] - pm.off[r]);
    out.off.push_back(out.text.size());
  }
  for (const auto& [name, f] : pm.names) {
    FieldValues g;
    for (const auto& [r, v] : f.nums)
      if (new_row[r] != kDropped) g.nums.emplace_back(new_row[r], v);
    if (!f.codes.empty()) {
      std::vector<const std::string*> key_of(f.dict.size());
      for (const auto& [key, code] : f.dict) key_of[code] = &key;
      for (const auto& [r, code] : f.codes) {
        if (new_row[r] == kDropped) continue;
        auto [pos, fresh] = g.dict.try_emplace(*key_of[code], static_cast<uint32_t>(g.dict.size()));
        g.codes.emplace_back(new_row[r], pos->second);
      }
    }
    if (!g.nums.empty() || !g.codes.empty()) out.names.emplace(name, std::move(g));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------

template <class T>
std::span<const uint8_t> bytes_of(std::span<const T> v) {
  return {reinterpret_cast<const uint8_t*>(v.data()), v.size() * sizeof(T)};
}
template <class T>
std::span<const uint8_t> bytes_of(const std::vector<T>& v) {
  return bytes_of(std::span<const T>(v));
}

// Removes manifest.bin of an earlier segment before new data files land beside it, and makes
// the removal durable, so that a crash part-way never leaves the old manifest describing a mix
// of old and new data files.
Status retire_old_manifest(const std::string& dir) {
  std::string path = storage::join_path(dir, storage::kManifestFile);
  if (fileops::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return {};
    return IoError::last_os();
  }
  return storage::sync_parent_dir(path);
}

// ---------------------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------------------

Status validate(std::span<const float> data, size_t n, size_t dim, size_t n_ids) {
  if (dim == 0) return invalid_input("build: dim must be >= 1");
  if (static_cast<uint64_t>(n) > kMaxSegmentRows)
    return invalid_input("build: n=" + std::to_string(n) + " rows exceed the slot space (at most 4294967294 rows)");
  TANDREL_TRY(quant::check_rerank_dim(dim));
  size_t total;
  if (__builtin_mul_overflow(n, dim, &total))
    return invalid_input("build: n=" + std::to_string(n) + " x dim=" + std::to_string(dim) + " overflows");
  if (data.size() != total || n_ids != n)
    return invalid_input("build: data.len()=" + std::to_string(data.size()) + " (expected " + std::to_string(total) +
                         ") or ids.len()=" + std::to_string(n_ids) + " (expected " + std::to_string(n) + ")");
  return {};
}

// ---------------------------------------------------------------------------------------
// Build stages
// ---------------------------------------------------------------------------------------

// The rows grouped into clusters: k-means centroids, the cluster of every input row and the
// slot order it gives.
struct Clustering {
  size_t k = 0;
  std::vector<float> centroids;  // k x dim, unrotated
  std::vector<uint32_t> cluster;  // per input row
  SlotOrder order;
};

Clustering cluster_rows(std::span<const float> data, size_t n, size_t dim, const BuildParams& params) {
  Clustering c;
  c.k = effective_clusters(n, params.n_clusters);
  c.centroids = kmeans::kmeans(data, n, dim, c.k, params.seed);
  if (c.k < kNeighborListMinClusters) {
    c.cluster = kmeans::assign_brute_force(data, n, dim, c.centroids, c.k);
  } else {
    kmeans::NeighborLists lists = kmeans::centroid_neighbor_lists(c.centroids, dim, c.k);
    c.cluster = kmeans::assign_all_exact(data, n, dim, c.centroids, lists);
  }
  c.order = order_by_cluster(c.cluster, c.k);
  return c;
}

// Outputs of the row encoder, one vector per row file.
struct RowFiles {
  std::vector<uint64_t> codes;
  std::vector<float> factors;
  std::vector<uint8_t> orig;
  std::vector<uint8_t> origscale;
};

// Encodes every row at its slot; the rows' cluster list is released afterwards.
RowFiles encode_rows(std::span<const float> data, size_t n, size_t dim, Clustering& c, const codec::Rotator& rot,
                     uint32_t n_bits) {
  const size_t code_words = static_cast<size_t>(n_bits) * (rot.pad / 64);
  RowFiles r;
  r.codes.resize(n * code_words);
  r.factors.resize(n * codec::kRowFactors);
  r.orig.resize(n * dim);
  r.origscale.resize(n * quant::kOrigScaleRecordBytes);
  encode_build_rows(data, n, dim, c.centroids, c.cluster, c.order.slot_of, rot, n_bits,
                    EncodedRows{r.codes, r.factors, r.orig, r.origscale});
  c.cluster = {};
  return r;
}

// The ids by slot and the input row at each slot; the input ids are consumed.
struct Placement {
  std::vector<std::string> ids_by_slot;
  std::vector<uint32_t> row_at;
};

Placement place_rows(std::vector<std::string>& ids, std::span<const uint32_t> slot_of) {
  const size_t n = slot_of.size();
  Placement p;
  p.ids_by_slot.resize(n);
  p.row_at.resize(n);
  for (size_t r = 0; r < n; ++r) {
    p.ids_by_slot[slot_of[r]] = std::move(ids[r]);
    p.row_at[slot_of[r]] = static_cast<uint32_t>(r);
  }
  ids = {};
  return p;
}

// Schema: names in ascending byte order, a numeric entry before a string entry. The
// dictionaries join their entries once the rows are known to be final (attach_dictionaries).
std::vector<FieldSchema> schema_of(const PreparedMeta& meta) {
  std::vector<FieldSchema> fields;
  for (const auto& [name, f] : meta.names) {
    if (!f.nums.empty()) fields.push_back(FieldSchema{name, true, {}});
    if (!f.codes.empty()) fields.push_back(FieldSchema{name, false, {}});
  }
  return fields;
}

// codes.bin, metas.bin, orig.bin, origscale.bin, in order, each released once written.
Status write_row_files(storage::SegmentWriter& files, RowFiles& rows) {
  TANDREL_TRY(files.write_file(storage::kCodesFile, bytes_of(rows.codes)));
  rows.codes = {};
  TANDREL_TRY(files.write_file(storage::kMetasFile, bytes_of(rows.factors)));
  rows.factors = {};
  TANDREL_TRY(files.write_file(storage::kOrigFile, bytes_of(rows.orig)));
  rows.orig = {};
  TANDREL_TRY(files.write_file(storage::kOrigScaleFile, bytes_of(rows.origscale)));
  rows.origscale = {};
  return {};
}

// num_{i}.bin and str_{j}.bin in schema order: each value at its row's slot, absent values
// as NaN or 0xFFFFFFFF.
Status write_columns(storage::SegmentWriter& files, const std::vector<FieldSchema>& fields, const PreparedMeta& meta,
                     std::span<const uint32_t> slot_of) {
  const size_t n = slot_of.size();
  size_t num_i = 0, str_j = 0;
  auto name_it = meta.names.begin();
  for (const FieldSchema& f : fields) {
    while (name_it->first != f.name) ++name_it;
    const FieldValues& v = name_it->second;
    if (f.numeric) {
      std::vector<double> col(n, kAbsentNum);
      for (const auto& [r, x] : v.nums) col[slot_of[r]] = x;
      TANDREL_TRY(files.write_file(storage::num_column_file(num_i++), bytes_of(col)));
    } else {
      std::vector<uint32_t> col(n, kAbsentCode);
      for (const auto& [r, c] : v.codes) col[slot_of[r]] = c;
      TANDREL_TRY(files.write_file(storage::str_column_file(str_j++), bytes_of(col)));
    }
  }
  return {};
}

// meta.bin and meta_off.bin: the compact texts in slot order.
Status write_meta_texts(storage::SegmentWriter& files, const PreparedMeta& meta, std::span<const uint32_t> row_at) {
  const size_t n = row_at.size();
  std::vector<uint8_t> text(meta.off[n]);
  std::vector<uint64_t> off(n + 1);
  uint64_t at = 0;
  for (size_t s = 0; s < n; ++s) {
    const uint32_t r = row_at[s];
    const uint64_t len = meta.off[r + 1] - meta.off[r];
    if (len != 0) std::memcpy(text.data() + at, meta.text.data() + meta.off[r], len);
    at += len;
    off[s + 1] = at;
  }
  std::vector<uint8_t> off_bytes = storage::encode_offsets(off);
  TANDREL_TRY(files.write_file(storage::kMetaFile, text));
  return files.write_file(storage::kMetaOffFile, off_bytes);
}

// ids.bin and ids_off.bin.
Status write_ids(storage::SegmentWriter& files, const std::vector<std::string>& ids_by_slot) {
  storage::EncodedIds enc = storage::encode_ids(ids_by_slot);
  std::vector<uint8_t> off_bytes = storage::encode_offsets(enc.offsets);
  TANDREL_TRY(files.write_file(storage::kIdsFile, enc.bytes));
  return files.write_file(storage::kIdsOffFile, off_bytes);
}

// The input of a build over the rows that carry the last occurrence of each id, in input
// order (the same rows' vectors, ids, sparse terms and prepared metadata).
struct KeptRows {
  std::vector<float> data;
  std::vector<std::string> ids;
  std::vector<SparsePairs> sparse;
  PreparedMeta meta;
};

// The ids are moved out of `ids_by_slot`.
KeptRows keep_last_occurrences(std::span<const float> data, size_t dim, std::vector<std::string>& ids_by_slot,
                               std::span<const uint32_t> slot_of, std::span<const SparsePairs> sparse,
                               const PreparedMeta& meta) {
  const size_t n = slot_of.size();
  std::vector<uint32_t> kept;
  {
    std::unordered_set<std::string_view> seen;
    for (size_t r = n; r-- > 0;)
      if (seen.insert(ids_by_slot[slot_of[r]]).second) kept.push_back(static_cast<uint32_t>(r));
  }
  std::reverse(kept.begin(), kept.end());
  KeptRows out;
  out.data.resize(kept.size() * dim);
  out.ids.resize(kept.size());
  out.sparse.resize(sparse.empty() ? 0 : kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    const uint32_t r = kept[i];
    std::copy_n(data.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(r) * dim), dim,
                out.data.begin() + static_cast<ptrdiff_t>(i * dim));
    out.ids[i] = std::move(ids_by_slot[slot_of[r]]);
    if (!sparse.empty() && r < sparse.size()) out.sparse[i] = sparse[r];
  }
  out.meta = filter_meta(meta, kept);
  return out;
}

// Moves each string column's dictionary into its schema entry.
void attach_dictionaries(std::vector<FieldSchema>& fields, PreparedMeta& meta) {
  auto name_it = meta.names.begin();
  for (FieldSchema& f : fields) {
    if (f.numeric) continue;
    while (name_it->first != f.name) ++name_it;
    f.dict = std::move(name_it->second.dict);
  }
}

// sparse.bin: postings per term in input-row order (written even without terms).
Status write_sparse(storage::SegmentWriter& files, std::span<const SparsePairs> sparse, std::span<const uint32_t> slot_of) {
  std::unordered_map<uint32_t, SparsePairs, storage::IntHasher> postings;
  const size_t rows_with_terms = std::min(sparse.size(), slot_of.size());
  for (size_t r = 0; r < rows_with_terms; ++r)
    for (const auto& [term, weight] : sparse[r]) postings[term].emplace_back(slot_of[r], weight);
  return files.write_file(storage::kSparseFile, storage::encode_sparse(postings));
}

// Log and checkpoint files of an earlier segment no longer apply: one left behind would be
// replayed onto the new slots, so a removal that fails fails the build. The manifest's
// directory fsync makes the removals durable before the segment can open.
Status remove_stale_live_files(const std::string& dir) {
  for (const char* stale :
       {storage::kDeltaFile, storage::kDeletedFile, storage::kWalFile, storage::kWalCorruptFile}) {
    std::string path = storage::join_path(dir, stale);
    if (fileops::unlink(path.c_str()) != 0 && errno != ENOENT) return IoError::last_os();
  }
  return {};
}


// ---------------------------------------------------------------------------------------
// The build proper, on prepared metadata
// ---------------------------------------------------------------------------------------

Status build_prepared(const std::string& dir, std::span<const float> data, size_t n, size_t dim,
                      std::vector<std::string> ids, PreparedMeta meta, std::span<const SparsePairs> sparse,
                      std::span<const float> pca_mean, std::span<const float> pca_comps, const BuildParams& params) {
  TANDREL_TRY(validate(data, n, dim, ids.size()));
  TANDREL_ASSIGN(storage::SegmentWriter files, storage::SegmentWriter::begin(dir, false));
  TANDREL_TRY(retire_old_manifest(dir));

  const uint32_t n_bits = effective_bits(params.n_bits);
  Clustering clusters = cluster_rows(data, n, dim, params);
  const std::vector<uint32_t>& slot_of = clusters.order.slot_of;
  const codec::Rotator rot = codec::Rotator::build(dim, codec::rotation_seed(params.seed), true);
  const float quant_scale = params.quant_scale > 0.0f ? params.quant_scale : build_quant_scale(data);
  RowFiles rows = encode_rows(data, n, dim, clusters, rot, n_bits);
  Placement placed = place_rows(ids, slot_of);
  std::vector<FieldSchema> fields = schema_of(meta);

  // Data files, in order.
  TANDREL_TRY(write_row_files(files, rows));
  TANDREL_TRY(write_columns(files, fields, meta, slot_of));
  TANDREL_TRY(write_meta_texts(files, meta, placed.row_at));
  TANDREL_TRY(write_ids(files, placed.ids_by_slot));

  storage::EncodedIdHash idhash = storage::encode_idhash_checked(placed.ids_by_slot);
  if (idhash.has_duplicate) {
    // Start over from the rows that carry the last occurrence of each id, in input order.
    for (const auto& entry : files.crcs()) (void)fileops::unlink(storage::join_path(dir, entry.first).c_str());
    KeptRows kept = keep_last_occurrences(data, dim, placed.ids_by_slot, slot_of, sparse, meta);
    // Free this pass before the next one starts.
    meta = {};
    idhash = {};
    placed = {};
    const size_t kept_n = kept.ids.size();
    BuildParams again = params;
    again.n_bits = n_bits;
    std::vector<float> mean(pca_mean.begin(), pca_mean.end()), comps(pca_comps.begin(), pca_comps.end());
    return build_prepared(dir, kept.data, kept_n, dim, std::move(kept.ids), std::move(kept.meta), kept.sparse, mean,
                          comps, again);
  }
  TANDREL_TRY(files.write_file(storage::kIdHashFile, idhash.bytes));
  idhash = {};
  attach_dictionaries(fields, meta);
  meta = {};
  TANDREL_TRY(write_sparse(files, sparse, slot_of));

  const storage::SegmentCoding coding{
      .dim = dim, .pad = rot.pad, .words_per_plane = rot.pad / 64, .n_bits = n_bits,
      .seed = params.seed, .quant_scale = quant_scale, .pca_mean = pca_mean, .pca_comps = pca_comps};
  const storage::Manifest m = storage::segment_manifest(
      coding, {.n_clusters = clusters.k, .n = n, .fit_count = n, .centroids = std::move(clusters.centroids),
               .offsets = std::move(clusters.order.offsets), .fields = std::move(fields)});

  TANDREL_TRY(remove_stale_live_files(dir));
  return files.finish(storage::kFormatVersion, 0, m);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------

size_t BuildMetadata::size() const {
  return std::visit([](const auto& s) { return s.size(); }, src_);
}

Status BuildMetadata::load(size_t r, json::Value& holder, const json::Value*& out) const {
  if (src_.index() == 0) {
    out = &std::get<0>(src_)[r];
    return {};
  }
  std::string_view text = src_.index() == 1 ? std::string_view(std::get<1>(src_)[r]) : std::get<2>(src_)[r];
  auto doc = json::parse(text);
  if (doc.ok()) {
    holder = std::move(doc).value();
    out = &holder;
    return {};
  }
  return invalid_data("build: metadata[" + std::to_string(r) + "] is not valid JSON (" + doc.error().text +
                      "); pass \"{}\" or \"null\" explicitly");
}

uint32_t effective_bits(uint32_t n_bits) { return n_bits == 0 ? 1 : std::min<uint32_t>(n_bits, 8); }

size_t effective_clusters(size_t n, uint32_t n_clusters) {
  return std::min<size_t>(std::max<size_t>(n, 1), std::max<size_t>(n_clusters, 1));
}

SlotOrder order_by_cluster(std::span<const uint32_t> cluster, size_t k) {
  SlotOrder o;
  o.offsets.assign(k + 1, 0);
  for (uint32_t c : cluster) ++o.offsets[c + 1];
  for (size_t c = 0; c < k; ++c) o.offsets[c + 1] += o.offsets[c];
  std::vector<uint32_t> next(o.offsets.begin(), o.offsets.end() - 1);
  o.slot_of.resize(cluster.size());
  for (size_t r = 0; r < cluster.size(); ++r) o.slot_of[r] = next[cluster[r]]++;
  return o;
}

Status build_segment(const std::string& dir, std::span<const float> data, size_t n, size_t dim,
                     std::vector<std::string> ids, const BuildMetadata& metadata,
                     std::span<const storage::SparsePairs> sparse, std::span<const std::string> skip,
                     std::span<const float> pca_mean, std::span<const float> pca_comps,
                     const BuildParams& params) {
  // Everything that can refuse the inputs runs before the disk is touched: the argument
  // checks, then the metadata (each text parsed once, into its compact text and typed values).
  TANDREL_TRY(validate(data, n, dim, ids.size()));
  TANDREL_ASSIGN(PreparedMeta meta, prepare_meta(metadata, n, skip));
  return build_prepared(dir, data, n, dim, std::move(ids), std::move(meta), sparse, pca_mean, pca_comps, params);
}

}  // namespace ivf_rabitq::builder

namespace ivf_rabitq::index {

Status IvfIndex::build(const std::string& dir, std::span<const float> data, size_t n, size_t dim,
                       std::vector<std::string> ids, std::span<const json::Value> metadata,
                       std::span<const storage::SparsePairs> sparse, std::span<const std::string> skip,
                       std::span<const float> pca_mean, std::span<const float> pca_comps, uint32_t n_clusters,
                       uint32_t n_bits, uint64_t seed, float quant_scale) {
  builder::BuildParams params;
  params.n_clusters = n_clusters;
  params.n_bits = n_bits;
  params.seed = seed;
  params.quant_scale = quant_scale;
  return builder::build_segment(dir, data, n, dim, std::move(ids), builder::BuildMetadata::values(metadata), sparse,
                                skip, pca_mean, pca_comps, params);
}

}  // namespace ivf_rabitq::index
