// Segment build: the file set with its layouts and checksums, the order of writing (manifest
// last), the empty segment byte for byte, slot order, metadata texts and typed columns, the
// duplicate-id rule, stale files, argument errors, and independence from the pool size.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"

using namespace ivf_rabitq;
using namespace ivf_rabitq::builder;
namespace fo = ivf_rabitq::fileops;
namespace fs = std::filesystem;
using storage::SparsePairs;

namespace {

using Bytes = std::vector<uint8_t>;

// Rows drawn around a few seeded centres.
std::vector<float> mixture(size_t n, size_t dim, uint64_t seed, size_t centres = 6) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.f, 1.f);
  std::vector<float> c(centres * dim);
  for (auto& v : c) v = 4.f * g(rng);
  std::vector<float> out(n * dim);
  for (size_t r = 0; r < n; ++r) {
    size_t k = rng() % centres;
    for (size_t j = 0; j < dim; ++j) out[r * dim + j] = c[k * dim + j] + g(rng);
  }
  return out;
}

std::vector<std::string> make_ids(size_t n) {
  std::vector<std::string> ids(n);
  for (size_t r = 0; r < n; ++r) ids[r] = "id" + std::to_string(r);
  return ids;
}

std::vector<json::Value> parse_all(const std::vector<std::string>& texts) {
  std::vector<json::Value> out;
  for (const auto& t : texts) out.push_back(*json::parse(t));
  return out;
}

template <class T>
std::vector<T> as_vec(const Bytes& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

class BuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tandrel_build_XXXXXX";
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
  static void put(const std::string& dir, const std::string& name, std::string_view content) {
    std::ofstream f(storage::join_path(dir, name), std::ios::binary | std::ios::trunc);
    f << content;
  }
  static std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> s;
    for (const auto& e : fs::directory_iterator(dir)) s.insert(e.path().filename().string());
    return s;
  }
  static storage::Manifest manifest(const std::string& dir) {
    auto body = storage::read_manifest_bin(storage::join_path(dir, "manifest.bin"));
    EXPECT_TRUE(body.ok());
    auto m = storage::decode_manifest(*body);
    EXPECT_TRUE(m.ok());
    return *m;
  }
  static storage::FileCrcs crcs(const std::string& dir) {
    auto t = storage::read_file_crcs(storage::join_path(dir, "crcs.bin"));
    EXPECT_TRUE(t.ok());
    return *t;
  }
  // The input row at each slot, from ids.bin of ids made by make_ids.
  static std::vector<size_t> input_row_at(const std::string& dir) {
    Bytes ids = get(dir, "ids.bin");
    auto off = as_vec<uint64_t>(get(dir, "ids_off.bin"));
    std::vector<size_t> rows;
    for (size_t s = 0; s + 1 < off.size(); ++s)
      rows.push_back(std::stoul(std::string(ids.begin() + off[s] + 2, ids.begin() + off[s + 1])));
    return rows;
  }

  std::string root;
};

// Builds with defaults that the tests override.
struct Spec {
  std::vector<float> data;
  size_t n = 0, dim = 1;
  std::vector<std::string> ids;
  std::vector<json::Value> meta;
  std::vector<SparsePairs> sparse;
  std::vector<std::string> skip;
  std::vector<float> pca_mean, pca_comps;
  BuildParams params{};
  Status run(const std::string& dir) const {
    return build_segment(dir, data, n, dim, ids, BuildMetadata::values(meta), sparse, skip, pca_mean, pca_comps,
                         params);
  }
};

Spec mixed_spec(size_t n, size_t dim) {
  Spec s;
  s.n = n;
  s.dim = dim;
  s.data = mixture(n, dim, 7);
  s.ids = make_ids(n);
  std::mt19937 rng(3);
  for (size_t r = 0; r < n; ++r) {
    switch (rng() % 4) {
      case 0: s.meta.push_back(json::Value::object({{"price", r % 5}, {"tag", "t" + std::to_string(r % 3)}})); break;
      case 1: s.meta.push_back(json::Value::object({{"price", "cheap"}, {"flag", r % 2 == 0}})); break;
      case 2: s.meta.push_back(nullptr); break;
      default: s.meta.push_back(json::Value::object({{"arr", {1, 2}}, {"price", 1.5}})); break;
    }
    SparsePairs sp;
    for (uint32_t t = 0; t < r % 3; ++t) sp.emplace_back(static_cast<uint32_t>((r * 7 + t) % 11), 0.25f * t + 1.f);
    s.sparse.push_back(sp);
  }
  s.params.n_clusters = 8;
  s.params.n_bits = 2;
  s.params.seed = 99;
  return s;
}

// ---------------------------------------------------------------------------------------

