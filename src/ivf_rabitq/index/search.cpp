// Search entry points of an open segment: the view of its arrays, the locks, the filter
// binding, and the per-segment search aids (the rotated centroids packed for the
// vectorised ranking kernel, and the delta rows grouped by cluster).
//
// The aids are derived data that the open segment does not carry, so they live in a small
// process-wide table keyed by the segment's identity: the index's address together with
// the addresses of its arrays and mappings, its shape, and a sample of its rotated
// centroids, checked on every lookup. The delta lists check their own rows against the
// delta they are asked for (DeltaClusterLists::sync).
#include "ivf_rabitq/index/search.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

namespace ivf_rabitq::index {

namespace {

struct Identity {
  const void* index = nullptr;
  const void* centroids = nullptr;
  const void* codes = nullptr;
  const void* metas = nullptr;
  const void* orig = nullptr;
  const void* offsets = nullptr;
  uint64_t centroid_count = 0;
  uint64_t n = 0;
  uint64_t n_clusters = 0;
  uint64_t pad = 0;
  uint64_t seed = 0;
  uint64_t sample = 0;  // hash of a strided sample of the rotated centroids and offsets
  bool operator==(const Identity&) const = default;
};

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h;
}

Identity identity_of(const IvfIndex& ix) {
  Identity id;
  id.index = &ix;
  id.centroids = ix.centroids_rot.data();
  id.codes = ix.codes_bin.bytes().data();
  id.metas = ix.metas_bin.bytes().data();
  id.orig = ix.orig_bin.bytes().data();
  id.offsets = ix.manifest.offsets.data();
  id.centroid_count = ix.centroids_rot.size();
  id.n = ix.manifest.n;
  id.n_clusters = ix.manifest.n_clusters;
  id.pad = ix.manifest.pad;
  id.seed = ix.manifest.seed;
  uint64_t h = 0;
  const size_t nc = ix.centroids_rot.size();
  if (nc != 0) {
    const size_t step = std::max<size_t>(1, nc / 61);
    for (size_t i = 0; i < nc; i += step) h = mix(h, std::bit_cast<uint32_t>(ix.centroids_rot[i]));
    h = mix(h, std::bit_cast<uint32_t>(ix.centroids_rot[nc - 1]));
  }
  const size_t no = ix.manifest.offsets.size();
  if (no != 0) {
    const size_t step = std::max<size_t>(1, no / 31);
    for (size_t i = 0; i < no; i += step) h = mix(h, ix.manifest.offsets[i]);
    h = mix(h, ix.manifest.offsets[no - 1]);
  }
  id.sample = h;
  return id;
}

struct SearchAids {
  Identity id;
  distance::PackedVectors packed;
  DeltaClusterLists delta_lists;
};

// Searchable cluster count: bounded by every array that is indexed by cluster.
size_t cluster_count(const IvfIndex& ix) {
  const size_t pad = ix.manifest.pad;
  size_t nc = ix.manifest.n_clusters;
  nc = std::min<size_t>(nc, ix.manifest.offsets.empty() ? 0 : ix.manifest.offsets.size() - 1);
  if (pad != 0) nc = std::min<size_t>(nc, ix.centroids_rot.size() / pad);
  return nc;
}

std::shared_ptr<SearchAids> aids_for(const IvfIndex& ix) {
  const Identity id = identity_of(ix);
  thread_local std::shared_ptr<SearchAids> last;
  if (last && last->id == id) return last;

  static std::mutex m;
  static std::vector<std::shared_ptr<SearchAids>> table;  // most recently used last
  constexpr size_t kMaxEntries = 16;
  std::lock_guard<std::mutex> g(m);
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i]->id == id) {
      auto hit = table[i];
      table.erase(table.begin() + static_cast<std::ptrdiff_t>(i));
      table.push_back(hit);
      last = hit;
      return hit;
    }
  }
  // Entries of the same index address describe a segment that is gone.
  std::erase_if(table, [&](const std::shared_ptr<SearchAids>& a) { return a->id.index == id.index; });
  auto aids = std::make_shared<SearchAids>();
  aids->id = id;
  aids->packed = distance::PackedVectors::pack(ix.centroids_rot.data(), cluster_count(ix), ix.manifest.pad);
  if (table.size() >= kMaxEntries) table.erase(table.begin());
  table.push_back(aids);
  last = aids;
  return aids;
}

