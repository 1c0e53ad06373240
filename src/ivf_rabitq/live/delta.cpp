// Delta rows: apply_add (with upsert), apply_delete, the delta's sparse postings at open,
// and the logged add/delete of the write path.
#include "ivf_rabitq/live/delta.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/live/group_commit.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/schema_growth.hpp"
#include "ivf_rabitq/live/wal.hpp"
#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::live {

using index::IdMap;
using index::IvfIndex;
using index::RankedMutex;
using predicate::kAbsentCode;
using predicate::kAbsentNum;
using storage::Delta;
using storage::Manifest;

namespace {

// Makes room for n elements, growing geometrically so that appending one row at a time
// stays amortised constant.
template <class V>
void reserve_for(V& v, size_t n) {
  if (v.capacity() >= n) return;
  v.reserve(std::max(n, 2 * v.capacity()));
}

// A row in the vector forms the delta stores: its nearest cluster, binary code and row
// factors of the rotated residual, and its rerank bytes.
struct EncodedRow {
  uint32_t cluster = 0;
  std::vector<uint64_t> code;
  std::array<float, codec::kRowFactors> factors{};
  std::vector<uint8_t> rerank;
};

EncodedRow encode_row(IvfIndex& ix, std::span<const float> vector) {
  const Manifest& m = ix.manifest;
  const size_t dim = static_cast<size_t>(m.dim);
  const size_t pad = static_cast<size_t>(m.pad);
  const size_t words = static_cast<size_t>(m.words_per_plane);
  const uint32_t n_bits = static_cast<uint32_t>(m.n_bits);
  EncodedRow row;

  // 1-3. Rotate, choose the nearest rotated centroid, subtract it.
  std::vector<float> r(pad, 0.0f);
  ix.rotator.rotate_into(vector.first(std::min(vector.size(), dim)), r);
  if (m.n_clusters > 0) {
    row.cluster = distance::nearest(r.data(), ix.packed_centroids).index;
    const float* z = ix.centroids_rot.data() + static_cast<size_t>(row.cluster) * pad;
    for (size_t i = 0; i < pad; ++i) r[i] = r[i] - z[i];
  }

  // 4. Binary code and row factors.
  const size_t D = ix.rotator.new_layout ? ix.rotator.dim : ix.rotator.pad;
  row.code.assign(static_cast<size_t>(n_bits) * words, 0);
  codec::encode_rotated_bbit(r, D, n_bits, words, row.code, row.factors);

  // 5. Rerank bytes (dim codes, then the exponent byte).
  row.rerank.assign(dim + 1, 0);
  quant::encode_delta_row(vector.data(), dim, ix.origscale_bin.has_value(), m.quant_scale, row.rerank.data());
  return row;
}

// Room in the delta's sparse postings for one more posting per term of the row (a term
// listed twice gets two).
void reserve_sparse_postings(IvfIndex& ix, const std::vector<std::pair<uint32_t, float>>& row_sparse) {
  if (row_sparse.empty()) return;
  std::vector<uint32_t> terms;
  terms.reserve(row_sparse.size());
  for (const auto& tw : row_sparse) terms.push_back(tw.first);
  std::sort(terms.begin(), terms.end());
  auto ds = ix.locks().delta_sparse.write();
  for (size_t i = 0; i < terms.size();) {
    size_t j = i;
    while (j < terms.size() && terms[j] == terms[i]) ++j;
    auto& postings = (*ds)[terms[i]];
    reserve_for(postings, postings.size() + (j - i));
    i = j;
  }
}

// The typed columns of the delta once it has `want` of them, made aside when it has fewer
// (`have`): empty placeholders for the columns it keeps, `rows` absent values (with room for
// one more) for each column it adds. Empty when nothing is added.
template <class T>
std::vector<std::vector<T>> grown_columns(size_t have, size_t want, size_t rows, T absent) {
  std::vector<std::vector<T>> grown;
  if (have >= want) return grown;
  grown.reserve(want);
  for (size_t k = 0; k < want; ++k) {
    if (k < have) {
      grown.emplace_back();
    } else {
      grown.emplace_back(rows, absent).reserve(rows + 1);
    }
  }
  return grown;
}

// Room for one more row in every list of the delta and in its cluster's list.
void reserve_row(IvfIndex& ix, Delta& d, const EncodedRow& row) {
  const size_t rows = d.ids.size();
  reserve_for(d.codes, d.codes.size() + row.code.size());
  reserve_for(d.factors, d.factors.size() + row.factors.size());
  reserve_for(d.rerank, d.rerank.size() + row.rerank.size());
  reserve_for(d.clusters, d.clusters.size() + 1);
  reserve_for(d.ids, rows + 1);
  reserve_for(d.meta, rows + 1);
  reserve_for(d.sparse, rows + 1);
  for (auto& c : d.num_cols) reserve_for(c, c.size() + 1);
  for (auto& c : d.str_cols) reserve_for(c, c.size() + 1);
  ix.delta_lists.reserve_one(row.cluster);
}

// Appends the row (as delta row `rows`) into the room made for it: allocates nothing.
void push_row(IvfIndex& ix, Delta& d, size_t rows, const EncodedRow& row, const predicate::TypedRow& typed,
              std::string id, std::string meta_text, std::vector<std::pair<uint32_t, float>> row_sparse) {
  // Keep the text and term lists aligned with the rows even if they were stored empty.
  if (d.meta.size() < rows) d.meta.resize(rows, "null");
  if (d.sparse.size() < rows) d.sparse.resize(rows);

  d.codes.insert(d.codes.end(), row.code.begin(), row.code.end());
  d.factors.insert(d.factors.end(), row.factors.begin(), row.factors.end());
  d.rerank.insert(d.rerank.end(), row.rerank.begin(), row.rerank.end());
  d.clusters.push_back(row.cluster);
  d.ids.push_back(std::move(id));
  for (size_t k = 0; k < d.num_cols.size(); ++k) d.num_cols[k].push_back(k < typed.num.size() ? typed.num[k] : kAbsentNum);
  for (size_t k = 0; k < d.str_cols.size(); ++k) d.str_cols[k].push_back(k < typed.str.size() ? typed.str[k] : kAbsentCode);
  d.meta.push_back(std::move(meta_text));
  d.sparse.push_back(std::move(row_sparse));
  // The per-cluster lists change with the delta, under the same write lock.
  ix.delta_lists.append(row.cluster);
}

// Under the delta write lock: everything the row grows is allocated first (a failure leaves
// the delta and its cluster lists as they were), then the row is appended. Returns its delta
// row index.
uint32_t append_row(IvfIndex& ix, const EncodedRow& row, const predicate::TypedRow& typed, std::string id,
                    std::string meta_text, std::vector<std::pair<uint32_t, float>> row_sparse) {
  auto d = ix.locks().delta.write();
  const size_t rows = d->ids.size();
  const size_t num_cols = std::max({d->num_cols.size(), ix.num_bins.size(), typed.num.size()});
  const size_t str_cols = std::max({d->str_cols.size(), ix.str_bins.size(), typed.str.size()});
  // Columns this row adds (or the stored set when it was empty) are made aside and moved in.
  std::vector<std::vector<double>> num_grown = grown_columns(d->num_cols.size(), num_cols, rows, kAbsentNum);
  std::vector<std::vector<uint32_t>> str_grown = grown_columns(d->str_cols.size(), str_cols, rows, kAbsentCode);
  reserve_row(ix, *d, row);

  // 9. Append the row: from here on nothing allocates.
  for (size_t k = d->num_cols.size(); k < num_grown.size(); ++k) d->num_cols.push_back(std::move(num_grown[k]));
  for (size_t k = d->str_cols.size(); k < str_grown.size(); ++k) d->str_cols.push_back(std::move(str_grown[k]));
  push_row(ix, *d, rows, row, typed, std::move(id), std::move(meta_text), std::move(row_sparse));
  return static_cast<uint32_t>(rows);
}

// Tombstones the row an upsert replaced (if it is not tombstoned already).
void tombstone_replaced(IvfIndex& ix, uint32_t old) {
  bool fresh;
  {
    auto t = ix.locks().tombstones.write();
    fresh = t->insert(old);
  }
  if (fresh) ix.tomb_epoch.fetch_add(1);
}

}  // namespace