TEST_F(BuildTest, FileSetLayoutsChecksumsAndManifest) {
  Spec s = mixed_spec(300, 20);
  s.pca_mean.assign(20, 0.5f);
  s.pca_comps.assign(60, -0.25f);
  const std::string dir = sub("seg");
  ASSERT_TRUE(s.run(dir).ok());

  const std::set<std::string> data_files = {"codes.bin", "metas.bin", "orig.bin",     "origscale.bin",
                                            "num_0.bin", "str_0.bin", "str_1.bin",    "str_2.bin", "str_3.bin",
                                            "meta.bin",  "meta_off.bin", "ids.bin",   "ids_off.bin",
                                            "idhash.bin", "sparse.bin"};
  std::set<std::string> all = data_files;
  all.insert({"crcs.bin", "format.bin", "generation", "manifest.bin"});
  EXPECT_EQ(listing(dir), all);

  // Every data file is listed with the CRC-32 of its bytes; the control files are not.
  storage::FileCrcs table = crcs(dir);
  std::set<std::string> listed;
  for (const auto& [name, crc] : table) {
    listed.insert(name);
    EXPECT_EQ(crc, storage::crc32(get(dir, name))) << name;
  }
  EXPECT_EQ(listed, data_files);
  EXPECT_EQ(get(dir, "format.bin"), storage::format_version_bytes(3));
  EXPECT_EQ(get(dir, "generation"), Bytes(8, 0));

  storage::Manifest m = manifest(dir);
  const size_t n = 300, dim = 20, pad = 64, words = 1;
  EXPECT_EQ(m.dim, dim);
  EXPECT_EQ(m.pad, pad);
  EXPECT_EQ(m.words_per_plane, words);
  EXPECT_EQ(m.n_bits, 2u);
  EXPECT_EQ(m.n_clusters, 8u);
  EXPECT_EQ(m.n, n);
  EXPECT_EQ(m.fit_count, n);
  EXPECT_EQ(m.seed, 99u);  // as passed, not XORed
  EXPECT_EQ(m.quant_scale, build_quant_scale(s.data));
  EXPECT_EQ(m.centroids, kmeans::kmeans(s.data, n, dim, 8, 99));
  ASSERT_EQ(m.offsets.size(), 9u);
  EXPECT_EQ(m.offsets.front(), 0u);
  EXPECT_EQ(m.offsets.back(), n);
  EXPECT_TRUE(m.ids.empty());
  EXPECT_TRUE(m.sparse.empty());
  EXPECT_EQ(m.pca_mean, s.pca_mean);
  EXPECT_EQ(m.pca_comps, s.pca_comps);
  ASSERT_EQ(m.fields.size(), 5u);
  const std::vector<std::pair<std::string, bool>> schema = {
      {"arr", false}, {"flag", false}, {"price", true}, {"price", false}, {"tag", false}};
  for (size_t i = 0; i < schema.size(); ++i) {
    EXPECT_EQ(m.fields[i].name, schema[i].first);
    EXPECT_EQ(m.fields[i].numeric, schema[i].second);
  }

  // Sizes of the fixed-stride files.
  EXPECT_EQ(get(dir, "codes.bin").size(), n * 2 * words * 8);
  EXPECT_EQ(get(dir, "metas.bin").size(), n * 16);
  EXPECT_EQ(get(dir, "orig.bin").size(), n * dim);
  EXPECT_EQ(get(dir, "origscale.bin").size(), n * 8);
  EXPECT_EQ(get(dir, "num_0.bin").size(), n * 8);
  EXPECT_EQ(get(dir, "str_0.bin").size(), n * 4);
  EXPECT_EQ(get(dir, "idhash.bin").size(), n * 12);

  // Each slot holds its input row: rows grouped by cluster (each the nearest centroid), in
  // input order inside a cluster, with the row's own int8 codes and metadata text.
  std::vector<size_t> row_at = input_row_at(dir);
  ASSERT_EQ(row_at.size(), n);
  std::vector<uint32_t> nearest = kmeans::assign_brute_force(s.data, n, dim, m.centroids, 8);
  Bytes orig = get(dir, "orig.bin"), origscale = get(dir, "origscale.bin"), meta = get(dir, "meta.bin");
  auto meta_off = as_vec<uint64_t>(get(dir, "meta_off.bin"));
  for (uint32_t c = 0; c < 8; ++c) {
    for (uint32_t slot = m.offsets[c]; slot < m.offsets[c + 1]; ++slot) {
      EXPECT_EQ(nearest[row_at[slot]], c);
      if (slot > m.offsets[c]) {
        EXPECT_LT(row_at[slot - 1], row_at[slot]);
      }
    }
  }
  std::vector<std::string> ids_by_slot(n);
  for (size_t slot = 0; slot < n; ++slot) {
    const size_t r = row_at[slot];
    ids_by_slot[slot] = "id" + std::to_string(r);
    uint8_t want[20];
    quant::RowCode rc = quant::encode_pow2_row(s.data.data() + r * dim, dim, want);
    EXPECT_EQ(0, std::memcmp(orig.data() + slot * dim, want, dim));
    EXPECT_EQ(storage::load_u32(origscale.data() + slot * 8), rc.energy);
    EXPECT_EQ(storage::load_u32(origscale.data() + slot * 8 + 4), rc.exp);
    EXPECT_EQ(std::string(meta.begin() + meta_off[slot], meta.begin() + meta_off[slot + 1]),
              json::to_compact(s.meta[r]));
  }
  EXPECT_EQ(get(dir, "idhash.bin"), storage::encode_idhash_checked(ids_by_slot).bytes);

  // Sparse postings: per term, in input-row order.
  std::vector<size_t> slot_of(n);
  for (size_t slot = 0; slot < n; ++slot) slot_of[row_at[slot]] = slot;
  std::map<uint32_t, SparsePairs> want_sparse;
  for (size_t r = 0; r < n; ++r)
    for (auto [t, w] : s.sparse[r]) want_sparse[t].emplace_back(static_cast<uint32_t>(slot_of[r]), w);
  EXPECT_EQ(get(dir, "sparse.bin"), storage::encode_sparse(want_sparse));
}

