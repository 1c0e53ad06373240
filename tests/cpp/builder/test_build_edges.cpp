// Segment build, edge cases: the static IvfIndex::build entry, the int8 rerank codes of the
// build rows (exponent byte, clamping, NaN, round half up), equal vectors in different
// clusters, the duplicate-id first pass (what it writes and removes), the computed segment
// scale, and byte-identical output across pool sizes for the neighbour-list and
// duplicate-id paths.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"

using namespace ivf_rabitq;
using namespace ivf_rabitq::builder;
namespace fo = ivf_rabitq::fileops;
namespace fs = std::filesystem;
using storage::SparsePairs;

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<float> gaussian_rows(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.f, 1.f);
  std::vector<float> out(n * dim);
  for (size_t r = 0; r < n; ++r) {
    const float centre = static_cast<float>(r % 5) * 3.f;
    for (size_t j = 0; j < dim; ++j) out[r * dim + j] = centre + g(rng);
  }
  return out;
}

std::vector<std::string> make_ids(size_t n) {
  std::vector<std::string> ids(n);
  for (size_t r = 0; r < n; ++r) ids[r] = "id" + std::to_string(r);
  return ids;
}

class BuildEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tandrel_build_edges_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root = tmpl;
  }
  void TearDown() override {
    fo::disarm_all();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string sub(const std::string& name) const { return storage::join_path(root, name); }
  static Bytes get(const std::string& dir, const std::string& name) {
    auto r = storage::read_file(storage::join_path(dir, name));
    EXPECT_TRUE(r.ok()) << name;
    return r.ok() ? *r : Bytes{};
  }
  static std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> s;
    for (const auto& e : fs::directory_iterator(dir)) s.insert(e.path().filename().string());
    return s;
  }
  static storage::FileCrcs crcs(const std::string& dir) {
    auto t = storage::read_file_crcs(storage::join_path(dir, "crcs.bin"));
    EXPECT_TRUE(t.ok());
    return t.ok() ? *t : storage::FileCrcs{};
  }
  static storage::Manifest manifest(const std::string& dir) {
    auto body = storage::read_manifest_bin(storage::join_path(dir, "manifest.bin"));
    EXPECT_TRUE(body.ok());
    auto m = storage::decode_manifest(*body);
    EXPECT_TRUE(m.ok());
    return *m;
  }
  // Every file of two directories is byte-identical, except crcs.bin whose entry order may
  // differ: its table must be equal.
  static void expect_same_segment(const std::string& a, const std::string& b) {
    ASSERT_EQ(listing(a), listing(b));
    for (const auto& name : listing(a))
      if (name != "crcs.bin") {
        EXPECT_EQ(get(a, name), get(b, name)) << name << " of " << a << " vs " << b;
      }
    EXPECT_EQ(crcs(a), crcs(b));
  }

  std::string root;
};

// ---------------------------------------------------------------------------------------

TEST_F(BuildEdges, IvfIndexBuildForwardsToTheSegmentBuild) {
  const size_t n = 120, dim = 9;
  std::vector<float> data = gaussian_rows(n, dim, 4);
  std::vector<json::Value> meta;
  std::vector<SparsePairs> sparse;
  for (size_t r = 0; r < n; ++r) {
    meta.push_back(r % 3 == 0 ? json::Value(nullptr)
                              : json::Value::object({{"p", r % 7}, {"s", "v" + std::to_string(r % 4)}, {"h", true}}));
    sparse.push_back(SparsePairs{{static_cast<uint32_t>(r % 5), 0.5f}});
  }
  const std::vector<std::string> skip = {"h"};
  const std::vector<float> mean(dim, 0.25f), comps(3 * dim, -1.f);

  ASSERT_TRUE(index::IvfIndex::build(sub("static"), data, n, dim, make_ids(n), meta, sparse, skip, mean, comps, 6, 9,
                                     1234, 0.f)
                  .ok());
  BuildParams p;
  p.n_clusters = 6;
  p.n_bits = 9;
  p.seed = 1234;
  p.quant_scale = 0.f;
  ASSERT_TRUE(
      build_segment(sub("direct"), data, n, dim, make_ids(n), BuildMetadata::values(meta), sparse, skip, mean, comps, p)
          .ok());
  expect_same_segment(sub("static"), sub("direct"));
  storage::Manifest m = manifest(sub("static"));
  EXPECT_EQ(m.n_bits, 8u);
  EXPECT_EQ(m.seed, 1234u);

  // Its argument errors are the build's.
  Status st = index::IvfIndex::build(sub("never"), data, n, 0, make_ids(n), {}, {}, {}, {}, {}, 1, 1, 0, 0.f);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(st.error().text(), "build: dim must be >= 1");
  EXPECT_FALSE(fs::exists(sub("never")));
}