struct FilterBinding {
  const IvfIndex* index;
  const predicate::Predicate* pred;
};

bool bound_main(const void* ctx, uint32_t slot) {
  const auto* b = static_cast<const FilterBinding*>(ctx);
  return b->index->passes_main(*b->pred, slot);
}
bool bound_delta(const void* ctx, const storage::Delta& d, uint32_t i) {
  const auto* b = static_cast<const FilterBinding*>(ctx);
  return IvfIndex::passes_delta(d, *b->pred, i);
}

RowFilter bind_filter(const FilterBinding& b) {
  RowFilter f;
  if (b.pred == nullptr) return f;
  f.ctx = &b;
  f.main = &bound_main;
  f.delta = &bound_delta;
  return f;
}

}  // namespace

IndexView index_view(const IvfIndex& ix) {
  IndexView v;
  auto aids = aids_for(ix);
  SegmentView& s = v.seg;
  const Manifest& mf = ix.manifest;
  s.dim = mf.dim;
  s.pad = mf.pad;
  s.n_bits = static_cast<uint32_t>(mf.n_bits);
  s.words = mf.words_per_plane;
  s.n_clusters = cluster_count(ix);
  s.n = static_cast<uint32_t>(std::min<uint64_t>(mf.n, kU32Max - 1));
  s.quant_scale = mf.quant_scale;
  s.rotator = &ix.rotator;
  s.centroids_rot = ix.centroids_rot.data();
  s.packed_centroids = &aids->packed;
  s.offsets = mf.offsets.data();
  s.codes = ix.codes_bin.view().data();
  s.metas = ix.metas_bin.view().data();
  s.orig = ix.orig_bin.view().data();
  if (ix.origscale_bin) {
    s.has_origscale = true;
    s.origscale = ix.origscale_bin->bytes().data();
    s.origscale_records = ix.origscale_bin->byte_len() / quant::kOrigScaleRecordBytes;
  }
  s.delta_lists = &aids->delta_lists;
  v.hold = std::move(aids);
  return v;
}

RerankTable rerank_table(const IvfIndex& index, std::span<const float> query, bool pow2) {
  return RerankTable::build(query, index.manifest.quant_scale, pow2);
}

std::vector<SlotDistance> search_core_profiled(const IvfIndex& index, std::span<const float> query,
                                               const DenseParams& params, const predicate::Predicate* filter,
                                               SearchProfile* prof) {
  const IndexView view = index_view(index);
  const FilterBinding binding{&index, filter};
  const RowFilter rf = bind_filter(binding);
  auto tombs = index.tombstones.read_recursive();
  auto delta = index.delta.read_recursive();
  const LiveView live{&*tombs, &*delta};
  return search_core_view(view.seg, live, query, params, rf, prof);
  // delta is released before tombs (reverse declaration order).
}

std::vector<SlotDistance> search_core(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                      uint64_t nprobe, uint64_t rerank, const predicate::Predicate* filter,
                                      bool ensure_target_k) {
  DenseParams p;
  p.k = k;
  p.nprobe = nprobe;
  p.rerank = rerank;
  p.ensure_target_k = ensure_target_k;
  return search_core_profiled(index, query, p, filter, nullptr);
}

std::vector<SlotDistance> search_bruteforce(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                            const predicate::Predicate* filter) {
  const IndexView view = index_view(index);
  const FilterBinding binding{&index, filter};
  const RowFilter rf = bind_filter(binding);
  auto tombs = index.tombstones.read_recursive();
  auto delta = index.delta.read_recursive();
  const LiveView live{&*tombs, &*delta};
  return search_bruteforce_view(view.seg, live, query, k, rf);
}

}  // namespace ivf_rabitq::index
