// ctest-labels: tsan
// The scan's copy of the codes and row factors: which calls make it, what happens to the
// pages of the mappings it is made from, where the residency switches go, and concurrent
// first searches.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <fstream>
#include <latch>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/scan/scan.hpp"
#include "ivf_rabitq/search/distances.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
#include "support/pages.hpp"
#include "support/segment_fixture.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace scan = ivf_rabitq::scan;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace storage = ivf_rabitq::storage;
using search::SlotDistance;

namespace {

// 64 coordinates: one code word a plane. 4,000 rows x 2 bits: 64 KiB of codes (16 pages)
// and 64 KiB of factors; the copy is made on the calling thread.
constexpr size_t kDim = 64;
constexpr size_t kRows = 4000;

std::vector<float> rows_of(size_t n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(10 * kDim);
  for (auto& v : c) v = nd(g) * 4.f;
  std::vector<float> x(n * kDim);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < kDim; ++j) x[i * kDim + j] = c[(i * 7 % 10) * kDim + j] + nd(g);
  return x;
}

// One segment written once for the whole file; each test opens it afresh.
struct Segment {
  tandrel_test::TempDir dir;
  std::vector<float> rows = rows_of(kRows + 10, 5);
  Segment() {
    std::vector<std::string> ids, metas;
    for (size_t i = 0; i < kRows; ++i) {
      ids.push_back("r" + std::to_string(i));
      metas.push_back("{\"g\": " + std::to_string(i % 5) + "}");
    }
    builder::BuildParams bp;
    bp.n_clusters = 20;
    bp.seed = 3;
    ivf_rabitq::parallel::with_threads(1, [&] {
      auto st = builder::build_segment(dir.path(), std::span<const float>(rows.data(), kRows * kDim), kRows, kDim,
                                       std::move(ids), builder::BuildMetadata::texts(metas), {}, {}, {}, {}, bp);
      EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().text());
    });
  }
  std::span<const float> query(size_t i) const {
    return std::span<const float>(rows.data() + (i * 389 % (kRows + 10)) * kDim, kDim);
  }
};

Segment& segment() {
  static Segment s;  // destroyed at exit, which removes its directory
  return s;
}

// Opens the segment under the given switches (restored to "undecided" afterwards).
std::shared_ptr<ix::IvfIndex> open_with(bool prewarm, bool mlock, bool for_search = true) {
  storage::set_residency(prewarm, mlock);
  auto r = ix::IvfIndex::open_with_skip(segment().dir.path(), std::nullopt, for_search);
  storage::PREWARM = 0;
  storage::MLOCK = 0;
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? std::move(r).value() : nullptr;
}

// Pages of a mapping present in this process's page table (support/pages.hpp).
template <class T>
size_t present_pages(const storage::TypedMmap<T>& m) {
  return tandrel_test::present_pages(std::span<const uint8_t>(m.bytes().data(), m.byte_len()));
}

// The Locked: figure (kB) of the mapping that holds address p, from /proc/self/smaps.
long locked_kb_at(const void* p) {
  const uintptr_t x = reinterpret_cast<uintptr_t>(p);
  std::ifstream f("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(f, line)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2 && line.find('-') < line.find(' ')) {
      inside = x >= lo && x < hi;
      continue;
    }
    if (inside && line.rfind("Locked:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}

void expect_same(const std::vector<SlotDistance>& a, const std::vector<SlotDistance>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].first, b[i].first) << what << " at " << i;
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i].second), std::bit_cast<uint32_t>(b[i].second)) << what << " at " << i;
  }
}

// Everything an open segment does besides the dense search: none of it reads the scan copy.
void count_scan_lookup_write(ix::IvfIndex& idx) {
  EXPECT_EQ(idx.live_count(), kRows);
  auto pred = idx.compile_filter_cached(R"({"g": 3})");
  ASSERT_TRUE(pred.ok());
  EXPECT_EQ(scan::count_matching(idx, pred->get()), kRows / 5);
  EXPECT_EQ(scan::ids_matching_limit(idx, pred->get(), 3).size(), 3u);
  const auto slot = idx.slot_of("r17");
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(idx.ext_of(*slot), "r17");
  const std::string_view id = "r17";
  EXPECT_EQ(search::distances_to(idx, std::span(&id, 1), segment().query(0), false).size(), 1u);
  EXPECT_FALSE(search::search_bruteforce(idx, segment().query(1), 5, static_cast<const ivf_rabitq::predicate::Predicate*>(nullptr)).empty());
  auto doc = ivf_rabitq::json::parse(R"({"g": 9})");
  ASSERT_TRUE(doc.ok());
  live::apply_add(idx, "new", segment().query(2), doc.value(), ivf_rabitq::json::to_compact(doc.value()), {});
  EXPECT_EQ(idx.live_count(), kRows + 1);
}

}  // namespace