TEST(BuildEncodeEdges, RerankCodesOfBuildRows) {
  // Each case is one row of four coordinates; its rerank bytes, code energy and exponent
  // byte as the build stores them. The rows land at slots in reverse input order.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float two127 = std::ldexp(1.f, 127);
  struct Case {
    const char* what;
    float x[4];
    uint8_t e8;
    uint8_t bytes[4];
    uint32_t energy;
  };
  const Case cases[] = {
      {"zeros: scale 2^-126, every byte 128", {0, 0, 0, 0}, 2, {128, 128, 128, 128}, 0},
      {"largest 1.0: scale 1, 0.5 rounds half up", {1.f, -1.f, 0.5f, 0.f}, 128, {255, 1, 192, 128}, 36354},
      {"largest 3.0: scale 4", {3.f, 0.f, 0.f, -1.f}, 130, {223, 128, 128, 96}, 10049},
      {"largest 4.0: scale 4", {4.f, 0.f, 0.f, -1.f}, 130, {255, 128, 128, 96}, 17153},
      {"largest 4.0000005: scale 8", {std::nextafter(4.f, 5.f), 0.f, 0.f, -1.f}, 131, {192, 128, 128, 112}, 4352},
      {"NaN gives byte 0 and leaves the maximum", {nan, 1.f, -0.25f, 0.f}, 128, {0, 255, 96, 128}, 33537},
      {"beyond 2^127: scale 2^127, clamped both ways", {3e38f, -3e38f, 1e38f, -1.705e38f}, 255, {255, 0, 203, 1}, 54267},
      {"below -(127.5/127) 2^127 gives 0", {-1.71e38f, two127, -two127, 0.f}, 255, {0, 255, 1, 128}, 48642},
      {"infinite maximum: exponent byte 2", {inf, 1.f, 0.f, 0.f}, 2, {255, 255, 128, 128}, 32258},
  };
  const size_t n = std::size(cases), dim = 4;
  std::vector<float> rows;
  for (const Case& c : cases) rows.insert(rows.end(), c.x, c.x + dim);
  const std::vector<float> centroids(dim, 0.f);
  const std::vector<uint32_t> cluster(n, 0);
  std::vector<uint32_t> slot_of(n);
  for (size_t r = 0; r < n; ++r) slot_of[r] = static_cast<uint32_t>(n - 1 - r);
  const codec::Rotator rot = codec::Rotator::build(dim, codec::rotation_seed(3), true);
  const size_t words = rot.pad / 64;
  std::vector<uint64_t> codes(n * words);
  std::vector<float> factors(n * 4);
  std::vector<uint8_t> orig(n * dim), origscale(n * 8);
  encode_build_rows(rows, n, dim, centroids, cluster, slot_of, rot, 1, EncodedRows{codes, factors, orig, origscale});

  for (size_t r = 0; r < n; ++r) {
    const Case& c = cases[r];
    const size_t s = slot_of[r];
    EXPECT_EQ(Bytes(orig.begin() + s * dim, orig.begin() + (s + 1) * dim), Bytes(c.bytes, c.bytes + dim)) << c.what;
    EXPECT_EQ(storage::load_u32(origscale.data() + s * 8), c.energy) << c.what;
    // The exponent byte as a u32: upper three bytes zero.
    EXPECT_EQ(storage::load_u32(origscale.data() + s * 8 + 4), c.e8) << c.what;
  }

  // With the largest magnitude at most 2^127, every finite coordinate gives a byte 1..255.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  const size_t m = 64, d2 = 33;
  std::vector<float> many(m * d2);
  for (size_t r = 0; r < m; ++r) {
    const float scale = std::ldexp(1.f, static_cast<int>(rng() % 250) - 122);  // 2^-122 .. 2^127
    for (size_t j = 0; j < d2; ++j) many[r * d2 + j] = u(rng) * scale;
    many[r * d2 + rng() % d2] = (rng() % 2 ? 1.f : -1.f) * scale;  // a coordinate at the extreme
  }
  const std::vector<float> cent2(d2, 0.f);
  const std::vector<uint32_t> cl2(m, 0);
  std::vector<uint32_t> id2(m);
  for (size_t r = 0; r < m; ++r) id2[r] = static_cast<uint32_t>(r);
  const codec::Rotator rot2 = codec::Rotator::build(d2, codec::rotation_seed(4), true);
  std::vector<uint64_t> c2(m * (rot2.pad / 64));
  std::vector<float> f2(m * 4);
  std::vector<uint8_t> o2(m * d2), s2(m * 8);
  encode_build_rows(many, m, d2, cent2, cl2, id2, rot2, 1, EncodedRows{c2, f2, o2, s2});
  for (uint8_t b : o2) {
    EXPECT_GE(b, 1);
  }
}