bool slot_space_allows_one_more(uint64_t main_rows, uint64_t delta_rows) {
  // main + (delta + 1) < 2^32 - 1, without wrap-around.
  if (main_rows >= kSlotLimit || delta_rows >= kSlotLimit) return false;
  return main_rows + delta_rows + 1 < kSlotLimit;
}

void apply_add(IvfIndex& ix, std::string id, std::span<const float> vector, const json::Value& meta,
               std::string meta_text, std::span<const std::pair<uint32_t, float>> sparse) {
  const uint32_t n = static_cast<uint32_t>(ix.manifest.n);

  // 1-5. Cluster, binary code, row factors and rerank bytes.
  const EncodedRow row = encode_row(ix, vector);

  // 6. Typed values (may grow the live schema).
  const predicate::TypedRow typed = type_row_for_add(ix, meta);

  // 7. The row the id has now.
  const uint64_t h = index::id_hash(id);
  auto idm = ix.locks().id_map.write();
  std::optional<uint32_t> old;
  {
    auto d = ix.locks().delta.read();
    old = ix.slot_of_locked(id, *idm, d->ids);
  }

  // 8. Everything the row will grow is allocated before anything changes, so a failed
  //    allocation leaves the delta, its cluster lists, the id map and the postings exactly as
  //    they were. (The id-map write lock, held to the end, keeps other writers out.)
  IdMap::Reserved id_room = idm->reserve_insert(h);
  std::vector<std::pair<uint32_t, float>> row_sparse(sparse.begin(), sparse.end());
  reserve_sparse_postings(ix, row_sparse);
  const uint32_t d_index = append_row(ix, row, typed, std::move(id), std::move(meta_text), std::move(row_sparse));
  const uint32_t s = n + d_index;

  // 10. Upsert: the old row is tombstoned after the new one exists.
  if (old && *old != s) tombstone_replaced(ix, *old);

  // 11. The id resolves to the new slot last.
  idm->insert(h, s, std::move(id_room));

  // 12. Postings of the sparse terms (their room was reserved above).
  if (!sparse.empty()) {
    auto ds = ix.locks().delta_sparse.write();
    for (const auto& [t, w] : sparse) (*ds)[t].emplace_back(d_index, w);
  }
}