TEST(ScanCopy, ResidencyGoesToTheCopyTheSearchReads) {
  struct Case {
    bool prewarm, mlock;
  };
  for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
    SCOPED_TRACE(std::string("prewarm ") + (c.prewarm ? "on" : "off") + ", mlock " + (c.mlock ? "on" : "off"));
    auto idx = open_with(c.prewarm, c.mlock);
    ASSERT_NE(idx, nullptr);
    const bool factors = idx->scan_copy.copy_factors();
    // Pre-warming makes the copy at the open; otherwise nothing of the codes is faulted in
    // (the open's checksum pass reads the files, not the mappings).
    EXPECT_EQ(idx->scan_copy.made(), c.prewarm);
    EXPECT_EQ(present_pages(idx->codes_bin), 0u);
    if (factors) {
      EXPECT_EQ(present_pages(idx->metas_bin), 0u);
    }

    count_scan_lookup_write(*idx);
    EXPECT_EQ(idx->scan_copy.made(), c.prewarm);
    EXPECT_EQ(present_pages(idx->codes_bin), 0u);
    if (factors) {
      EXPECT_EQ(present_pages(idx->metas_bin), 0u);
    }

    // The first dense search makes the copy; the mappings it came from hold no pages.
    const auto first = search::search_core(*idx, segment().query(3), 10, 4, 40, nullptr, false);
    ASSERT_TRUE(idx->scan_copy.made());
    const auto* copy = idx->scan_copy.peek();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy, idx->scan_codes());
    EXPECT_EQ(copy->has_factors(), factors);
    EXPECT_EQ(present_pages(idx->codes_bin), 0u);
    if (factors) {
      EXPECT_EQ(present_pages(idx->metas_bin), 0u);
    }
    // The lock is on the copy, never on the mapping of codes.bin.
    EXPECT_EQ(idx->scan_copy.locked(), c.mlock);
    EXPECT_EQ(locked_kb_at(idx->codes_bin.bytes().data()), 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // the sanitizers turn mlock into a no-op
    const long copy_locked = locked_kb_at(copy->block_data());
    if (c.mlock) {
      EXPECT_GE(copy_locked, static_cast<long>(copy->total_bytes() / 1024));
      if (factors) {
        EXPECT_GE(locked_kb_at(copy->factor_data()), static_cast<long>(copy->factor_bytes() / 1024));
      }
    } else {
      EXPECT_EQ(copy_locked, 0);
    }
#endif

    // The same answers as the scan of the mappings, bit for bit.
    search::IndexView mapped = search::index_view(*idx);
    ASSERT_EQ(mapped.seg.blocked, copy);
    mapped.seg.blocked = nullptr;
    for (size_t qi = 3; qi < 8; ++qi) {
      search::DenseParams p;
      p.k = 10;
      p.nprobe = 4;
      p.rerank = 40;
      std::vector<SlotDistance> want;
      {
        auto tombs = idx->locks().tombstones.read_recursive();
        auto delta = idx->locks().delta.read_recursive();
        const search::LiveView live{&*tombs, &*delta};
        want = search::search_core_view(mapped.seg, live, segment().query(qi), p, {});
      }
      expect_same(search::search_core(*idx, segment().query(qi), 10, 4, 40, nullptr, false), want,
                  "query " + std::to_string(qi));
      if (qi == 3) expect_same(first, want, "first search");
    }
  }
}

// Several threads search a freshly opened segment at once while the opener lets go of it:
// one copy is made, every thread gets it, the answers equal those of the mapped scan, and
// the last search to finish releases the segment.
// A maintenance open (for_search false) makes no copy even with pre-warming on; a search on
// it still makes one when it needs it.
TEST(ScanCopy, MaintenanceOpensMakeNoCopyAtTheOpen) {
  auto idx = open_with(/*prewarm=*/true, /*mlock=*/false, /*for_search=*/false);
  ASSERT_NE(idx, nullptr);
  EXPECT_FALSE(idx->scan_copy.made());
  (void)search::search_core(*idx, segment().query(3), 10, 4, 40, nullptr, false);
  EXPECT_TRUE(idx->scan_copy.made());
}

TEST(ScanCopy, ConcurrentFirstSearchesShareOneCopy) {
  constexpr int kThreads = 8;
  constexpr size_t kQueries = 4;
  std::vector<std::vector<SlotDistance>> want;
  {
    auto ref = open_with(false, false);
    ASSERT_NE(ref, nullptr);
    search::IndexView mapped = search::index_view(*ref);
    ASSERT_EQ(mapped.seg.blocked, nullptr);
    auto tombs = ref->locks().tombstones.read_recursive();
    auto delta = ref->locks().delta.read_recursive();
    const search::LiveView live{&*tombs, &*delta};
    for (size_t qi = 0; qi < kQueries; ++qi) {
      search::DenseParams p;
      p.k = 10;
      p.nprobe = 1;
      p.rerank = 30;
      want.push_back(search::search_core_view(mapped.seg, live, segment().query(qi), p, {}));
    }
  }
  for (int round = 0; round < 3; ++round) {
    auto idx = open_with(false, round == 2);
    ASSERT_NE(idx, nullptr);
    ASSERT_FALSE(idx->scan_copy.made());
    std::vector<const ivf_rabitq::codec::BlockedCodes*> seen(kThreads);
    std::vector<std::vector<std::vector<SlotDistance>>> got(kThreads);
    std::latch start(kThreads + 1);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
      ts.emplace_back([&, t, mine = idx] {
        start.arrive_and_wait();
        // One probed cluster: every step of these searches runs on this thread.
        for (size_t qi = 0; qi < kQueries; ++qi)
          got[t].push_back(search::search_core(*mine, segment().query(qi), 10, 1, 30, nullptr, false));
        seen[t] = mine->scan_copy.peek();
      });
    start.arrive_and_wait();
    idx.reset();  // the threads' references keep the segment open
    for (auto& t : ts) t.join();
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_NE(seen[t], nullptr);
      EXPECT_EQ(seen[t], seen[0]);
      for (size_t qi = 0; qi < kQueries; ++qi) expect_same(got[t][qi], want[qi], "thread " + std::to_string(t));
    }
  }
}
