#include "ivf_rabitq/search/calibrate.hpp"

#include <algorithm>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/search/search.hpp"

namespace ivf_rabitq::search {

using index::IvfIndex;

namespace {

uint32_t effective_k(uint64_t k) {
  if (k == 0) return 1;
  if (k >= 4294967294ull) return 4294967294u;
  return static_cast<uint32_t>(k);
}

// Live slots (main ascending, then delta ascending) under the tombstones and delta locks the
// caller holds.
std::vector<uint32_t> live_slots(const storage::Tombstones& tombs, uint32_t n, size_t delta_rows) {
  std::vector<uint32_t> live;
  live.reserve(static_cast<size_t>(n) + delta_rows);
  for (uint32_t s = 0; s < n; ++s)
    if (!tombs.contains(s)) live.push_back(s);
  for (size_t i = 0; i < delta_rows; ++i) {
    const uint32_t s = n + static_cast<uint32_t>(i);
    if (!tombs.contains(s)) live.push_back(s);
  }
  return live;
}

size_t usable_delta_rows(const IvfIndex& index, const storage::Delta& delta, uint32_t n) {
  const size_t dim = index.manifest.dim;
  size_t rows = std::min(delta.rows(), delta.rerank.size() / (dim + 1));
  return std::min<size_t>(rows, size_t{kU32Max - 1} - n);
}

std::vector<float> dequantised(const IvfIndex& index, const storage::Delta& delta, uint32_t n, uint32_t slot) {
  const size_t dim = index.manifest.dim;
  const float qs = index.manifest.quant_scale;
  std::vector<float> q(dim);
  const uint8_t* row;
  float scale;
  if (slot < n) {
    row = index.orig_bin.view().data() + static_cast<size_t>(slot) * dim;
    const size_t records = index.origscale_bin ? index.origscale_bin->byte_len() / quant::kOrigScaleRecordBytes : 0;
    if (index.origscale_bin && slot < records) {
      const uint8_t* rec = index.origscale_bin->bytes().data() + static_cast<size_t>(slot) * quant::kOrigScaleRecordBytes;
      scale = quant::row_scale_from_exp(quant::main_row_exponent(rec).exp);
    } else {
      scale = qs;
    }
  } else {
    row = delta.rerank.data() + static_cast<size_t>(slot - n) * (dim + 1);
    scale = quant::delta_row_scale(row[dim], qs);
  }
  quant::dequantize_row(row, dim, scale, q.data());
  return q;
}

// Enumerates the live slots under the tombstones then delta read locks and, when `wanted`
// says so for their count L, shuffles and dequantises the first min(n_samples, L) of them.
template <class Wanted>
size_t gather(const IvfIndex& index, uint64_t n_samples, uint64_t seed, Wanted&& wanted,
              std::vector<CalibrationSample>& samples) {
  auto tombs = index.locks().tombstones.read();
  auto delta = index.locks().delta.read();
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(index.manifest.n, kU32Max - 1));
  std::vector<uint32_t> live = live_slots(*tombs, n, usable_delta_rows(index, *delta, n));
  const size_t L = live.size();
  if (!wanted(L)) return L;
  const size_t m = static_cast<size_t>(std::min<uint64_t>(n_samples, L));
  CalibrationRng rng(seed);
  for (size_t i = 0; i < m; ++i) {
    const size_t j = i + static_cast<size_t>(rng.draw() % (L - i));
    std::swap(live[i], live[j]);
  }
  samples.resize(m);
  for (size_t i = 0; i < m; ++i) {
    samples[i].slot = live[i];
    samples[i].query = dequantised(index, *delta, n, live[i]);
  }
  return L;
  // delta is released before tombs
}

}  // namespace

std::vector<CalibrationSample> calibration_samples(const IvfIndex& index, uint64_t n_samples, uint64_t seed) {
  std::vector<CalibrationSample> samples;
  gather(index, n_samples, seed, [](size_t) { return true; }, samples);
  return samples;
}

std::vector<float> calibration_recalls(const IvfIndex& index, const CalibrationSample& sample, uint32_t k_eff,
                                       std::span<const uint64_t> sorted_grid, uint64_t rerank) {
  const uint64_t ask = uint64_t{k_eff} + 1;
  std::vector<uint32_t> truth;
  {
    auto exact = search_bruteforce(index, sample.query, ask, nullptr);
    for (const auto& [slot, d] : exact) {
      if (truth.size() == k_eff) break;
      if (slot != sample.slot) truth.push_back(slot);
    }
  }
  std::sort(truth.begin(), truth.end());
  const float denom = static_cast<float>(std::max<size_t>(truth.size(), 1));
  std::vector<float> recalls;
  recalls.reserve(sorted_grid.size());
  for (uint64_t g : sorted_grid) {
    auto hits = search_core(index, sample.query, ask, g, rerank, nullptr, false);
    uint32_t considered = 0, found = 0;
    for (const auto& [slot, d] : hits) {
      if (slot == sample.slot) continue;
      if (considered == k_eff) break;
      ++considered;
      if (std::binary_search(truth.begin(), truth.end(), slot)) ++found;
    }
    recalls.push_back(static_cast<float>(found) / denom);
  }
  return recalls;
}

uint64_t calibrate_nprobe(const IvfIndex& index, uint64_t n_samples, uint64_t k, float target_recall,
                          std::span<const uint64_t> grid_in, uint64_t rerank, uint64_t seed) {
  if (grid_in.empty()) return 64;
  std::vector<uint64_t> grid(grid_in.begin(), grid_in.end());
  std::sort(grid.begin(), grid.end());
  grid.erase(std::unique(grid.begin(), grid.end()), grid.end());
  const uint64_t lo = grid.front(), hi = grid.back();
  const uint32_t k_eff = effective_k(k);

  std::vector<CalibrationSample> samples;
  const bool many_clusters = index.manifest.n_clusters >= 2;
  const size_t L = gather(
      index, n_samples, seed, [&](size_t live) { return live > 0 && many_clusters && live > uint64_t{k_eff} + 1; },
      samples);
  if (L == 0) return hi;
  if (!many_clusters || L <= uint64_t{k_eff} + 1) return lo;
  const size_t m = samples.size();
  if (m == 0) return hi;

  const auto recalls = parallel::map<std::vector<float>>(
      m, 1, [&](size_t i) { return calibration_recalls(index, samples[i], k_eff, grid, rerank); });
  for (size_t t = 0; t < grid.size(); ++t) {
    float sum = -0.0f;
    for (size_t i = 0; i < m; ++i) sum += recalls[i][t];
    const float mean = sum / static_cast<float>(m);
    if (mean >= target_recall) return grid[t];
  }
  return hi;
}

}  // namespace ivf_rabitq::search
