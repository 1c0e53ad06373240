// The thinned batch kernel (histogram of estimate keys up to a top bin, positions of the rows
// a bound and the top bin keep) at every level against a direct evaluation, and the monotone
// binning it relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"
#include "ivf_rabitq/search/thin_rows.hpp"
#include "ivf_rabitq/search/topk.hpp"

namespace search = ivf_rabitq::search;
namespace simd = ivf_rabitq::simd;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The bin of an estimate: the bin of its total-order key, as the scan bins a candidate.
size_t bin_of(const search::EstimateBins& bins, float estimate) { return bins.bin(search::total_order_key(estimate)); }

// Values a batch can hold: ordinary estimates, negatives, both zeros, infinities and NaNs of
// either sign, subnormals.
float draw(std::mt19937_64& g, bool specials) {
  std::uniform_real_distribution<float> u(-50.f, 400.f);
  if (!specials || g() % 4 != 0) return u(g);
  const float special[] = {0.f, -0.f, kInf, -kInf, kNaN, -kNaN, 1e-40f, -1e-40f, 3.4e38f, -3.4e38f};
  return special[g() % std::size(special)];
}

}  // namespace

TEST(ThinRows, KernelsAgreeWithDirectEvaluation) {
  std::mt19937_64 g(11);
  const float bounds[] = {120.f, -10.f, 0.f, kInf, -kInf, kNaN};
  for (size_t n : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(100), size_t(256)}) {
    for (const bool specials : {false, true}) {
      std::vector<float> est(n), low(n);
      for (size_t j = 0; j < n; ++j) {
        est[j] = draw(g, specials);
        low[j] = g() % 8 == 0 ? draw(g, specials) : est[j] - 30.f * float(g() % 100) / 100.f;
      }
      for (const float w : bounds) {
        for (const search::EstimateBins bins : {search::EstimateBins{}, search::EstimateBins::around(w),
                                            search::EstimateBins::around(150.f), search::EstimateBins::around(-3.f)}) {
          // Every bin counted, a top bin amid the rows, and only the first bin.
          for (const uint32_t top : {uint32_t(search::kEstimateBins - 1), uint32_t(bin_of(bins, 150.f)), uint32_t(0)}) {
            std::vector<uint32_t> want_hist(search::kEstimateBins, 0), want_idx, want_all;
            uint64_t want_counted = 0;
            for (size_t j = 0; j < n; ++j) {
              const size_t b = bin_of(bins, est[j]);
              if (b <= top) ++want_hist[b], ++want_counted;
              if (!(low[j] > w)) {
                want_all.push_back(uint32_t(j));
                if (b <= top) want_idx.push_back(uint32_t(j));
              }
            }
            for (const simd::Level level : simd::supported_levels()) {
              const std::string at = std::string(simd::level_name(level)) + " n " + std::to_string(n) + " w " +
                                     std::to_string(w) + " shift " + std::to_string(bins.shift) + " top " +
                                     std::to_string(top);
              const auto fn = search::detail::thin_rows_fn(level);
              std::vector<uint32_t> hist(search::kEstimateBins + 1, 0), idx(n + 16, 0xDEADBEEF);
              uint64_t counted = 7;  // added to
              size_t m = fn(est.data(), low.data(), n, w, bins.lo, bins.shift, search::kEstimateBins, top, hist.data(),
                            &counted, idx.data());
              ASSERT_EQ(std::vector<uint32_t>(idx.begin(), idx.begin() + m), want_idx) << at;
              // The bins up to top are counts; the entries above it are not.
              ASSERT_TRUE(std::equal(want_hist.begin(), want_hist.begin() + top + 1, hist.begin())) << at;
              ASSERT_EQ(counted, 7 + want_counted) << at;
              // Without a histogram only the list is made, of every row the bound keeps.
              std::vector<uint32_t> idx2(n + 16);
              counted = 0;
              m = fn(est.data(), low.data(), n, w, bins.lo, bins.shift, search::kEstimateBins, top, nullptr, &counted,
                     idx2.data());
              ASSERT_EQ(std::vector<uint32_t>(idx2.begin(), idx2.begin() + m), want_all) << at << " no histogram";
              ASSERT_EQ(counted, 0u) << at << " no histogram";
            }
          }
        }
      }
    }
  }
}

// A larger key never gets a smaller bin, for the default bins and for bins around any
// centre, including non-finite, zero, tiny and huge ones: the rank check counts every row
// up to a key's bin and is only sound under that order.
TEST(ThinRows, BinsAreMonotoneInTheKey) {
  std::mt19937_64 g(3);
  std::vector<uint32_t> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back(uint32_t(g()));
  for (float f : {0.f, -0.f, kInf, -kInf, kNaN, -kNaN, 1e-40f, 100.f, 100.0001f, 3.4e38f, -3.4e38f})
    keys.push_back(search::total_order_key(f));
  keys.push_back(0);
  keys.push_back(0xFFFFFFFFu);
  std::sort(keys.begin(), keys.end());
  for (const float centre : {100.f, -5.f, 0.f, 1e-40f, 3.4e38f, kInf, kNaN}) {
    for (const search::EstimateBins bins : {search::EstimateBins{}, search::EstimateBins::around(centre)}) {
      size_t prev = 0;
      for (uint32_t k : keys) {
        const size_t b = bins.bin(k);
        ASSERT_LT(b, search::kEstimateBins);
        ASSERT_GE(b, prev) << "centre " << centre << " key " << k;
        prev = b;
      }
    }
  }
  // Around a finite centre the bins are fine: 1/2048 of an octave near it.
  const search::EstimateBins fine = search::EstimateBins::around(100.f);
  EXPECT_NE(bin_of(fine, 100.f), bin_of(fine, 100.1f));
  EXPECT_GT(bin_of(fine, 100.f), 0u);
  EXPECT_LT(bin_of(fine, 100.f), search::kEstimateBins - 1);
  EXPECT_EQ(bin_of(fine, 1.f), 0u);
  EXPECT_EQ(bin_of(fine, 1e4f), search::kEstimateBins - 1);
}
