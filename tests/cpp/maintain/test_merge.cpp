// Merge checked against a plain step-by-step model: the model collects the surviving rows,
// rebuilds their vectors, samples, clusters (the k-means service), assigns by a scan over all
// centroids, orders, re-encodes and types the metadata in the simplest possible way, and
// writes every output file in memory; the merged directory must equal it byte for byte, with
// maintenance pools of 1, 2 and 8 threads. Plus the argument rules (output dir, dims, plan,
// sample cap, batch size) and the refusal of a row whose id cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/maint_pool.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/maintain/merge.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/segment/verify.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using index::IvfIndex;
using storage::Manifest;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;
using Files = std::map<std::string, std::vector<uint8_t>>;
namespace fs = std::filesystem;

template <class T>
void put(std::vector<uint8_t>& out, const T& v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}

struct Row {
  std::string id, meta;
  std::vector<float> x;
  storage::SparsePairs sparse;
};

// ---- the model ---------------------------------------------------------------------------

struct Model {
  Files files;
  Manifest manifest;
  std::vector<std::string> dropped;
};

Model model_merge(const std::vector<std::string>& dirs, const std::set<std::string>& tomb, uint64_t n_clusters,
                  float scale, const std::vector<std::string>& skip, uint64_t n_bits_arg, uint64_t seed) {
  Model out;
  std::vector<Row> rows;
  std::map<std::string, size_t> pos;
  size_t dim = 0;
  for (const std::string& d : dirs) {
    auto ix = IvfIndex::open_with_skip(d, std::nullopt).value();
    const Manifest& M = ix->manifest;
    dim = M.dim;
    const float qs = M.quant_scale;
    const uint64_t n = M.n;
    auto tombs = ix->locks().tombstones.read();
    auto delta = ix->locks().delta.read();
    const auto rd = predicate::reverse_dictionaries(M.fields);
    std::map<uint32_t, storage::SparsePairs> sp;
    ix->sparse_iter([&](uint32_t t, uint32_t s, float w) { sp[s].emplace_back(t, w); });
    auto take = [&](Row r) {
      if (tomb.count(r.id)) {
        out.dropped.push_back(r.id);
        return;
      }
      auto it = pos.find(r.id);
      if (it != pos.end()) {
        rows[it->second] = std::move(r);
      } else {
        pos[r.id] = rows.size();
        rows.push_back(std::move(r));
      }
    };
    for (uint32_t s = 0; s < n; ++s) {
      if (tombs->contains(s)) continue;
      Row r;
      r.id = std::string(*ix->ext_id(s));
      r.meta = ix->row_meta_str(s, rd, delta->meta);
      r.sparse = sp[s];
      const uint8_t* b = ix->orig_bin.view().data() + s * dim;
      float sc = qs;
      if (ix->origscale_bin) {
        const uint8_t e = ix->origscale_bin->bytes()[s * 8 + 4];
        sc = std::ldexp(1.0f, std::max<int>(e, 2) - 128);
      }
      for (size_t i = 0; i < dim; ++i) r.x.push_back((static_cast<float>(b[i]) - 128.0f) / 127.0f * sc);
      take(std::move(r));
    }
    for (uint32_t dd = 0; dd < delta->rows(); ++dd) {
      if (tombs->contains(static_cast<uint32_t>(n + dd))) continue;
      Row r;
      r.id = delta->ids[dd];
      r.meta = ix->row_meta_str(static_cast<uint32_t>(n + dd), rd, delta->meta);
      if (dd < delta->sparse.size()) r.sparse = delta->sparse[dd];
      const uint8_t* b = delta->rerank.data() + dd * (dim + 1);
      const float sc = b[dim] == 0 ? (std::isnan(qs) ? 1e-9f : std::fmax(qs, 1e-9f))
                                   : std::ldexp(1.0f, std::max<int>(b[dim], 2) - 128);
      for (size_t i = 0; i < dim; ++i) r.x.push_back((static_cast<float>(b[i]) - 128.0f) / 127.0f * sc);
      take(std::move(r));
    }
  }
  const size_t n = rows.size();
  if (n == 0) return out;
  const uint32_t nb = n_bits_arg == 0 ? 1 : std::min<uint64_t>(n_bits_arg, 8);
  size_t k = n_clusters ? n_clusters : static_cast<size_t>(std::floor(std::sqrt(double(n))));
  k = std::max<size_t>(1, std::min(k, n));
  const size_t m = std::min({std::max<size_t>(40 * k, 50000), size_t(1000000), n});
  k = std::min(k, m);
  std::vector<float> sample;
  for (size_t j = 0; j < m; ++j) {
    const auto& x = rows[j * n / m].x;
    sample.insert(sample.end(), x.begin(), x.end());
  }
  const auto cent = kmeans::kmeans(sample, m, dim, k, seed);
  std::vector<uint32_t> cl(n);
  float M = 0;
  for (size_t i = 0; i < n; ++i) {
    float best = INFINITY;
    for (size_t c = 0; c < k; ++c) {
      const float d = distance::sq_l2(rows[i].x.data(), cent.data() + c * dim, dim);
      if (d < best) best = d, cl[i] = static_cast<uint32_t>(c);
    }
    for (float v : rows[i].x)
      if (!std::isnan(v)) M = std::max(M, std::fabs(v));
  }
  const float qs = scale > 0 ? scale : std::max(M, 1e-6f);
  std::vector<uint32_t> order;
  std::vector<uint32_t> offsets{0};
  for (size_t c = 0; c < k; ++c) {
    for (size_t i = 0; i < n; ++i)
      if (cl[i] == c) order.push_back(static_cast<uint32_t>(i));
    offsets.push_back(static_cast<uint32_t>(order.size()));
  }
  // Typing.
  std::map<std::string, int> flags;
  const std::set<std::string> skipped(skip.begin(), skip.end());
  for (const Row& r : rows) {
    auto doc = json::parse(r.meta);
    if (!doc.ok() || !doc->is_object()) continue;
    for (const auto& [key, v] : doc->items())
      if (!v.is_null() && !skipped.count(key)) flags[key] |= v.is_number() ? 1 : 2;
  }
  std::vector<storage::FieldSchema> fields;
  std::map<std::string, int> num_of, str_of;
  int nn = 0, ns = 0;
  for (const auto& [key, f] : flags) {
    if (f & 1) fields.push_back({key, true, {}}), num_of[key] = nn++;
    if (f & 2) fields.push_back({key, false, {}}), str_of[key] = ns++;
  }
  std::vector<std::map<std::string, uint32_t>> dicts(ns);
  const codec::Rotator rot = codec::Rotator::build(dim, seed ^ 0x5241424954513171ull, true);
  const size_t words = rot.pad / 64;
  Files& F = out.files;
  std::vector<uint64_t> moff{0}, ioff{0};
  std::vector<std::pair<uint64_t, uint32_t>> hashes;
  std::map<uint32_t, storage::SparsePairs> post;
  for (size_t p = 0; p < n; ++p) {
    const Row& r = rows[order[p]];
    std::vector<float> res(dim), rotd(rot.pad);
    for (size_t j = 0; j < dim; ++j) res[j] = r.x[j] - cent[cl[order[p]] * dim + j];
    rot.rotate_into(res, rotd);
    std::vector<uint64_t> code(nb * words);
    std::array<float, 4> fac{};
    codec::encode_rotated_bbit(rotd, dim, nb, words, code, std::span<float, 4>(fac));
    for (uint64_t w : code) put(F["codes.bin"], w);
    for (float f : fac) put(F["metas.bin"], f);
    float a = 0;
    for (float v : r.x)
      if (!std::isnan(v)) a = std::max(a, std::fabs(v));
    int E = 2;
    if (a > 0 && std::isfinite(a)) {
      int e = static_cast<int>(std::ceil(std::log2(a)));
      while (a > std::ldexp(1.0f, e)) ++e;
      while (e > -126 && a <= std::ldexp(1.0f, e - 1)) --e;
      E = std::clamp(e, -126, 127) + 128;
    }
    const float s = std::ldexp(1.0f, E - 128);
    uint32_t energy = 0;
    for (float v : r.x) {
      float t = v * (1.0f / s) * 127.0f + 128.0f;
      uint8_t b = 0;
      if (!std::isnan(t)) {
        t = std::clamp(t, 0.0f, 255.0f);
        const float fl = std::floor(t);
        b = static_cast<uint8_t>(fl + (t - fl >= 0.5f ? 1.0f : 0.0f));
      }
      F["orig.bin"].push_back(b);
      energy += (b - 128) * (b - 128);
    }
    put(F["origscale.bin"], energy);
    put(F["origscale.bin"], static_cast<uint32_t>(E));
    std::vector<double> nv(nn, std::nan(""));
    std::vector<uint32_t> sv(ns, 0xFFFFFFFFu);
    auto doc = json::parse(r.meta);
    if (doc.ok() && doc->is_object()) {
      for (const auto& [key, v] : doc->items()) {
        if (v.is_number() && num_of.count(key)) nv[num_of[key]] = json::number_as_f64(v);
        // A null is the key's absence: nothing in either column.
        if (!v.is_number() && !v.is_null() && str_of.count(key)) {
          auto& dct = dicts[str_of[key]];
          const std::string t = predicate::str_key_typed(v);
          if (!dct.count(t)) dct[t] = static_cast<uint32_t>(dct.size());
          sv[str_of[key]] = dct[t];
        }
      }
    }
    for (int i = 0; i < nn; ++i) put(F["num_" + std::to_string(i) + ".bin"], nv[i]);
    for (int j = 0; j < ns; ++j) put(F["str_" + std::to_string(j) + ".bin"], sv[j]);
    F["meta.bin"].insert(F["meta.bin"].end(), r.meta.begin(), r.meta.end());
    moff.push_back(moff.back() + r.meta.size());
    F["ids.bin"].insert(F["ids.bin"].end(), r.id.begin(), r.id.end());
    ioff.push_back(ioff.back() + r.id.size());
    hashes.emplace_back(storage::fnv1a64(r.id), static_cast<uint32_t>(p));
    for (auto [t, w] : r.sparse) post[t].emplace_back(static_cast<uint32_t>(p), w);
  }
  F["meta.bin"];
  F["ids.bin"];
  for (uint64_t v : moff) put(F["meta_off.bin"], v);
  for (uint64_t v : ioff) put(F["ids_off.bin"], v);
  std::sort(hashes.begin(), hashes.end());
  for (auto [h, s] : hashes) put(F["idhash.bin"], h), put(F["idhash.bin"], s);
  F["sparse.bin"] = storage::encode_sparse(post);
  int j = 0;
  for (auto& f : fields)
    if (!f.numeric) f.dict.insert(dicts[j].begin(), dicts[j].end()), ++j;
  Manifest& mf = out.manifest;
  mf.dim = dim;
  mf.pad = rot.pad;
  mf.words_per_plane = words;
  mf.n_bits = nb;
  mf.n_clusters = k;
  mf.n = n;
  mf.seed = seed;
  mf.quant_scale = qs;
  mf.centroids = cent;
  mf.offsets = offsets;
  mf.fields = fields;
  mf.fit_count = n;
  return out;
}