TEST(BuildEncodeEdges, EqualVectorsInDifferentClusters) {
  // Two rows with equal vectors assigned to different clusters: equal rerank bytes and
  // records (they encode the row itself), different binary codes and factors (they encode the
  // residual to the row's own centroid).
  const size_t dim = 21, n = 2, k = 2;
  std::vector<float> row = gaussian_rows(1, dim, 8);
  std::vector<float> rows = row;
  rows.insert(rows.end(), row.begin(), row.end());
  std::vector<float> centroids(k * dim);
  for (size_t j = 0; j < dim; ++j) {
    centroids[j] = row[j] + 0.5f * static_cast<float>(j % 3) - 0.5f;
    centroids[dim + j] = row[j] - 0.75f * static_cast<float>((j * 7) % 5) + 1.f;
  }
  const std::vector<uint32_t> cluster = {1, 0};
  const SlotOrder order = order_by_cluster(cluster, k);
  ASSERT_EQ(order.slot_of, (std::vector<uint32_t>{1, 0}));
  const codec::Rotator rot = codec::Rotator::build(dim, codec::rotation_seed(11), true);
  const uint32_t n_bits = 3;
  const size_t cw = n_bits * (rot.pad / 64);
  std::vector<uint64_t> codes(n * cw);
  std::vector<float> factors(n * 4);
  std::vector<uint8_t> orig(n * dim), origscale(n * 8);
  encode_build_rows(rows, n, dim, centroids, cluster, order.slot_of, rot, n_bits,
                    EncodedRows{codes, factors, orig, origscale});
  EXPECT_EQ(Bytes(orig.begin(), orig.begin() + dim), Bytes(orig.begin() + dim, orig.end()));
  EXPECT_EQ(Bytes(origscale.begin(), origscale.begin() + 8), Bytes(origscale.begin() + 8, origscale.end()));
  EXPECT_NE(std::vector<uint64_t>(codes.begin(), codes.begin() + cw), std::vector<uint64_t>(codes.begin() + cw, codes.end()));
  for (size_t f = 0; f < 4; ++f) {
    EXPECT_NE(std::bit_cast<uint32_t>(factors[f]), std::bit_cast<uint32_t>(factors[4 + f])) << "factor " << f;
  }
}

TEST(BuildEncodeEdges, ComputedSegmentScale) {
  // 1e-6 as f32 (9.99999997e-7) over zeros; over rows whose largest magnitude is 7.5 (beside
  // NaN values, across several reduction chunks) exactly 7.5, at every pool size.
  struct Case {
    size_t len;
    size_t at;  // where -7.5 goes; len means nowhere
    float want;
  };
  const Case cases[] = {{0, 0, 1e-6f}, {10, 10, 1e-6f}, {300000, 300000, 1e-6f}, {300000, 299999, 7.5f},
                        {300000, 70000, 7.5f}, {5, 0, 7.5f}};
  for (const Case& c : cases) {
    std::vector<float> v(c.len, 0.f);
    for (size_t i = 3; i < c.len; i += 65536) v[i] = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 1; i < c.len; i += 9973) v[i] = -1.25f;
    if (c.at < c.len) v[c.at] = -7.5f;
    if (c.want != 7.5f)
      for (auto& x : v)
        if (!std::isnan(x)) x = 0.f;
    for (size_t threads : {1, 2, 8}) {
      float got = 0;
      parallel::with_threads(threads, [&] { got = build_quant_scale(v); });
      EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(c.want)) << c.len << " at " << c.at;
    }
  }
  EXPECT_EQ(std::bit_cast<uint32_t>(1e-6f), 0x358637BDu);
}

