// Probe-count calibration: the smallest nprobe of a grid whose mean recall@k over sampled
// live rows (each row's stored int8 copy used as a query, its own row excluded) reaches a
// target recall.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::search {

// xorshift64 (shifts 13, 7, 17), started at seed XOR 0x9E3779B97F4A7C15 and stepped before
// every draw; a draw is the low 32 bits of the state.
class CalibrationRng {
 public:
  explicit CalibrationRng(uint64_t seed) : x_(seed ^ 0x9E3779B97F4A7C15ull) {}
  uint64_t step() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 7;
    x_ ^= x_ << 17;
    return x_;
  }
  uint32_t draw() { return static_cast<uint32_t>(step()); }
  uint64_t state() const { return x_; }

 private:
  uint64_t x_;
};

// One sample: a live slot and the query dequantised from its stored row.
struct CalibrationSample {
  uint32_t slot = 0;
  std::vector<float> query;
};

// The samples calibrate_nprobe would use (tests): min(n_samples, live rows) live slots picked
// by a partial Fisher-Yates pass over the live slots (main ascending, then delta ascending).
std::vector<CalibrationSample> calibration_samples(const index::IvfIndex& index, uint64_t n_samples, uint64_t seed);

// Recall of one sample for every value of the sorted, deduplicated grid.
std::vector<float> calibration_recalls(const index::IvfIndex& index, const CalibrationSample& sample, uint32_t k_eff,
                                       std::span<const uint64_t> sorted_grid, uint64_t rerank);

// The chosen nprobe: 64 for an empty grid; the largest grid value without live rows, without
// samples, or when no value reaches the target; the smallest with fewer than 2 clusters or
// no more than k' + 1 live rows (k' = k clamped to 1 .. 2^32 - 2). Never fails; the
// per-sample searches run in parallel on the calling thread's pool.
uint64_t calibrate_nprobe(const index::IvfIndex& index, uint64_t n_samples, uint64_t k, float target_recall,
                          std::span<const uint64_t> grid, uint64_t rerank, uint64_t seed);

}  // namespace ivf_rabitq::search