TEST_F(BuildTest, WritesFilesInOrderWithManifestLast) {
  // Failing the k-th rename (each file is replaced through one rename) stops the build at the
  // k-th file: the files before it exist, nothing after it, and never the manifest. Stale log
  // files go between sparse.bin and crcs.bin.
  const std::vector<std::string> order = {"codes.bin",  "metas.bin",  "orig.bin",    "origscale.bin", "num_0.bin",
                                          "str_0.bin",  "meta.bin",   "meta_off.bin", "ids.bin",      "ids_off.bin",
                                          "idhash.bin", "sparse.bin", "crcs.bin",    "format.bin",    "generation",
                                          "manifest.bin"};
  Spec s;
  s.n = 6;
  s.dim = 3;
  s.data = mixture(6, 3, 1);
  s.ids = make_ids(6);
  s.meta = parse_all({R"({"a":1,"b":"x"})", R"({"a":2})"});
  s.params.n_clusters = 2;
  for (size_t k = 1; k <= order.size() + 1; ++k) {
    const std::string dir = sub("order" + std::to_string(k));
    ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
    put(dir, "wal.bin", "old");
    put(dir, "delta.bin", "old");
    Status st;
    {
      fo::ScopedFaults f(fo::Fault{fo::Op::Rename, k, fo::Action::Errno, EIO});
      st = s.run(dir);
    }
    std::set<std::string> want(order.begin(), order.begin() + static_cast<ptrdiff_t>(std::min(k - 1, order.size())));
    const bool stale_gone = k > 12;
    if (!stale_gone) want.insert({"wal.bin", "delta.bin"});
    if (k <= order.size()) {
      ASSERT_FALSE(st.ok()) << k;
      EXPECT_EQ(st.error().os_code(), EIO);
    } else {
      ASSERT_TRUE(st.ok()) << st.error().text();
    }
    EXPECT_EQ(listing(dir), want) << "failing rename " << k;
  }
}

TEST_F(BuildTest, RebuildRemovesOldManifestFirstAndLeavesStaleColumns) {
  const std::string dir = sub("seg");
  Spec first;
  first.n = 4;
  first.dim = 2;
  first.data = mixture(4, 2, 5);
  first.ids = make_ids(4);
  first.meta = parse_all({R"({"a":"x","b":"y","c":"z"})"});
  ASSERT_TRUE(first.run(dir).ok());
  ASSERT_TRUE(fs::exists(dir + "/str_2.bin"));

  Spec second = first;
  second.meta = parse_all({R"({"a":"q"})"});
  {
    // The first data file fails: the earlier segment's manifest is already gone.
    fo::ScopedFaults f(fo::Fault{fo::Op::Rename, 1, fo::Action::Errno, EIO});
    ASSERT_FALSE(second.run(dir).ok());
  }
  EXPECT_FALSE(fs::exists(dir + "/manifest.bin"));
  EXPECT_TRUE(fs::exists(dir + "/str_2.bin"));

  ASSERT_TRUE(second.run(dir).ok());
  EXPECT_TRUE(fs::exists(dir + "/manifest.bin"));
  // Column files beyond the new schema stay, unlisted and unreferenced.
  EXPECT_TRUE(fs::exists(dir + "/str_1.bin"));
  EXPECT_TRUE(fs::exists(dir + "/str_2.bin"));
  storage::FileCrcs t = crcs(dir);
  EXPECT_EQ(t.count("str_0.bin"), 1u);
  EXPECT_EQ(t.count("str_1.bin"), 0u);
  EXPECT_EQ(t.count("str_2.bin"), 0u);
  EXPECT_EQ(manifest(dir).fields.size(), 1u);
}

TEST_F(BuildTest, EmptySegmentByteExact) {
  const std::string dir = sub("a/b/empty");  // missing parents are created
  Spec s;
  s.dim = 5;
  s.params.n_clusters = 7;
  ASSERT_TRUE(s.run(dir).ok());
  EXPECT_EQ(listing(dir), (std::set<std::string>{"codes.bin", "metas.bin", "orig.bin", "origscale.bin", "meta.bin",
                                                 "meta_off.bin", "ids.bin", "ids_off.bin", "idhash.bin", "sparse.bin",
                                                 "crcs.bin", "format.bin", "generation", "manifest.bin"}));
  for (const char* empty : {"codes.bin", "metas.bin", "orig.bin", "origscale.bin", "meta.bin", "ids.bin", "idhash.bin"})
    EXPECT_EQ(get(dir, empty), Bytes{}) << empty;
  for (const char* zero8 : {"meta_off.bin", "ids_off.bin", "sparse.bin", "generation"})
    EXPECT_EQ(get(dir, zero8), Bytes(8, 0)) << zero8;
  EXPECT_EQ(get(dir, "format.bin"), storage::format_version_bytes(3));

  storage::Manifest want;
  want.dim = 5;
  want.pad = 64;
  want.words_per_plane = 1;
  want.n_bits = 2;
  want.n_clusters = 1;
  want.n = 0;
  want.seed = 0;
  want.quant_scale = 1e-6f;
  want.centroids.assign(5, 0.f);
  want.offsets = {0, 0};
  want.fit_count = 0;
  EXPECT_EQ(get(dir, "manifest.bin"), storage::frame_bytes(storage::kManifestMagic, storage::encode_manifest(want)));
  // crcs.bin lists exactly the ten data files: seven empty ones and three of eight zero bytes.
  const uint32_t zero8 = storage::crc32(Bytes(8, 0));
  EXPECT_EQ(crcs(dir), (storage::FileCrcs{{"codes.bin", 0u},
                                          {"metas.bin", 0u},
                                          {"orig.bin", 0u},
                                          {"origscale.bin", 0u},
                                          {"meta.bin", 0u},
                                          {"meta_off.bin", zero8},
                                          {"ids.bin", 0u},
                                          {"ids_off.bin", zero8},
                                          {"idhash.bin", 0u},
                                          {"sparse.bin", zero8}}));
}

