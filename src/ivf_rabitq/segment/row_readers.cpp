// Per-id row lookups (see row_readers.hpp).
#include "ivf_rabitq/segment/row_readers.hpp"

#include <algorithm>

#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::segment {

using index::IdMap;
using index::IvfIndex;
using storage::Delta;

namespace {

// (live, slot) of every id, resolved under the caller's id-map and delta guards.
struct Resolved {
  bool live = false;
  uint32_t slot = 0;
};
std::vector<Resolved> resolve_live(const IvfIndex& ix, std::span<const std::string> ids, const IdMap& map,
                                   const storage::Tombstones& tomb, const Delta& d) {
  std::vector<Resolved> out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto s = ix.slot_of_locked(ids[i], map, d.ids);
    if (s && !tomb.contains(*s)) out[i] = {true, *s};
  }
  return out;
}

// The dequantised int8 copy of one row, or an empty list when its bytes are not there.
std::vector<float> row_vector(const IvfIndex& ix, uint32_t slot, const Delta& d) {
  const uint64_t dim = ix.manifest.dim;
  const uint64_t n = ix.manifest.n;
  std::vector<float> out;
  if (slot < n) {
    const uint64_t at = static_cast<uint64_t>(slot) * dim;
    if (dim != 0 && (at / dim != slot || at + dim > ix.orig_bin.byte_len())) return out;
    float scale = ix.manifest.quant_scale;
    if (ix.origscale_bin) {
      const uint64_t rec = static_cast<uint64_t>(slot) * quant::kOrigScaleRecordBytes;
      if (rec + quant::kOrigScaleRecordBytes > ix.origscale_bin->byte_len()) return out;
      scale = quant::row_scale_from_exp(ix.origscale_bin->bytes()[rec + 4]);
    }
    out.resize(dim);
    quant::dequantize_row(ix.orig_bin.bytes().data() + at, dim, scale, out.data());
    return out;
  }
  const uint64_t row = slot - n;
  const uint64_t stride = dim + 1;
  const uint64_t at = row * stride;
  if (at / stride != row || at + stride > d.rerank.size()) return out;
  const uint8_t* rec = d.rerank.data() + at;
  out.resize(dim);
  quant::dequantize_row(rec, dim, quant::delta_row_scale(rec[dim], ix.manifest.quant_scale), out.data());
  return out;
}

}  // namespace

std::vector<bool> has_ids(const IvfIndex& ix, std::span<const std::string> ids) {
  auto map = ix.locks().id_map.read();
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const auto slots = ix.slots_of_locked(ids, *map, d->ids);
  std::vector<bool> out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) out[i] = slots[i] && !tomb->contains(*slots[i]);
  return out;
}

std::vector<std::vector<float>> get_vectors(const IvfIndex& ix, std::span<const std::string> ids) {
  auto map = ix.locks().id_map.read();
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  std::vector<std::vector<float>> out(ids.size());
  const auto rows = resolve_live(ix, ids, *map, *tomb, *d);
  for (size_t i = 0; i < ids.size(); ++i)
    if (rows[i].live) out[i] = row_vector(ix, rows[i].slot, *d);
  return out;
}

void sparse_posting_step(SlotTerms& out, const std::unordered_set<uint32_t>* wanted, uint32_t term, uint32_t slot,
                         float weight) {
  if (wanted && !wanted->contains(slot)) return;
  out[slot].emplace_back(term, weight);
}

std::vector<storage::SparsePairs> get_sparse(const IvfIndex& ix, std::span<const std::string> ids) {
  auto map = ix.locks().id_map.read();
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const uint64_t n = ix.manifest.n;
  const auto rows = resolve_live(ix, ids, *map, *tomb, *d);

  SlotTerms terms;
  if (ids.size() >= kSparseInvertAllIds) {
    ix.sparse_iter([&](uint32_t term, uint32_t slot, float w) {
      sparse_posting_step(terms, nullptr, term, slot, w);
    });
  } else {
    std::unordered_set<uint32_t> wanted;
    for (const Resolved& r : rows)
      if (r.live && r.slot < n) wanted.insert(r.slot);
    if (!wanted.empty()) {
      ix.sparse_iter([&](uint32_t term, uint32_t slot, float w) {
        sparse_posting_step(terms, &wanted, term, slot, w);
      });
    }
  }

  std::vector<storage::SparsePairs> out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!rows[i].live) continue;
    const uint32_t slot = rows[i].slot;
    if (slot < n) {
      auto it = terms.find(slot);
      if (it != terms.end()) out[i] = it->second;
    } else if (slot - n < d->sparse.size()) {
      out[i] = d->sparse[slot - n];
    }
  }
  return out;
}

}  // namespace ivf_rabitq::segment
