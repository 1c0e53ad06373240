#include "ivf_rabitq/maintain/live_rows.hpp"

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::maintain {

LiveRows::LiveRows(const index::IvfIndex& ix) : ix_(ix) {
  {
    auto t = ix.locks().tombstones.read();
    tombs_ = *t;
  }
  {
    auto d = ix.locks().delta.read();
    delta_ = d->clone();
  }
  const storage::Manifest& m = ix.manifest;
  n_ = static_cast<uint32_t>(m.n);
  dim_ = static_cast<size_t>(m.dim);
  words_ = static_cast<size_t>(m.n_bits * m.words_per_plane);
  n_clusters_ = m.offsets.empty() ? 0 : m.offsets.size() - 1;
  if (ix.origscale_bin) origscale_ = ix.origscale_bin->bytes().data();
  by_cluster_.resize(n_clusters_);
  uint64_t live_delta = 0;
  for (uint32_t d = 0; d < delta_.rows(); ++d) {
    if (!delta_live(d)) continue;
    ++live_delta;
    const uint32_t c = d < delta_.clusters.size() ? delta_.clusters[d] : 0xFFFFFFFFu;
    if (c < n_clusters_) by_cluster_[c].push_back(d);
  }
  uint64_t dead_main = 0;
  for (auto cur = tombs_.cursor(); cur.valid() && cur.value() < n_; cur.next()) ++dead_main;
  live_ = (n_ - dead_main) + live_delta;
}

std::pair<uint32_t, uint32_t> LiveRows::main_range(size_t c) const {
  const auto& off = ix_.manifest.offsets;
  return {off[c], off[c + 1]};
}

std::span<const uint32_t> LiveRows::delta_of_cluster(size_t c) const {
  return c < by_cluster_.size() ? std::span<const uint32_t>(by_cluster_[c]) : std::span<const uint32_t>();
}

const uint64_t* LiveRows::codes(RowRef r) const {
  if (r.delta) return delta_.codes.data() + static_cast<size_t>(r.index) * words_;
  return ix_.codes_bin.view().data() + static_cast<size_t>(r.index) * words_;
}

const float* LiveRows::factors(RowRef r) const {
  if (r.delta) return delta_.factors.data() + static_cast<size_t>(r.index) * 4;
  return ix_.metas_bin.view().data() + static_cast<size_t>(r.index) * 4;
}

const uint8_t* LiveRows::rerank(RowRef r) const {
  if (r.delta) return delta_.rerank.data() + static_cast<size_t>(r.index) * (dim_ + 1);
  return ix_.orig_bin.view().data() + static_cast<size_t>(r.index) * dim_;
}

const uint8_t* LiveRows::main_scale_record(uint32_t s) const {
  return origscale_ ? origscale_ + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes : nullptr;
}

float LiveRows::scale(RowRef r) const {
  const float qs = ix_.manifest.quant_scale;
  if (r.delta) return quant::delta_row_scale(delta_exp(r.index), qs);
  if (origscale_) return quant::row_scale_from_exp(quant::main_row_exponent(main_scale_record(r.index)).exp);
  return qs;
}

void LiveRows::dequantise(RowRef r, float* out) const { quant::dequantize_row(rerank(r), dim_, scale(r), out); }

Result<std::string_view> LiveRows::id(RowRef r) const {
  if (r.delta) return std::string_view(delta_.ids[r.index]);
  if (auto s = ix_.ext_id(r.index)) return *s;
  return invalid_data("corrupt index: id of row " + std::to_string(r.index) + " cannot be read");
}

std::unordered_map<uint32_t, storage::SparsePairs> LiveRows::main_sparse_by_slot() const {
  std::unordered_map<uint32_t, storage::SparsePairs> out;
  ix_.sparse_iter([&](uint32_t term, uint32_t slot, float w) { out[slot].emplace_back(term, w); });
  return out;
}

std::span<const std::pair<uint32_t, float>> LiveRows::delta_sparse(uint32_t d) const {
  if (d >= delta_.sparse.size()) return {};
  return delta_.sparse[d];
}

Status check_row_sources(const LiveRows& rows) {
  const index::IvfIndex& ix = rows.index();
  const storage::Manifest& m = ix.manifest;
  using u128 = unsigned __int128;
  const u128 n = m.n;
  auto short_of = [](const std::string& what) {
    return invalid_data("corrupt index: " + what + " shorter than the rows it must hold");
  };
  if (static_cast<u128>(ix.codes_bin.len()) < n * rows.code_words()) return short_of(storage::kCodesFile);
  if (static_cast<u128>(ix.metas_bin.len()) < n * 4) return short_of(storage::kMetasFile);
  if (static_cast<u128>(ix.orig_bin.len()) < n * m.dim) return short_of(storage::kOrigFile);
  if (ix.origscale_bin && static_cast<u128>(ix.origscale_bin->byte_len()) < n * 8)
    return short_of(storage::kOrigScaleFile);
  for (size_t i = 0; i < ix.num_bins.size(); ++i)
    if (static_cast<u128>(ix.num_bins[i].len()) < n) return short_of(storage::num_column_file(i));
  for (size_t j = 0; j < ix.str_bins.size(); ++j)
    if (static_cast<u128>(ix.str_bins[j].len()) < n) return short_of(storage::str_column_file(j));
  if (ix.meta_off_bin && static_cast<u128>(ix.meta_off_bin->len()) < n + 1) return short_of(storage::kMetaOffFile);
  if (m.offsets.size() < 1 || m.offsets.size() != m.n_clusters + 1 || m.offsets.back() != m.n)
    return invalid_data("corrupt index: cluster offsets do not cover the rows");
  for (size_t c = 1; c < m.offsets.size(); ++c)
    if (m.offsets[c] < m.offsets[c - 1]) return invalid_data("corrupt index: cluster offsets do not cover the rows");
  const storage::Delta& d = rows.delta();
  const u128 r = d.rows();
  if (d.clusters.size() != r || static_cast<u128>(d.codes.size()) < r * rows.code_words() ||
      static_cast<u128>(d.factors.size()) < r * 4 || static_cast<u128>(d.rerank.size()) < r * (m.dim + 1))
    return short_of("the delta");
  return {};
}

}  // namespace ivf_rabitq::maintain