TEST(BuildSlots, StableCountingSortByCluster) {
  std::vector<uint32_t> cluster = {1, 0, 1, 0, 2};
  SlotOrder o = order_by_cluster(cluster, 3);
  EXPECT_EQ(o.offsets, (std::vector<uint32_t>{0, 2, 4, 5}));
  EXPECT_EQ(o.slot_of, (std::vector<uint32_t>{2, 0, 3, 1, 4}));
  SlotOrder empty = order_by_cluster({}, 1);
  EXPECT_EQ(empty.offsets, (std::vector<uint32_t>{0, 0}));
}

TEST_F(BuildTest, MetadataTextsAreCompactAndMissingValuesNull) {
  // Two rows at slots 0 and 1 (one cluster): an empty object and no value at all.
  Spec s;
  s.n = 2;
  s.dim = 2;
  s.data = {1, 2, 3, 4};
  s.ids = {"a", "b"};
  s.meta = parse_all({"{ }"});
  ASSERT_TRUE(s.run(sub("v")).ok());
  EXPECT_EQ(get(sub("v"), "meta.bin"), Bytes({'{', '}', 'n', 'u', 'l', 'l'}));
  EXPECT_EQ(as_vec<uint64_t>(get(sub("v"), "meta_off.bin")), (std::vector<uint64_t>{0, 2, 6}));

  // Texts are parsed by the build and stored compact, keys in byte order, numbers reprinted;
  // a third text beyond n is ignored (neither parsed nor typed).
  const std::vector<std::string> texts = {"{ \"b\" : [1, 2.50, 1e16],\n \"a\": \"x y\" }", " 7 ", "{not json"};
  Status st = build_segment(sub("t"), s.data, 2, 2, {"a", "b"}, BuildMetadata::texts(texts), {}, {}, {}, {}, {});
  ASSERT_TRUE(st.ok()) << st.error().text();
  const std::string want = R"({"a":"x y","b":[1,2.5,1e+16]})" "7";
  Bytes got = get(sub("t"), "meta.bin");
  EXPECT_EQ(std::string(got.begin(), got.end()), want);
  storage::Manifest m = manifest(sub("t"));
  ASSERT_EQ(m.fields.size(), 2u);
  EXPECT_EQ(m.fields[0].name, "a");
  EXPECT_EQ(m.fields[1].name, "b");
  EXPECT_EQ(m.fields[1].dict.at(std::string("\x02") + "[1,2.5,1e+16]"), 0u);

  // Many rows (several parse batches): texts and documents give the same files.
  {
    const size_t n = 20000;
    std::vector<std::string> texts_n(n);
    std::vector<json::Value> docs_n(n);
    for (size_t r = 0; r < n; ++r) {
      texts_n[r] = "{\"c\": \"v" + std::to_string((r * 7919) % 301) + "\", \"x\": " + std::to_string(r % 13) + "}";
      docs_n[r] = *json::parse(texts_n[r]);
    }
    std::vector<float> d(n, 0.f);
    ASSERT_TRUE(build_segment(sub("bt"), d, n, 1, make_ids(n), BuildMetadata::texts(texts_n), {}, {}, {}, {}, {}).ok());
    ASSERT_TRUE(build_segment(sub("bv"), d, n, 1, make_ids(n), BuildMetadata::values(docs_n), {}, {}, {}, {}, {}).ok());
    for (const char* f : {"meta.bin", "meta_off.bin", "num_0.bin", "str_0.bin", "manifest.bin"})
      EXPECT_EQ(get(sub("bt"), f), get(sub("bv"), f)) << f;
    auto str0 = as_vec<uint32_t>(get(sub("bt"), "str_0.bin"));
    EXPECT_EQ(str0[0], 0u);
    EXPECT_EQ(*std::max_element(str0.begin(), str0.end()), 300u);
  }

  // Values beyond the n-th create no columns.
  std::vector<json::Value> extra = parse_all({"{}", "{}", R"({"late":1})"});
  ASSERT_TRUE(build_segment(sub("x"), s.data, 2, 2, {"a", "b"}, BuildMetadata::values(extra), {}, {}, {}, {}, {}).ok());
  EXPECT_TRUE(manifest(sub("x")).fields.empty());
  EXPECT_FALSE(fs::exists(sub("x") + "/num_0.bin"));
}

TEST_F(BuildTest, SchemaFromMixedValuesNullOnlyAndSkippedFields) {
  Spec s;
  s.n = 2;
  s.dim = 1;
  s.data = {1, 2};
  s.ids = {"a", "b"};
  s.meta = parse_all({R"({"price":3,"tag":"x","nothing":null,"secret":5})", R"({"price":"3","secret":"s"})"});
  s.skip = {"secret"};
  const std::string dir = sub("seg");
  ASSERT_TRUE(s.run(dir).ok());
  storage::Manifest m = manifest(dir);
  ASSERT_EQ(m.fields.size(), 3u);
  EXPECT_EQ(m.fields[0], (storage::FieldSchema{"price", true, {}}));
  EXPECT_EQ(m.fields[1], (storage::FieldSchema{"price", false, {{"3", 0}}}));
  EXPECT_EQ(m.fields[2], (storage::FieldSchema{"tag", false, {{"x", 0}}}));
  EXPECT_EQ(listing(dir).count("num_0.bin") + listing(dir).count("str_1.bin"), 2u);
  EXPECT_FALSE(fs::exists(dir + "/str_2.bin"));
  EXPECT_FALSE(fs::exists(dir + "/num_1.bin"));
  auto num0 = as_vec<double>(get(dir, "num_0.bin"));
  EXPECT_EQ(num0[0], 3.0);
  EXPECT_EQ(std::bit_cast<uint64_t>(num0[1]), 0x7FF8000000000000ull);
  EXPECT_EQ(as_vec<uint32_t>(get(dir, "str_0.bin")), (std::vector<uint32_t>{0xFFFFFFFFu, 0}));
  EXPECT_EQ(as_vec<uint32_t>(get(dir, "str_1.bin")), (std::vector<uint32_t>{0, 0xFFFFFFFFu}));
  // Null-only and skipped fields still appear in the texts.
  Bytes meta = get(dir, "meta.bin");
  EXPECT_EQ(std::string(meta.begin(), meta.end()),
            R"({"nothing":null,"price":3,"secret":5,"tag":"x"})" R"({"price":"3","secret":"s"})");
}