// ---- inputs ------------------------------------------------------------------------------

struct Inputs {
  TempDir tmp;
  std::vector<std::string> dirs;
};

// Three sources: A (ids files, meta.bin, origscale, sparse, a tombstone, delta rows upserting
// an id and adding one, one deleted), B (legacy manifest ids, no meta.bin, no origscale, a field
// typed differently, quant_scale 0.5), C (quant_scale 0 with a delta row without exponent,
// so its vector comes from the 1e-9 floor; a row shared with A and B).
void make_inputs(Inputs& in) {
  const std::string a = in.tmp.file("a"), b = in.tmp.file("b"), c = in.tmp.file("c");
  {
    SegmentSpec s;
    s.dim = 12;
    s.n_bits = 2;
    s.ids = tandrel_test::make_ids(30, "x");
    for (int i = 0; i < 30; ++i)
      s.metas.push_back(i % 5 == 0 ? "{\"k\":null,\"s\":\"v" + std::to_string(i % 3) + "\"}"
                                   : "{\"k\":" + std::to_string(i) + ",\"B\":true,\"arr\":[1,2],\"drop\":1}");
    for (int i = 0; i < 30; ++i) s.sparse.push_back(i % 4 ? storage::SparsePairs{{7u, 0.5f * i}, {3u, 1.0f}} : storage::SparsePairs{});
    s.delta = tandrel_test::make_delta(s, {"x3", "newA", "x9"}, {"{\"k\":\"three\"}", "[1]", "{\"k\":1.5}"});
    s.tombstones = std::vector<uint32_t>{1, 32};  // main x1, delta x9
    tandrel_test::write_segment(a, s);
  }
  {
    SegmentSpec s;
    s.dim = 12;
    s.n_bits = 4;
    s.n_clusters = 3;
    s.quant_scale = 0.5f;
    s.ids = tandrel_test::make_ids(20, "x");  // x0..x19 shared with A: B wins
    for (int i = 0; i < 20; ++i) s.metas.push_back("{\"k\":\"b" + std::to_string(i % 4) + "\",\"n\":" + std::to_string(i) + "}");
    s.ids_files = false;
    s.meta_files = false;
    s.origscale = false;
    s.format_version = 2;
    tandrel_test::write_segment(b, s);
  }
  {
    SegmentSpec s;
    s.dim = 12;
    s.quant_scale = 0.0f;
    s.ids = {"c0", "x5", "c2", "gone"};
    s.metas = {"{}", "{\"z\":\"c\"}", "not json", "{\"g\":1}"};
    s.delta = tandrel_test::make_delta(s, {"cd0", "cd1"}, {"{\"q\":2}", "null"});
    s.delta->rerank[12] = 0;  // cd0 carries no exponent
    tandrel_test::write_segment(c, s);
  }
  in.dirs = {a, b, c};
}

