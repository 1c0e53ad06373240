// The parallel row encoding of a build and the segment scale it computes.
#include <algorithm>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::builder {

namespace {
// Rows per task of the encoding loop; each task allocates its two scratch vectors once.
constexpr size_t kEncodeChunk = 512;
// Values per task of the segment-scale reduction.
constexpr size_t kScaleChunk = 1 << 16;
}  // namespace

void encode_build_rows(std::span<const float> rows, size_t n, size_t dim, std::span<const float> centroids,
                       std::span<const uint32_t> cluster, std::span<const uint32_t> slot_of,
                       const codec::Rotator& rot, uint32_t n_bits, const EncodedRows& out) {
  const size_t pad = rot.pad;
  const size_t words = pad / 64;
  const size_t code_words = static_cast<size_t>(n_bits) * words;
  parallel::for_chunks(n, kEncodeChunk, [&](size_t b, size_t e) {
    std::vector<float> residual(dim);
    std::vector<float> rotated(pad);
    for (size_t r = b; r < e; ++r) {
      const float* x = rows.data() + r * dim;
      const float* c = centroids.data() + static_cast<size_t>(cluster[r]) * dim;
      const size_t s = slot_of[r];
      for (size_t j = 0; j < dim; ++j) residual[j] = x[j] - c[j];
      rot.rotate_into(residual, rotated);
      codec::encode_rotated_bbit(rotated, dim, n_bits, words, out.codes.subspan(s * code_words, code_words),
                                 std::span<float, codec::kRowFactors>(out.factors.data() + s * codec::kRowFactors,
                                                                      codec::kRowFactors));
      // The int8 codes of the row itself (neither rotated nor reduced), at the same slot.
      quant::encode_build_rows(rows.data(), dim, r, r + 1, slot_of.data(), out.orig.data(), out.origscale.data());
    }
  });
}

float build_quant_scale(std::span<const float> rows) {
  const float m = parallel::reduce_chunks(
      rows.size(), kScaleChunk, 0.0f,
      [&](size_t b, size_t e) { return quant::max_abs(rows.data() + b, e - b); },
      [](float acc, float part) { return std::max(acc, part); });
  return std::max(m, 1e-6f);
}

}  // namespace ivf_rabitq::builder