TEST_F(BuildTest, TypedColumnsMatchBulkTypingReference) {
  // Random metadata over many kinds of values; the streamed typing of the build must equal the
  // whole-table typing of the predicate layer, column values moved to the rows' slots.
  const size_t n = 400, dim = 4;
  std::mt19937 rng(11);
  std::vector<json::Value> meta;
  const char* names[] = {"a", "b", "c", "d", "zz", "\xc3\xa9"};
  for (size_t r = 0; r < n; ++r) {
    if (rng() % 10 == 0) {
      meta.push_back(rng() % 2 ? json::Value(nullptr) : json::Value::array({1, "x"}));
      continue;
    }
    json::Value o = json::Value::object();
    for (const char* name : names) {
      switch (rng() % 9) {
        case 0: o[name] = static_cast<int>(rng() % 4); break;
        case 1: o[name] = 0.5 * (rng() % 4); break;
        case 2: o[name] = "s" + std::to_string(rng() % 5); break;
        case 3: o[name] = rng() % 2 == 0; break;
        case 4: o[name] = nullptr; break;
        case 5: o[name] = json::Value::array({rng() % 2, "q"}); break;
        case 6: o[name] = json::Value::object({{"k", rng() % 2}}); break;
        default: break;
      }
    }
    meta.push_back(o);
  }
  std::vector<std::string> skip = {"d"};
  std::vector<float> data = mixture(n, dim, 2);
  const std::string dir = sub("seg");
  BuildParams p;
  p.n_clusters = 5;
  ASSERT_TRUE(build_segment(dir, data, n, dim, make_ids(n), BuildMetadata::values(meta), {}, skip, {}, {}, p).ok());

  std::vector<const json::Value*> ptrs;
  for (const auto& v : meta) ptrs.push_back(&v);
  predicate::SkipSet skip_set(skip.begin(), skip.end());
  predicate::TypedTable want = predicate::type_rows(ptrs, &skip_set, true);
  storage::Manifest m = manifest(dir);
  EXPECT_EQ(m.fields, want.fields);
  std::vector<size_t> row_at = input_row_at(dir);
  for (size_t i = 0; i < want.num_cols.size(); ++i) {
    auto col = as_vec<double>(get(dir, "num_" + std::to_string(i) + ".bin"));
    ASSERT_EQ(col.size(), n);
    for (size_t slot = 0; slot < n; ++slot)
      EXPECT_EQ(std::bit_cast<uint64_t>(col[slot]), std::bit_cast<uint64_t>(want.num_cols[i][row_at[slot]]));
  }
  for (size_t j = 0; j < want.str_cols.size(); ++j) {
    auto col = as_vec<uint32_t>(get(dir, "str_" + std::to_string(j) + ".bin"));
    ASSERT_EQ(col.size(), n);
    for (size_t slot = 0; slot < n; ++slot) EXPECT_EQ(col[slot], want.str_cols[j][row_at[slot]]);
  }
  // The same rows given as texts build byte-identical column files and manifest.
  std::vector<std::string> texts;
  for (const auto& v : meta) texts.push_back(v.dump(2));
  const std::string dir2 = sub("seg_texts");
  ASSERT_TRUE(build_segment(dir2, data, n, dim, make_ids(n), BuildMetadata::texts(texts), {}, skip, {}, {}, p).ok());
  for (const auto& [name, crc] : crcs(dir)) EXPECT_EQ(get(dir2, name), get(dir, name)) << name;
  EXPECT_EQ(get(dir2, "manifest.bin"), get(dir, "manifest.bin"));
}

TEST_F(BuildTest, ClusterAndBitClamping) {
  struct Case {
    size_t n;
    uint32_t n_clusters, n_bits;
    uint64_t want_k, want_bits;
  };
  const Case cases[] = {{5, 0, 0, 1, 1}, {5, 50, 9, 5, 8}, {5, 3, 3, 3, 3}, {0, 4, 200, 1, 8}, {6, 2, 8, 2, 8}};
  int i = 0;
  for (const Case& c : cases) {
    const std::string dir = sub("c" + std::to_string(i++));
    std::vector<float> data = mixture(c.n, 70, 4);
    BuildParams p;
    p.n_clusters = c.n_clusters;
    p.n_bits = c.n_bits;
    ASSERT_TRUE(build_segment(dir, data, c.n, 70, make_ids(c.n), {}, {}, {}, {}, {}, p).ok());
    storage::Manifest m = manifest(dir);
    EXPECT_EQ(m.n_clusters, c.want_k);
    EXPECT_EQ(m.n_bits, c.want_bits);
    EXPECT_EQ(m.pad, 128u);
    EXPECT_EQ(m.words_per_plane, 2u);
    EXPECT_EQ(get(dir, "codes.bin").size(), c.n * c.want_bits * 2 * 8);
  }
}