void expect_matches_model(const std::string& out, const Model& m) {
  for (const auto& [name, bytes] : m.files) {
    ASSERT_TRUE(fs::exists(out + "/" + name)) << name;
    EXPECT_EQ(tandrel_test::read_all(out + "/" + name), bytes) << name;
  }
  const Manifest got = storage::decode_manifest(storage::read_manifest_bin(out + "/manifest.bin").value()).value();
  EXPECT_EQ(got, m.manifest);
  const auto crcs = storage::read_file_crcs(out + "/crcs.bin").value();
  EXPECT_EQ(crcs.size(), m.files.size());
  for (const auto& [name, bytes] : m.files) EXPECT_EQ(crcs.at(name), storage::crc32(bytes)) << name;
  EXPECT_EQ(tandrel_test::read_all(out + "/generation"), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(storage::read_format_version(out).value(), 3u);
}

Result<index::MergeResult> run_merge(const std::string& out, const std::vector<std::string>& dirs,
                                     const std::unordered_set<std::string>& tomb, uint64_t k, float scale,
                                     const std::vector<std::string>& skip, uint64_t n_bits, uint64_t seed) {
  return IvfIndex::merge(out, dirs, tomb, k, scale, skip, {}, {}, n_bits, seed);
}

TEST(Merge, FilesEqualTheModelOnEveryPoolSize) {
  Inputs in;
  make_inputs(in);
  struct Case {
    std::set<std::string> tomb;
    uint64_t k;
    float scale;
    std::vector<std::string> skip;
    uint64_t n_bits;
  } cases[] = {
      {{}, 0, 0.0f, {}, 2},
      {{"x4", "x7", "nowhere"}, 5, 0.0f, {"drop"}, 0},
      {{"x2"}, 100, 0.75f, {"k", "s"}, 9},
      {{}, 2, -1.0f, {}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "k=" << c.k << " scale=" << c.scale << " bits=" << c.n_bits);
    const Model m = model_merge(in.dirs, c.tomb, c.k, c.scale, c.skip, c.n_bits, 7);
    std::vector<std::vector<uint8_t>> first;
    for (size_t threads : {1, 2, 8}) {
      const std::string out = in.tmp.file("out" + std::to_string(threads) + "_" + std::to_string(c.k));
      auto pool = maint::Pool::create({0, threads});
      ASSERT_TRUE(pool);
      std::optional<Result<index::MergeResult>> r;
      const std::unordered_set<std::string> tomb(c.tomb.begin(), c.tomb.end());
      pool->run_job([&] { r.emplace(run_merge(out, in.dirs, tomb, c.k, c.scale, c.skip, c.n_bits, 7)); });
      ASSERT_TRUE(r->ok()) << r->error().text();
      EXPECT_EQ(r->value().rows, m.manifest.n);
      EXPECT_EQ(r->value().dropped, m.dropped);
      expect_matches_model(out, m);
      auto ix = IvfIndex::open_with_skip(out, std::nullopt);
      ASSERT_TRUE(ix.ok()) << ix.error().text();
      EXPECT_EQ((*ix)->live_count(), m.manifest.n);
    }
  }
}

TEST(Merge, NeighbourListAssignmentMatchesTheScan) {
  // From 512 clusters rows are assigned by descent over neighbour lists; the files must still
  // equal the model's, which scans every centroid.
  TempDir tmp;
  SegmentSpec s;
  s.dim = 6;
  s.ids = tandrel_test::make_ids(1100, "n");
  tandrel_test::write_segment(tmp.file("in"), s);
  for (uint64_t k : {511u, 512u}) {
    const std::string out = tmp.file("o" + std::to_string(k));
    ASSERT_TRUE(run_merge(out, {tmp.file("in")}, {}, k, 0, {}, 1, 11).ok());
    expect_matches_model(out, model_merge({tmp.file("in")}, {}, k, 0, {}, 1, 11));
  }
}

TEST(Merge, DuplicatesTombstonesAndDroppedIds) {
  Inputs in;
  make_inputs(in);
  const std::string out = in.tmp.file("o");
  // x5 is live in A, B and C: listed three times; x1 is tombstoned inside A only (and live in B).
  auto r = run_merge(out, in.dirs, {"x5", "nowhere"}, 0, 0, {}, 2, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->dropped, (std::vector<std::string>{"x5", "x5", "x5"}));
  auto ix = IvfIndex::open_with_skip(out, std::nullopt).value();
  EXPECT_TRUE(ix->slot_of("x1").has_value());
  EXPECT_FALSE(ix->slot_of("x5").has_value());
  EXPECT_TRUE(ix->slot_of("x9").has_value());  // deleted in A's delta, live in B
  // Every distinct live id once.
  std::set<std::string> ids;
  for (uint32_t s = 0; s < ix->main_rows(); ++s) ids.insert(std::string(*ix->ext_id(s)));
  EXPECT_EQ(ids.size(), ix->main_rows());
  // x3: A's delta upsert wins over A's main row, then B's main row wins over both.
  const auto rd = predicate::reverse_dictionaries(ix->manifest.fields);
  EXPECT_EQ(ix->row_meta_str(*ix->slot_of("x3"), rd, {}), "{\"k\":\"b3\",\"n\":3.0}");
  EXPECT_EQ(ix->row_meta_str(*ix->slot_of("c2"), rd, {}), "null");
}

TEST(Merge, EverythingDroppedWritesNothing) {
  TempDir tmp;
  SegmentSpec s;
  s.ids = {"a", "b"};
  tandrel_test::write_segment(tmp.file("in"), s);
  auto r = run_merge(tmp.file("out"), {tmp.file("in")}, {"a", "b"}, 0, 0, {}, 1, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->rows, 0u);
  EXPECT_EQ(r->dropped, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(fs::exists(tmp.file("out")));
  auto empty = run_merge(tmp.file("out"), {}, {}, 0, 0, {}, 1, 1);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->rows, 0u);
  EXPECT_FALSE(fs::exists(tmp.file("out")));
}

TEST(Merge, OutputThatIsAnInputIsRefusedBeforeAnyOpen) {
  TempDir tmp;
  SegmentSpec s;
  s.ids = {"a"};
  const std::string in = tmp.file("seg");
  tandrel_test::write_segment(in, s);
  ASSERT_EQ(::symlink(in.c_str(), tmp.file("link").c_str()), 0);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const std::string rel = fs::relative(in, cwd).string();
  const std::string spellings[] = {in, in + "/", in + "//", tmp.path() + "//./seg", tmp.file("link"),
                                   tmp.path() + "/sub/../seg", rel};
  fs::create_directory(tmp.file("sub"));
  const uint64_t opens = index::OPEN_COUNT.load();
  for (const std::string& out : spellings) {
    auto r = run_merge(out, {in}, {}, 0, 0, {}, 1, 1);
    ASSERT_FALSE(r.ok()) << out;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(r.error().text(), "merge: output dir must not be one of the input dirs") << out;
  }
  EXPECT_EQ(index::OPEN_COUNT.load(), opens);
  EXPECT_FALSE(maintain::same_path_components("./a", "a"));
  EXPECT_TRUE(maintain::same_path_components("a/./b/", "a//b"));
  EXPECT_FALSE(maintain::same_path_components("/a", "a"));
}

TEST(Merge, DifferentDimsAndUnreadableIdsFail) {
  TempDir tmp;
  SegmentSpec s8, s4;
  s8.ids = {"a"};
  s4.dim = 4;
  s4.ids = {"b"};
  tandrel_test::write_segment(tmp.file("d8"), s8);
  tandrel_test::write_segment(tmp.file("d4"), s4);
  auto r = run_merge(tmp.file("o"), {tmp.file("d8"), tmp.file("d4")}, {}, 0, 0, {}, 1, 1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(r.error().text(), "merge: segment dim 4 != expected 8 (cannot merge segments of differing dimensionality)");
  EXPECT_FALSE(fs::exists(tmp.file("o")));

  // A row whose id bytes are not UTF-8 fails the merge instead of becoming the empty id.
  SegmentSpec bad;
  bad.ids = {"ok", "\xff\xfe"};
  tandrel_test::write_segment(tmp.file("bad"), bad);
  auto r2 = run_merge(tmp.file("o2"), {tmp.file("bad")}, {}, 0, 0, {}, 1, 1);
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(r2.error().text().rfind("corrupt index: id of row 1 of input " + tmp.file("bad"), 0), 0u)
      << r2.error().text();
  EXPECT_FALSE(fs::exists(tmp.file("o2") + "/manifest.bin"));
}

TEST(Merge, ReusedOutputDirectoryIsCleared) {
  Inputs in;
  make_inputs(in);
  const std::string out = in.tmp.file("reuse");
  fs::create_directories(out);
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin", "manifest.bin"})
    tandrel_test::write_all(out + "/" + f, {1, 2, 3});
  tandrel_test::write_all(out + "/codes.bin", std::vector<uint8_t>(100000, 7));
  ASSERT_TRUE(run_merge(out, in.dirs, {}, 0, 0, {}, 2, 3).ok());
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin"})
    EXPECT_FALSE(fs::exists(out + "/" + f)) << f;
  const Model m = model_merge(in.dirs, {}, 0, 0, {}, 2, 3);
  expect_matches_model(out, m);
}

TEST(MergeRules, PlanSampleCapAndBatch) {
  struct Plan {
    size_t n;
    uint64_t k_arg, cap;
    size_t k, m;
  } plans[] = {{10, 0, 1000000, 3, 10},   {20, 50, 1000000, 20, 20}, {1000, 100, 10, 10, 10},
               {1, 0, 1000000, 1, 1},     {100000, 0, 1000000, 316, 50000}, {200000, 2000, 1000000, 2000, 80000}};
  for (const auto& p : plans) {
    const auto got = maintain::merge_plan(p.n, p.k_arg, p.cap);
    EXPECT_EQ(got.k, p.k) << p.n << " " << p.k_arg;
    EXPECT_EQ(got.m, p.m) << p.n << " " << p.k_arg;
  }
  struct Env {
    const char* v;
    uint64_t want;
  } envs[] = {{nullptr, 1000000}, {"+500", 500}, {"500", 500}, {" 500", 1000000}, {"500 ", 1000000},
              {"5e2", 1000000},   {"-5", 1000000}, {"+", 1000000}, {"0", 1000000}, {"", 1000000},
              {"18446744073709551616", 1000000}};
  for (const auto& e : envs)
    EXPECT_EQ(maintain::read_merge_sample_env(e.v ? std::optional<std::string_view>(e.v) : std::nullopt), e.want)
        << (e.v ? e.v : "(unset)");
  EXPECT_EQ(maintain::merge_batch_rows(100000, 2, 2, 128), 16384u);
  EXPECT_EQ(maintain::merge_batch_rows(500, 2, 2, 128), 500u);
  EXPECT_EQ(maintain::merge_batch_rows(1000000, 8, 4096, 262143), 1024u);
}

}  // namespace
