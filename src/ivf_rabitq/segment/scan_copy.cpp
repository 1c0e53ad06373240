// The scan's copy of an open segment's codes and row factors, made on first use.
//
// The copy replaces the mappings it is made from for the scan: once it exists their pages
// are dropped from this process (the file data stays in the page cache; compaction, merge
// or a filtered search that estimates few rows from the files fault back what they read),
// so the codes are held once. While the copy is made, each chunk of clusters drops the
// pages it has read, so the whole mapping and the whole copy are never resident together.
// The residency the switches asked for when the segment was opened goes to the copy, even
// when a later set_residency changed the switches (an open segment keeps the residency it
// was opened with); to the mappings when no copy could be made, since the scan then reads
// them.
#include <algorithm>
#include <limits>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::index {

namespace {

codec::BlockedCodes make_scan_copy(const IvfIndex& ix) {
  const Manifest& mf = ix.manifest;
  const ScanCopy& sc = ix.scan_copy;
  // The clusters and rows the search addresses.
  const size_t nc = ix.searchable_clusters();
  const uint32_t n = ix.searchable_rows();
  const size_t words = static_cast<size_t>(mf.words_per_plane);
  const size_t row_words = static_cast<size_t>(mf.n_bits) * words;

  codec::BlockedCodes bc;
  // The scan kernels read a copy only when the codes fill the padded space exactly.
  const bool usable = words != 0 && words * 64 == mf.pad;
  // A parallel copy made by a search that runs inside an outer parallel loop (a batch of
  // queries) must not pick up another query of it while waiting: that query would wait for
  // this very copy.
  if (usable) {
    parallel::isolate([&] {
      bc = codec::BlockedCodes::build(ix.codes_bin.view(), mf.offsets.data(), nc, n,
                                      static_cast<uint32_t>(mf.n_bits), words, codec::scan_layout(),
                                      [&](uint64_t a, uint64_t b) { ix.codes_bin.release(a * row_words, (b - a) * row_words); });
    });
  }
  if (bc.empty()) {
    ix.codes_bin.make_hot(sc.policy());
    if (sc.copy_factors()) ix.metas_bin.make_hot(sc.policy());
    return bc;
  }
  ix.codes_bin.release_all();
  if (!sc.copy_factors()) return bc;
  bool with_factors = false;
  parallel::isolate([&] {
    with_factors = bc.add_factors(ix.metas_bin.view(), mf.offsets.data(), [&](uint64_t a, uint64_t b) {
      ix.metas_bin.release(a * codec::kRowFactors, (b - a) * codec::kRowFactors);
    });
  });
  if (with_factors) {
    ix.metas_bin.release_all();
  } else {
    ix.metas_bin.make_hot(sc.policy());
  }
  return bc;
}

}  // namespace

const codec::BlockedCodes* IvfIndex::scan_codes() const {
  return scan_copy.get([this] { return make_scan_copy(*this); });
}

}  // namespace ivf_rabitq::index