TEST_F(BuildTest, ManyClustersAssignByNeighbourListsToNearest) {
  // 512 clusters take the neighbour-list descent; it still finds each row's nearest centroid.
  const size_t n = 700, dim = 6;
  std::vector<float> data = mixture(n, dim, 9, 40);
  BuildParams p;
  p.n_clusters = 512;
  const std::string dir = sub("seg");
  ASSERT_TRUE(build_segment(dir, data, n, dim, make_ids(n), {}, {}, {}, {}, {}, p).ok());
  storage::Manifest m = manifest(dir);
  ASSERT_EQ(m.n_clusters, 512u);
  std::vector<uint32_t> nearest = kmeans::assign_brute_force(data, n, dim, m.centroids, 512);
  std::vector<size_t> row_at = input_row_at(dir);
  for (uint32_t c = 0; c < 512; ++c)
    for (uint32_t slot = m.offsets[c]; slot < m.offsets[c + 1]; ++slot) {
      const float* x = data.data() + row_at[slot] * dim;
      auto d2 = [&](uint32_t cc) {
        float s = 0;
        for (size_t j = 0; j < dim; ++j) s += (x[j] - m.centroids[cc * dim + j]) * (x[j] - m.centroids[cc * dim + j]);
        return s;
      };
      EXPECT_EQ(d2(c), d2(nearest[row_at[slot]])) << slot;
    }
}

TEST_F(BuildTest, DuplicateIdsKeepLastOccurrence) {
  // Input A, B, A builds the segment of (x1, B), (x2, A): the same files as building those two
  // rows directly, with the dropped row's metadata gone from the schema and codes renumbered.
  const size_t dim = 3;
  std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<json::Value> meta = parse_all({R"({"gone":"q","t":"p"})", R"({"t":"q","v":1})", R"({"t":"p"})"});
  std::vector<SparsePairs> sparse = {{{1, 1.f}}, {{2, 2.f}}};
  BuildParams p;
  p.n_bits = 0;
  p.n_clusters = 2;
  p.seed = 5;
  p.quant_scale = 0.f;
  const std::string dup = sub("dup");
  ASSERT_TRUE(build_segment(dup, x, 3, dim, {"A", "B", "A"}, BuildMetadata::values(meta), sparse, {}, {}, {}, p).ok());

  std::vector<float> kept_x(x.begin() + 3, x.end());
  std::vector<json::Value> kept_meta = {meta[1], meta[2]};
  std::vector<SparsePairs> kept_sparse = {sparse[1], {}};
  const std::string direct = sub("direct");
  ASSERT_TRUE(
      build_segment(direct, kept_x, 2, dim, {"B", "A"}, BuildMetadata::values(kept_meta), kept_sparse, {}, {}, {}, p)
          .ok());

  EXPECT_EQ(listing(dup), listing(direct));
  for (const auto& name : listing(direct))
    if (name != "crcs.bin") {
      EXPECT_EQ(get(dup, name), get(direct, name)) << name;
    }
  EXPECT_EQ(crcs(dup), crcs(direct));
  storage::Manifest m = manifest(dup);
  EXPECT_EQ(m.n, 2u);
  EXPECT_EQ(m.fit_count, 2u);
  EXPECT_EQ(m.n_bits, 1u);
  ASSERT_EQ(m.fields.size(), 2u);
  EXPECT_EQ(m.fields[0], (storage::FieldSchema{"t", false, {{"q", 0}, {"p", 1}}}));
  EXPECT_EQ(m.fields[1].name, "v");
  // ids by slot hold B and A, each once.
  Bytes ids = get(dup, "ids.bin");
  std::string joined(ids.begin(), ids.end());
  EXPECT_TRUE(joined == "BA" || joined == "AB") << joined;

  // The same through texts (the second pass reuses the first pass's prepared metadata).
  std::vector<std::string> texts = {R"({"gone":"q","t":"p"})", R"({"t":"q","v":1})", R"({"t":"p"})"};
  const std::string dup_t = sub("dup_t");
  ASSERT_TRUE(build_segment(dup_t, x, 3, dim, {"A", "B", "A"}, BuildMetadata::texts(texts), sparse, {}, {}, {}, p).ok());
  for (const auto& name : listing(direct))
    if (name != "crcs.bin") {
      EXPECT_EQ(get(dup_t, name), get(direct, name)) << name;
    }
}

TEST_F(BuildTest, StaleLogAndCheckpointFilesRemoved) {
  const std::string dir = sub("seg");
  ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
  for (const char* f : {"wal.bin", "delta.bin", "deleted.bin", "wal.corrupt.bin"}) put(dir, f, "stale");
  Spec s;
  s.n = 3;
  s.dim = 2;
  s.data = mixture(3, 2, 8);
  s.ids = make_ids(3);
  ASSERT_TRUE(s.run(dir).ok());
  for (const char* f : {"wal.bin", "delta.bin", "deleted.bin", "wal.corrupt.bin"})
    EXPECT_FALSE(fs::exists(dir + "/" + f)) << f;
}

