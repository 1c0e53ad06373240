// Search entry points of an open segment: the view of its arrays, the locks and the filter
// binding. The view points at the index's own derived data: its rotated centroids in the
// blocked layout of the ranking kernel (built by the open), its scan copy of the codes (made
// by the first dense search) and its per-cluster delta lists
// (kept in step with the delta under the delta lock), so a query takes no lock besides the
// tombstone and delta read locks and allocates nothing for them.
#include "ivf_rabitq/search/search.hpp"

#include <algorithm>

namespace ivf_rabitq::search {

using index::IvfIndex;
using index::MainRowBits;
using index::PredicatePtr;
using quant::RerankTable;
using storage::Manifest;

namespace {

struct FilterBinding {
  const IvfIndex* index;
  const predicate::Predicate* pred;
  const MainRowBits* bits = nullptr;  // the cached filter's passing main rows, when known
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
  if (b.bits != nullptr) {
    f.main_bits = b.bits->words.data();
    f.main_passing = b.bits->count;
  }
  return f;
}

}  // namespace

IndexView index_view(const IvfIndex& ix, bool scan) {
  IndexView v;
  SegmentView& s = v.seg;
  const Manifest& mf = ix.manifest;
  s.dim = mf.dim;
  s.pad = mf.pad;
  s.n_bits = static_cast<uint32_t>(mf.n_bits);
  s.words = mf.words_per_plane;
  s.n_clusters = ix.searchable_clusters();
  s.n = ix.searchable_rows();
  s.quant_scale = mf.quant_scale;
  s.rotator = &ix.rotator;
  s.centroids_rot = ix.centroids_rot.data();
  s.packed_centroids = &ix.packed_centroids;
  const codec::BlockedCodes* bc = scan ? ix.scan_codes() : ix.scan_copy.peek();
  if (bc != nullptr && bc->n_clusters() == s.n_clusters && bc->n() == s.n && bc->n_bits() == s.n_bits &&
      bc->words() == s.words && s.words * 64 == s.pad)
    s.blocked = bc;
  s.centroid_bound = &ix.centroid_bound;
  if (!ix.rank_order.empty()) s.rank_order = &ix.rank_order;
  s.offsets = mf.offsets.data();
  s.codes = ix.codes_bin.view().data();
  s.metas = ix.metas_bin.view().data();
  s.orig = ix.orig_bin.view().data();
  if (ix.origscale_bin) {
    s.has_origscale = true;
    s.origscale = ix.origscale_bin->bytes().data();
    s.origscale_records = ix.origscale_bin->byte_len() / quant::kOrigScaleRecordBytes;
  }
  s.delta_lists = &ix.delta_lists;
  return v;
}

RerankTable rerank_table(const IvfIndex& index, std::span<const float> query, bool pow2) {
  return RerankTable::build(query, index.manifest.quant_scale, pow2);
}

namespace {

std::vector<SlotDistance> run_dense(const IvfIndex& index, std::span<const float> query, const DenseParams& params,
                                    const FilterBinding& binding, SearchProfile* prof) {
  // The scan copy is fetched (made on first use) before the read locks are taken.
  const IndexView view = index_view(index, true);
  const RowFilter rf = bind_filter(binding);
  auto tombs = index.locks().tombstones.read_recursive();
  auto delta = index.locks().delta.read_recursive();
  const LiveView live{&*tombs, &*delta};
  return search_core_view(view.seg, live, query, params, rf, prof);
  // delta is released before tombs (reverse declaration order).
}

std::vector<SlotDistance> run_exact(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                    const FilterBinding& binding) {
  const IndexView view = index_view(index);
  const RowFilter rf = bind_filter(binding);
  auto tombs = index.locks().tombstones.read_recursive();
  auto delta = index.locks().delta.read_recursive();
  const LiveView live{&*tombs, &*delta};
  return search_bruteforce_view(view.seg, live, query, k, rf);
}

DenseParams dense_params(uint64_t k, uint64_t nprobe, uint64_t rerank, bool ensure_target_k) {
  DenseParams p;
  p.k = k;
  p.nprobe = nprobe;
  p.rerank = rerank;
  p.ensure_target_k = ensure_target_k;
  return p;
}

}  // namespace

// The passing-rows bitmap is fetched (built on first use) before the read locks are taken:
// building it reads only the immutable column files.
std::vector<SlotDistance> search_core_profiled(const IvfIndex& index, std::span<const float> query,
                                               const DenseParams& params, const predicate::Predicate* filter,
                                               SearchProfile* prof) {
  return run_dense(index, query, params, FilterBinding{&index, filter}, prof);
}

std::vector<SlotDistance> search_core_profiled(const IvfIndex& index, std::span<const float> query,
                                               const DenseParams& params, const PredicatePtr& filter,
                                               SearchProfile* prof) {
  return run_dense(index, query, params, FilterBinding{&index, filter.get(), index.main_bits(filter)}, prof);
}

std::vector<SlotDistance> search_core(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                      uint64_t nprobe, uint64_t rerank, const predicate::Predicate* filter,
                                      bool ensure_target_k) {
  return run_dense(index, query, dense_params(k, nprobe, rerank, ensure_target_k), FilterBinding{&index, filter},
                   nullptr);
}

std::vector<SlotDistance> search_core(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                      uint64_t nprobe, uint64_t rerank, const PredicatePtr& filter,
                                      bool ensure_target_k) {
  return run_dense(index, query, dense_params(k, nprobe, rerank, ensure_target_k),
                   FilterBinding{&index, filter.get(), index.main_bits(filter)}, nullptr);
}

std::vector<SlotDistance> search_bruteforce(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                            const predicate::Predicate* filter) {
  return run_exact(index, query, k, FilterBinding{&index, filter});
}

std::vector<SlotDistance> search_bruteforce(const IvfIndex& index, std::span<const float> query, uint64_t k,
                                            const PredicatePtr& filter) {
  return run_exact(index, query, k, FilterBinding{&index, filter.get(), index.main_bits(filter)});
}

bool filtered_search_is_exact(const IvfIndex& index, const PredicatePtr& filter, uint64_t k, uint64_t nprobe,
                              uint64_t rerank) {
  const MainRowBits* bits = index.main_bits(filter);
  if (bits == nullptr) return false;
  const IndexView view = index_view(index);
  auto delta = index.locks().delta.read_recursive();
  return filtered_search_is_exact(view.seg, bits->count, delta->ids.size(), dense_params(k, nprobe, rerank, false));
}

}  // namespace ivf_rabitq::search