TEST_F(BuildEdges, DuplicateIdsFirstPassWritesUpToIdsOffThenRemovesThem) {
  // Rows x0, x1, x2 with ids A, B, A and no metadata: the first pass replaces codes, metas,
  // orig, origscale, meta, meta_off, ids and ids_off (renames 1 to 8) and no idhash.bin; then
  // removes them; the second pass starts again at codes.bin (rename 9).
  const std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::vector<std::string> first_pass = {"codes.bin", "metas.bin", "meta.bin", "orig.bin",
                                               "origscale.bin", "meta_off.bin", "ids.bin"};
  struct Case {
    fo::Op op;
    uint64_t nth, repeat;
    bool ok;
    std::set<std::string> left;  // listing after a failed build
  };
  const Case cases[] = {
      {fo::Op::Rename, 8, 1, false, std::set<std::string>(first_pass.begin(), first_pass.end())},
      {fo::Op::Rename, 9, 1, false, {}},
      // Unlink 1 is the earlier manifest; 2 to 9 remove the first pass's eight files: their
      // failures are ignored and the second pass rewrites every file.
      {fo::Op::Unlink, 2, 8, true, {}},
  };
  BuildParams p;
  p.n_clusters = 2;
  p.n_bits = 3;
  const std::string direct = sub("direct");
  ASSERT_TRUE(build_segment(direct, std::vector<float>(x.begin() + 3, x.end()), 2, 3, {"B", "A"}, {}, {}, {}, {}, {}, p)
                  .ok());
  int i = 0;
  for (const Case& c : cases) {
    const std::string dir = sub("dup" + std::to_string(i++));
    Status st;
    {
      fo::ScopedFaults f(fo::Fault{c.op, c.nth, fo::Action::Errno, EIO, c.repeat});
      st = build_segment(dir, x, 3, 3, {"A", "B", "A"}, {}, {}, {}, {}, {}, p);
    }
    if (!c.ok) {
      ASSERT_FALSE(st.ok()) << i;
      EXPECT_EQ(st.error().os_code(), EIO);
      EXPECT_EQ(listing(dir), c.left) << "case " << i;
    } else {
      ASSERT_TRUE(st.ok()) << st.error().text();
      expect_same_segment(dir, direct);
      EXPECT_EQ(manifest(dir).n, 2u);
      EXPECT_EQ(manifest(dir).fit_count, 2u);
    }
  }
}

TEST_F(BuildEdges, ByteIdenticalAcrossPoolSizes) {
  // The neighbour-list assignment (512 clusters) and the duplicate-id second pass give the same
  // bytes whatever the number of threads; only crcs.bin's entry order may differ.
  struct Case {
    const char* name;
    size_t n, dim;
    uint32_t n_clusters, n_bits;
    bool duplicates;
  };
  const Case cases[] = {{"lists", 700, 6, 512, 2, false}, {"dups", 900, 13, 11, 4, true}};
  for (const Case& c : cases) {
    std::vector<float> data = gaussian_rows(c.n, c.dim, 17);
    std::vector<std::string> ids = make_ids(c.n);
    if (c.duplicates)
      for (size_t r = 0; r < c.n; r += 3) ids[r] = "id" + std::to_string((r * 5) % c.n);
    std::vector<std::string> texts;
    std::vector<SparsePairs> sparse;
    for (size_t r = 0; r < c.n; ++r) {
      texts.push_back(r % 4 == 0 ? "null"
                                 : "{\"g\": " + std::to_string(r % 9) + ", \"t\": \"k" + std::to_string(r % 13) + "\"}");
      if (r < c.n / 2) sparse.push_back(SparsePairs{{static_cast<uint32_t>(r % 17), 1.f}, {3, 0.5f}});
    }
    BuildParams p;
    p.n_clusters = c.n_clusters;
    p.n_bits = c.n_bits;
    p.seed = 42;
    std::vector<std::string> dirs;
    for (size_t threads : {1, 2, 8}) {
      dirs.push_back(sub(std::string(c.name) + std::to_string(threads)));
      parallel::with_threads(threads, [&] {
        Status st = build_segment(dirs.back(), data, c.n, c.dim, ids, BuildMetadata::texts(texts), sparse, {}, {}, {}, p);
        ASSERT_TRUE(st.ok()) << st.error().text();
      });
    }
    for (size_t d = 1; d < dirs.size(); ++d) expect_same_segment(dirs[0], dirs[d]);
    if (c.duplicates) {
      EXPECT_LT(manifest(dirs[0]).n, c.n);
    }
  }
}

}  // namespace