TEST_F(BuildTest, StaleLogThatCannotBeRemovedFailsTheBuild) {
  // A wal.bin that cannot be unlinked (here a non-empty directory in its place) must fail the
  // build: left behind, it would be replayed onto the new slots.
  for (const char* stale : {"wal.bin", "delta.bin", "deleted.bin", "wal.corrupt.bin"}) {
    SCOPED_TRACE(stale);
    const std::string dir = sub(std::string("seg_") + stale);
    ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
    const std::string blocker = dir + "/" + stale;
    ASSERT_EQ(::mkdir(blocker.c_str(), 0777), 0);
    put(blocker, "x", "keeps the directory non-empty");
    Spec s;
    s.n = 3;
    s.dim = 2;
    s.data = mixture(3, 2, 8);
    s.ids = make_ids(3);
    EXPECT_FALSE(s.run(dir).ok());
    EXPECT_FALSE(fs::exists(dir + "/manifest.bin"));
  }
}

TEST_F(BuildTest, NewDirectoriesAreDurableBeforeAnyFileIsWritten) {
  // The first file the build creates fails; by then each directory it made (three levels
  // below an existing one) has been made durable by an fsync of its parent.
  const std::string dir = sub("a/b/seg");
  Spec s;
  s.n = 3;
  s.dim = 2;
  s.data = mixture(3, 2, 8);
  s.ids = make_ids(3);
  {
    fo::ScopedFaults f(fo::Fault{fo::Op::OpenWrite, 1, fo::Action::Errno, EIO, 0});
    EXPECT_FALSE(s.run(dir).ok());
    EXPECT_EQ(fo::calls(fo::Op::Mkdir), 5u);  // two attempts meet a missing parent first
    EXPECT_EQ(fo::calls(fo::Op::Fsync), 3u);
  }
  EXPECT_TRUE(fs::is_directory(dir));
  // A parent that cannot be opened for its fsync is an error, not a silent success.
  fs::remove_all(sub("a"));
  {
    fo::ScopedFaults f(fo::Fault{fo::Op::Fsync, 2, fo::Action::Errno, EIO, 1});
    EXPECT_FALSE(s.run(dir).ok());
  }
  fs::remove_all(sub("a"));
  ASSERT_TRUE(s.run(dir).ok());
}

TEST_F(BuildTest, QuantScaleGivenOrComputed) {
  struct Case {
    std::vector<float> data;
    float given, want;
  };
  const float nan = std::nanf("");
  const Case cases[] = {
      {{0, 0, 0, 0}, 0.f, 1e-6f},         {{0, 0, 0, 0}, 0.5f, 0.5f},   {{1, -7.5f, 2, 3}, 0.f, 7.5f},
      {{1, -7.5f, nan, 3}, -1.f, 7.5f},   {{1, 2, 3, 4}, nan, 4.f},     {{1, 2, 3, 4}, 100.f, 100.f},
  };
  int i = 0;
  for (const Case& c : cases) {
    if (!(c.given > 0)) {
      EXPECT_EQ(build_quant_scale(c.data), c.want);
    }
    const std::string dir = sub("q" + std::to_string(i++));
    BuildParams p;
    p.quant_scale = c.given;
    ASSERT_TRUE(build_segment(dir, c.data, 2, 2, {"a", "b"}, {}, {}, {}, {}, {}, p).ok());
    EXPECT_EQ(manifest(dir).quant_scale, c.want) << i;
  }
}

TEST_F(BuildTest, InvalidInputsRefusedBeforeTouchingDisk) {
  struct Case {
    size_t n, dim, data_len, ids_len;
    std::string want;
  };
  const Case cases[] = {
      {1, 0, 0, 1, "build: dim must be >= 1"},
      {2, 3, 5, 2, "build: data.len()=5 (expected 6) or ids.len()=2 (expected 2)"},
      {2, 3, 6, 3, "build: data.len()=6 (expected 6) or ids.len()=3 (expected 2)"},
      {4294967295ull, 1, 0, 0, "build: n=4294967295 rows exceed the slot space (at most 4294967294 rows)"},
      {0, 262144, 0, 0, "build: dim 262144 exceeds 262143, the largest dim whose int8 code energy fits 32 bits"},
  };
  for (const Case& c : cases) {
    const std::string dir = sub("never");
    std::vector<float> data(c.data_len, 1.f);
    Status st = build_segment(dir, data, c.n, c.dim, std::vector<std::string>(c.ids_len, "x"), {}, {}, {}, {}, {}, {});
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(st.error().text(), c.want);
    EXPECT_FALSE(fs::exists(dir));
  }

  // A metadata text that is not JSON: invalid data, nothing written.
  const std::vector<std::string> texts = {"{}", "{\"a\": }"};
  std::vector<float> data = {1, 2};
  Status st = build_segment(sub("never"), data, 2, 1, {"a", "b"}, BuildMetadata::texts(texts), {}, {}, {}, {}, {});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(st.error().text(), "build: metadata[1] is not valid JSON (" + json::parse(texts[1]).error().text +
                                  "); pass \"{}\" or \"null\" explicitly");
  EXPECT_FALSE(fs::exists(sub("never")));

  // Across several parse batches the first bad text in input order is the one reported.
  std::vector<std::string> many(9000, "{\"c\": 1}");
  many[8500] = "[";
  many[8999] = "]";
  std::vector<float> many_data(9000, 1.f);
  st = build_segment(sub("never"), many_data, 9000, 1, make_ids(9000), BuildMetadata::texts(many), {}, {}, {}, {}, {});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().text().rfind("build: metadata[8500] is not valid JSON (", 0), 0u) << st.error().text();
  EXPECT_FALSE(fs::exists(sub("never")));

  // A directory that cannot be created: the OS error unchanged.
  put(root, "file", "x");
  st = build_segment(sub("file/seg"), data, 2, 1, {"a", "b"}, {}, {}, {}, {}, {}, {});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().os_code(), ENOTDIR);
}