bool apply_delete(IvfIndex& ix, std::string_view id) {
  const auto old = ix.slot_of(id);
  if (!old) return false;
  auto t = ix.locks().tombstones.write();
  if (!t->insert(*old)) return false;
  ix.tomb_epoch.fetch_add(1);
  return true;
}

namespace {

// The refusal of an add beyond the slot space, read under the delta read lock alone.
Status slot_space_check(const IvfIndex& ix) {
  const uint64_t d = ix.locks().delta.read()->rows();
  if (slot_space_allows_one_more(ix.manifest.n, d)) return {};
  return invalid_input("slot space exhausted: " + std::to_string(ix.manifest.n) + " existing + " +
                       std::to_string(d + 1) + " new rows exceed the u32 slot capacity");
}

}  // namespace

Status add_logged(IvfIndex& ix, std::string id, std::span<const float> vector, const json::Value& meta,
                  std::string meta_text, std::span<const std::pair<uint32_t, float>> sparse) {
  if (vector.size() != ix.manifest.dim) {
    return invalid_input("add: vector length " + std::to_string(vector.size()) + " != index dim " +
                         std::to_string(ix.manifest.dim));
  }
  // A full index is refused before the checkpoint mutex is waited for; the test is repeated
  // under the mutex, where it decides: two concurrent adds could both pass the first one for
  // the last free slot.
  TANDREL_TRY(slot_space_check(ix));
  std::lock_guard<RankedMutex> cp(ix.locks().checkpoint_mutex);
  TANDREL_TRY(slot_space_check(ix));
  TANDREL_TRY(wal_write(ix, WalAdd{id, vector, meta_text, sparse}));
  apply_add(ix, std::move(id), vector, meta, std::move(meta_text), sparse);
  return wal_group_commit(ix);
}

Result<bool> delete_logged(IvfIndex& ix, std::string_view id) {
  const auto slot = ix.slot_of(id);
  if (!slot) return false;
  if (ix.locks().tombstones.read()->contains(*slot)) return false;
  std::lock_guard<RankedMutex> cp(ix.locks().checkpoint_mutex);
  TANDREL_TRY(wal_write(ix, WalDelete{id}));
  const bool removed = apply_delete(ix, id);
  TANDREL_TRY(wal_group_commit(ix));
  return removed;
}

}  // namespace ivf_rabitq::live

namespace ivf_rabitq::index {

void IvfIndex::rebuild_delta_sparse() {
  auto d = locks_.delta.read();
  auto ds = locks_.delta_sparse.write();
  ds->clear();
  for (size_t i = 0; i < d->sparse.size(); ++i) {
    for (const auto& [term, weight] : d->sparse[i]) (*ds)[term].emplace_back(static_cast<uint32_t>(i), weight);
  }
}

}  // namespace ivf_rabitq::index