TEST_F(BuildTest, ByteIdenticalWhateverThePoolSize) {
  Spec s = mixed_spec(2500, 37);
  s.params.n_clusters = 24;
  s.params.n_bits = 3;
  s.skip = {"flag"};
  std::vector<std::string> texts;
  for (const auto& v : s.meta) texts.push_back(v.dump(1));
  std::vector<std::string> dirs;
  for (size_t threads : {1, 2, 8}) {
    dirs.push_back(sub("t" + std::to_string(threads)));
    parallel::with_threads(threads, [&] {
      ASSERT_TRUE(build_segment(dirs.back(), s.data, s.n, s.dim, s.ids, BuildMetadata::texts(texts), s.sparse, s.skip,
                                {}, {}, s.params)
                      .ok());
    });
  }
  const std::set<std::string> names = listing(dirs[0]);
  for (size_t i = 1; i < dirs.size(); ++i) {
    EXPECT_EQ(listing(dirs[i]), names);
    for (const auto& name : names)
      if (name != "crcs.bin") {
      EXPECT_EQ(get(dirs[i], name), get(dirs[0], name)) << name << " at " << dirs[i];
    }
    EXPECT_EQ(crcs(dirs[i]), crcs(dirs[0]));
  }
}

TEST_F(BuildTest, BuiltSegmentOpensAndVerifies) {
  // What the build writes is what the open reads: every id resolves to the slot holding its
  // row, the checksums verify, and a rebuild over an old segment's log files opens clean.
  Spec s = mixed_spec(500, 33);
  const std::string dir = sub("seg");
  ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
  put(dir, "wal.bin", "not a log");
  ASSERT_TRUE(s.run(dir).ok());
  auto idx = index::IvfIndex::open_with_skip(dir, std::nullopt);
  ASSERT_TRUE(idx.ok()) << idx.error().text();
  EXPECT_EQ((*idx)->main_rows(), 500u);
  EXPECT_EQ((*idx)->live_count(), 500u);
  EXPECT_TRUE((*idx)->verify_under(~0ull).ok());
  std::vector<size_t> row_at = input_row_at(dir);
  for (size_t slot = 0; slot < 500; ++slot) {
    auto got = (*idx)->slot_of("id" + std::to_string(row_at[slot]));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, slot);
  }
}

TEST(BuildEncode, ParallelEncodingEqualsSequentialReference) {
  const size_t n = 1500, dim = 45, k = 7;
  std::vector<float> rows = mixture(n, dim, 21);
  std::fill_n(rows.begin(), dim, 0.f);                          // a zero row
  std::copy_n(rows.begin() + dim * 5, dim, rows.begin() + dim * 6);  // equal rows, maybe other clusters
  std::vector<float> centroids = mixture(k, dim, 22);
  std::vector<uint32_t> cluster(n);
  for (size_t r = 0; r < n; ++r) cluster[r] = static_cast<uint32_t>((r * 5) % k);
  cluster[5] = 1;
  cluster[6] = 2;
  SlotOrder order = order_by_cluster(cluster, k);
  codec::Rotator rot = codec::Rotator::build(dim, codec::rotation_seed(77), true);
  const uint32_t n_bits = 4;
  const size_t words = rot.pad / 64, cw = n_bits * words;

  // Sequential reference: row by row in input order.
  std::vector<uint64_t> codes(n * cw);
  std::vector<float> factors(n * 4);
  std::vector<uint8_t> orig(n * dim), origscale(n * 8);
  std::vector<float> resid(dim), rotated(rot.pad);
  for (size_t r = 0; r < n; ++r) {
    const size_t s = order.slot_of[r];
    for (size_t j = 0; j < dim; ++j) resid[j] = rows[r * dim + j] - centroids[cluster[r] * dim + j];
    rot.rotate_into(resid, rotated);
    codec::encode_rotated_bbit(rotated, dim, n_bits, words, std::span<uint64_t>(codes).subspan(s * cw, cw),
                               std::span<float, 4>(factors.data() + s * 4, 4));
    quant::RowCode rc = quant::encode_pow2_row(rows.data() + r * dim, dim, orig.data() + s * dim);
    quant::store_origscale_record(origscale.data() + s * 8, rc);
  }
  EXPECT_EQ(storage::load_u32(origscale.data() + order.slot_of[0] * 8 + 4), 2u);  // zero row: e8 = 2
  const size_t s5 = order.slot_of[5], s6 = order.slot_of[6];
  EXPECT_EQ(0, std::memcmp(orig.data() + s5 * dim, orig.data() + s6 * dim, dim));
  EXPECT_NE(0, std::memcmp(codes.data() + s5 * cw, codes.data() + s6 * cw, cw * 8));

  for (size_t threads : {1, 2, 8}) {
    std::vector<uint64_t> c2(n * cw);
    std::vector<float> f2(n * 4);
    std::vector<uint8_t> o2(n * dim), os2(n * 8);
    parallel::with_threads(threads, [&] {
      encode_build_rows(rows, n, dim, centroids, cluster, order.slot_of, rot, n_bits, EncodedRows{c2, f2, o2, os2});
    });
    EXPECT_EQ(c2, codes) << threads;
    EXPECT_EQ(0, std::memcmp(f2.data(), factors.data(), f2.size() * 4)) << threads;
    EXPECT_EQ(o2, orig) << threads;
    EXPECT_EQ(os2, origscale) << threads;
  }
}

}  // namespace
