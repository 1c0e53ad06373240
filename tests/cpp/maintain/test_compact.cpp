// Compaction checked against a plain step-by-step model that reads the source directory's
// files itself and writes every output file in memory; the output must equal it byte for
// byte. Plus the repairs compaction makes to a reused output directory, the refusal of a
// row whose id cannot be read, and failures injected at each file operation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using storage::Delta;
using storage::FieldSchema;
using storage::Manifest;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;
using Files = std::map<std::string, std::vector<uint8_t>>;
namespace fs = std::filesystem;

std::vector<uint8_t> read_or_empty(const std::string& p, bool* exists = nullptr) {
  std::error_code ec;
  const bool e = fs::exists(p, ec);
  if (exists) *exists = e;
  return e ? tandrel_test::read_all(p) : std::vector<uint8_t>{};
}

template <class T>
std::vector<T> as(const std::vector<uint8_t>& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

template <class T>
void put(std::vector<uint8_t>& out, const T& v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}

uint8_t round_half_up_byte(float t) {
  if (std::isnan(t)) return 0;
  t = std::min(std::max(t, 0.0f), 255.0f);
  const float f = std::floor(t);
  return static_cast<uint8_t>(f + ((t - f) >= 0.5f ? 1.0f : 0.0f));
}

// What a framed writer puts on disk, captured through a scratch directory.
template <class F>
std::vector<uint8_t> bytes_written_by(F&& write) {
  TempDir tmp;
  write(tmp.path());
  for (const auto& e : fs::directory_iterator(tmp.path())) return tandrel_test::read_all(e.path());
  return {};
}

// The model: the compaction of the segment in `src` as a list of steps over whole files.
Files model_compact(const std::string& src, const std::vector<FieldSchema>& live_fields, uint32_t format_version,
                    const Delta& delta, const std::set<uint32_t>& tomb, uint64_t gen) {
  const Manifest M = storage::decode_manifest(storage::read_manifest_bin(src + "/manifest.bin").value()).value();
  const uint64_t n = M.n, dim = M.dim, W = M.n_bits * M.words_per_plane;
  const auto codes = as<uint64_t>(tandrel_test::read_all(src + "/codes.bin"));
  const auto metas = as<float>(tandrel_test::read_all(src + "/metas.bin"));
  const auto orig = tandrel_test::read_all(src + "/orig.bin");
  bool has_os = false;
  const auto origscale = read_or_empty(src + "/origscale.bin", &has_os);
  std::vector<std::vector<double>> num_src;
  std::vector<std::vector<uint32_t>> str_src;
  for (const auto& f : M.fields) {
    if (f.numeric) num_src.push_back(as<double>(tandrel_test::read_all(src + "/num_" + std::to_string(num_src.size()) + ".bin")));
    else str_src.push_back(as<uint32_t>(tandrel_test::read_all(src + "/str_" + std::to_string(str_src.size()) + ".bin")));
  }
  bool has_meta = false, has_meta_off = false;
  const auto meta_bin = read_or_empty(src + "/meta.bin", &has_meta);
  const auto meta_off = as<uint64_t>(read_or_empty(src + "/meta_off.bin", &has_meta_off));
  const bool meta_pair = has_meta && has_meta_off && meta_off.size() == n + 1 && meta_off[0] == 0 && meta_off[n] == meta_bin.size();
  bool has_ids = false;
  const auto ids_bin = read_or_empty(src + "/ids.bin", &has_ids);
  const auto ids_off = as<uint64_t>(read_or_empty(src + "/ids_off.bin"));
  const bool id_pair = has_ids && ids_off.size() == n + 1;
  auto id_of_main = [&](uint64_t s) -> std::string {
    if (id_pair) return std::string(ids_bin.begin() + ids_off[s], ids_bin.begin() + ids_off[s + 1]);
    return M.ids[s];
  };
  // Main postings (term -> (slot, weight)) from sparse.bin or the legacy map.
  std::vector<std::tuple<uint32_t, uint32_t, float>> main_postings;
  bool has_sparse = false;
  const auto sparse_bin = read_or_empty(src + "/sparse.bin", &has_sparse);
  if (has_sparse) {
    const uint64_t T = storage::load_u64(sparse_bin.data());
    size_t at = 8 + T * 8;
    for (uint64_t t = 0; t < T; ++t) {
      const uint32_t term = storage::load_u32(sparse_bin.data() + 8 + t * 8);
      const uint32_t cnt = storage::load_u32(sparse_bin.data() + 12 + t * 8);
      for (uint32_t i = 0; i < cnt; ++i, at += 8)
        main_postings.emplace_back(term, storage::load_u32(sparse_bin.data() + at), storage::load_f32(sparse_bin.data() + at + 4));
    }
  } else {
    for (const auto& [term, ps] : M.sparse)
      for (const auto& [s, w] : ps) main_postings.emplace_back(term, s, w);
  }

  // Step 4: live delta rows by cluster.
  const size_t r = delta.rows();
  std::map<uint32_t, std::vector<uint32_t>> groups;
  for (uint32_t d = 0; d < r; ++d)
    if (!tomb.count(static_cast<uint32_t>(n + d))) groups[delta.clusters[d]].push_back(d);
  // Step 5.
  std::vector<FieldSchema> fields = live_fields;
  std::vector<size_t> numf, strf;
  std::set<std::string> numeric_names;
  for (size_t e = 0; e < fields.size(); ++e) {
    if (fields[e].numeric) {
      numf.push_back(e);
      numeric_names.insert(fields[e].name);
    } else {
      strf.push_back(e);
    }
  }
  // Step 6.
  std::vector<std::vector<double>> dnum(r, std::vector<double>(numf.size(), NAN));
  std::vector<std::vector<uint32_t>> dstr(r, std::vector<uint32_t>(strf.size(), 0xFFFFFFFFu));
  for (uint32_t d = 0; d < r; ++d) {
    if (tomb.count(static_cast<uint32_t>(n + d))) continue;
    if (d >= delta.meta.size()) continue;
    auto doc = json::parse(delta.meta[d]);
    if (!doc.ok() || !doc->is_object()) continue;
    for (size_t j = 0; j < strf.size(); ++j) {
      FieldSchema& f = fields[strf[j]];
      if (!doc->contains(f.name)) continue;
      const json::Value& v = (*doc)[f.name];
      if (v.is_null() || (v.is_number() && numeric_names.count(f.name))) continue;
      const std::string key = format_version >= 3 ? predicate::str_key_typed(v) : predicate::str_key(v);
      if (!f.dict.count(key)) {
        const uint32_t code = static_cast<uint32_t>(f.dict.size());
        f.dict[key] = code;
      }
      dstr[d][j] = f.dict[key];
    }
    for (size_t i = 0; i < numf.size(); ++i) {
      const std::string& name = fields[numf[i]].name;
      if (doc->contains(name) && (*doc)[name].is_number()) dnum[d][i] = json::number_as_f64((*doc)[name]);
    }
  }
  // Step 8.
  const auto rdicts = predicate::reverse_dictionaries(M.fields);

  Files out;
  auto& o_codes = out["codes.bin"];
  auto& o_metas = out["metas.bin"];
  auto& o_orig = out["orig.bin"];
  std::vector<uint8_t> o_os;
  std::vector<std::vector<uint8_t>> o_num(numf.size()), o_str(strf.size());
  std::vector<uint8_t> o_meta;
  std::vector<uint64_t> o_meta_off{0};
  std::vector<std::string> o_ids;
  std::vector<uint32_t> main_table(n, 0xFFFFFFFFu), delta_table(r, 0xFFFFFFFFu);
  std::vector<uint32_t> offsets(M.n_clusters + 1);
  uint32_t count = 0;
  auto text_out = [&](const std::string& t) {
    o_meta.insert(o_meta.end(), t.begin(), t.end());
    o_meta_off.push_back(o_meta.size());
  };
  for (uint64_t c = 0; c < M.n_clusters; ++c) {
    offsets[c] = count;
    for (uint32_t s = M.offsets[c]; s < M.offsets[c + 1]; ++s) {
      if (tomb.count(s)) continue;
      for (uint64_t w = 0; w < W; ++w) put(o_codes, codes[s * W + w]);
      for (int k = 0; k < 4; ++k) put(o_metas, metas[s * 4 + k]);
      o_orig.insert(o_orig.end(), orig.begin() + s * dim, orig.begin() + (s + 1) * dim);
      if (has_os) o_os.insert(o_os.end(), origscale.begin() + s * 8, origscale.begin() + s * 8 + 8);
      for (size_t i = 0; i < numf.size(); ++i) put(o_num[i], i < num_src.size() ? num_src[i][s] : NAN);
      for (size_t j = 0; j < strf.size(); ++j) put(o_str[j], j < str_src.size() ? str_src[j][s] : 0xFFFFFFFFu);
      if (meta_pair) {
        const uint64_t a = meta_off[s], e = meta_off[s + 1];
        text_out(e < a || e > meta_bin.size() ? std::string("null") : std::string(meta_bin.begin() + a, meta_bin.begin() + e));
      } else {
        json::Value obj = json::Value::object();
        size_t ni = 0, sj = 0;
        for (const auto& f : M.fields) {
          if (f.numeric) {
            const double v = num_src[ni++][s];
            if (std::isfinite(v)) obj[f.name] = v;
          } else {
            const uint32_t code = str_src[sj][s];
            if (code != 0xFFFFFFFFu) {
              const std::string& key = rdicts[sj].at(code);
              obj[f.name] = format_version >= 3 ? predicate::dict_key_value(key) : json::Value(key);
            }
            ++sj;
          }
        }
        text_out(json::to_compact(obj));
      }
      o_ids.push_back(id_of_main(s));
      main_table[s] = count++;
    }
    for (uint32_t d : groups[static_cast<uint32_t>(c)]) {
      for (uint64_t w = 0; w < W; ++w) put(o_codes, delta.codes[d * W + w]);
      for (int k = 0; k < 4; ++k) put(o_metas, delta.factors[d * 4 + k]);
      const uint8_t* rb = delta.rerank.data() + d * (dim + 1);
      std::vector<uint8_t> bytes(rb, rb + dim);
      uint32_t e_out = rb[dim];
      if (has_os && rb[dim] == 0) {
        const float s = std::isnan(M.quant_scale) ? 1e-9f : std::max(M.quant_scale, 1e-9f);
        std::vector<float> x(dim);
        float mx = 0.0f;
        for (uint64_t k = 0; k < dim; ++k) {
          x[k] = ((static_cast<float>(rb[k]) - 128.0f) / 127.0f) * s;
          if (!std::isnan(x[k])) mx = std::max(mx, std::fabs(x[k]));
        }
        e_out = storage::row_exp_for(mx);
        const float inv = std::ldexp(1.0f, -(static_cast<int>(e_out) - 128));
        for (uint64_t k = 0; k < dim; ++k) bytes[k] = round_half_up_byte(x[k] * inv * 127.0f + 128.0f);
      }
      o_orig.insert(o_orig.end(), bytes.begin(), bytes.end());
      if (has_os) {
        uint32_t energy = 0;
        for (uint8_t b : bytes) energy += static_cast<uint32_t>((b - 128) * (b - 128));
        put(o_os, energy);
        put(o_os, e_out);
      }
      for (size_t i = 0; i < numf.size(); ++i) put(o_num[i], dnum[d][i]);
      for (size_t j = 0; j < strf.size(); ++j) put(o_str[j], dstr[d][j]);
      text_out(d < delta.meta.size() ? delta.meta[d] : std::string("null"));
      o_ids.push_back(delta.ids[d]);
      delta_table[d] = count++;
    }
  }
  offsets[M.n_clusters] = count;

  out["meta.bin"] = o_meta;
  out["meta_off.bin"] = storage::encode_offsets(o_meta_off);
  if (has_os) out["origscale.bin"] = o_os;
  for (size_t i = 0; i < numf.size(); ++i) out["num_" + std::to_string(i) + ".bin"] = o_num[i];
  for (size_t j = 0; j < strf.size(); ++j) out["str_" + std::to_string(j) + ".bin"] = o_str[j];
  storage::FileCrcs crcs;
  std::vector<std::string> order{"codes.bin", "metas.bin", "orig.bin", "meta.bin", "meta_off.bin"};
  if (has_os) order.push_back("origscale.bin");
  for (size_t i = 0; i < numf.size(); ++i) order.push_back("num_" + std::to_string(i) + ".bin");
  for (size_t j = 0; j < strf.size(); ++j) order.push_back("str_" + std::to_string(j) + ".bin");
  for (const auto& name : order) crcs[name] = storage::crc32(out[name]);

  std::map<uint32_t, storage::SparsePairs> sp;
  for (const auto& [term, s, w] : main_postings)
    if (s < n && main_table[s] != 0xFFFFFFFFu) sp[term].emplace_back(main_table[s], w);
  for (uint32_t d = 0; d < r && d < delta.sparse.size(); ++d)
    if (delta_table[d] != 0xFFFFFFFFu)
      for (const auto& [term, w] : delta.sparse[d]) sp[term].emplace_back(delta_table[d], w);

  const auto enc = storage::encode_ids(o_ids);
  out["ids.bin"] = enc.bytes;
  out["ids_off.bin"] = storage::encode_offsets(enc.offsets);
  out["idhash.bin"] = storage::encode_idhash_checked(o_ids).bytes;
  out["sparse.bin"] = storage::encode_sparse(sp);
  for (const char* name : {"ids.bin", "ids_off.bin", "idhash.bin", "sparse.bin"}) crcs[name] = storage::crc32(out[name]);

  Manifest nm = M;
  nm.n = count;
  nm.offsets = offsets;
  nm.ids.clear();
  nm.fields = fields;
  nm.sparse.clear();
  out["crcs.bin"] = bytes_written_by([&](const std::string& d) { ASSERT_TRUE(storage::write_file_crcs(d + "/crcs.bin", crcs).ok()); });
  out["format.bin"] = storage::format_version_bytes(format_version);
  std::vector<uint8_t> g(8);
  storage::store_u64(g.data(), gen);
  out["generation"] = g;
  out["manifest.bin"] = bytes_written_by([&](const std::string& d) { ASSERT_TRUE(storage::write_manifest_bin(d + "/manifest.bin", nm).ok()); });
  return out;
}

Files files_in(const std::string& dir) {
  Files f;
  for (const auto& e : fs::directory_iterator(dir)) f[e.path().filename()] = tandrel_test::read_all(e.path());
  return f;
}

std::shared_ptr<index::IvfIndex> open_dir(const std::string& dir, std::optional<predicate::SkipSet> skip = predicate::SkipSet{}) {
  auto r = index::IvfIndex::open_with_skip(dir, std::move(skip));
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? std::move(r).value() : nullptr;
}

// A segment of 12 main rows in 3 clusters with typed metadata, sparse terms, and a delta of
// 6 rows covering the cases compaction distinguishes.
SegmentSpec crafted_spec() {
  SegmentSpec s;
  s.dim = 8;
  s.n_clusters = 3;
  s.n_bits = 2;
  s.quant_scale = 0.75f;
  s.ids = tandrel_test::make_ids(12);
  for (size_t i = 0; i < 12; ++i)
    s.metas.push_back("{\"color\":\"" + std::string(i % 2 ? "red" : "blue") + "\",\"price\":" + std::to_string(i) +
                      (i % 3 == 0 ? ",\"flag\":true" : "") + "}");
  for (size_t i = 0; i < 12; ++i) s.sparse.push_back({{static_cast<uint32_t>(i % 4), 0.5f + i}, {7, 1.0f}});
  return s;
}

Delta crafted_delta(const SegmentSpec& s) {
  // id3 is an upsert of main row 3; "d4" introduces a new field and a new string value;
  // "d5" has a text that is not an object.
  std::vector<std::string> ids{"d0", "d1", "id3", "d3", "d4", "d5"};
  std::vector<std::string> metas{"{\"color\":\"red\",\"price\":1.5}", "null", "{\"color\":\"green\",\"price\":30}",
                                 "{\"price\":\"cheap\"}", "{\"size\":4,\"shape\":\"round\",\"color\":7}", "[1,2]"};
  Delta d = tandrel_test::make_delta(s, ids, metas);
  // Rows 1 and 4 carry no per-row exponent.
  d.rerank[1 * (s.dim + 1) + s.dim] = 0;
  d.rerank[4 * (s.dim + 1) + s.dim] = 0;
  d.sparse.assign(ids.size(), {});
  d.sparse[0] = {{7, 2.0f}, {100, 1.0f}};
  d.sparse[2] = {{1, 3.0f}};
  d.sparse[3] = {{100, 4.0f}};
  return d;
}

struct Case {
  const char* name;
  void (*tweak)(SegmentSpec&);
  bool all_deleted;
};

void nothing(SegmentSpec&) {}

class CompactModel : public ::testing::TestWithParam<Case> {};

TEST_P(CompactModel, OutputEqualsModelByteForByte) {
  const Case& c = GetParam();
  TempDir src, out_root;
  SegmentSpec spec = crafted_spec();
  c.tweak(spec);
  Delta delta = crafted_delta(spec);
  std::vector<uint32_t> tomb{0, 3, 7, 12 + 3 /* d3 */};
  if (c.all_deleted)
    for (uint32_t s = 0; s < 18; ++s) tomb.push_back(s);
  spec.delta = delta;
  spec.tombstones = tomb;
  tandrel_test::write_segment(src.path(), spec);
  auto ix = open_dir(src.path());
  ASSERT_TRUE(ix);
  const std::string out = out_root.path() + "/nested/out";
  ASSERT_TRUE(ix->compact_to(out, 9).ok());

  const Delta live_delta = ix->locks().delta.read()->clone();
  const std::set<uint32_t> tset(tomb.begin(), tomb.end());
  const Files want = model_compact(src.path(), ix->effective_fields(), ix->format_version, live_delta, tset, 9);
  const Files got = files_in(out);
  std::set<std::string> want_names, got_names;
  for (const auto& [k, v] : want) want_names.insert(k);
  for (const auto& [k, v] : got) got_names.insert(k);
  EXPECT_EQ(got_names, want_names);
  for (const auto& [name, bytes] : want) {
    auto it = got.find(name);
    if (it == got.end()) continue;
    EXPECT_TRUE(it->second == bytes) << c.name << ": " << name << " differs (" << it->second.size() << " vs "
                                     << bytes.size() << " bytes)";
  }

  // The output is a segment that opens, with the live rows and no delta or tombstones.
  auto back = open_dir(out);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->live_count(), ix->live_count());
  EXPECT_EQ(back->locks().delta.read()->rows(), 0u);
  EXPECT_EQ(storage::read_generation(out), 9u);
}

void no_meta_files(SegmentSpec& s) { s.meta_files = false; }
void no_origscale(SegmentSpec& s) { s.origscale = false; }
void legacy_format(SegmentSpec& s) {
  s.format_version.reset();
  s.ids_files = false;
  s.idhash = false;
  s.sparse_file = false;
}
void format2(SegmentSpec& s) { s.format_version = 2; }

INSTANTIATE_TEST_SUITE_P(Sources, CompactModel,
                         ::testing::Values(Case{"full", nothing, false}, Case{"no_meta_bin", no_meta_files, false},
                                           Case{"no_origscale", no_origscale, false},
                                           Case{"format1_legacy_ids", legacy_format, false},
                                           Case{"format2", format2, false}, Case{"all_deleted", nothing, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Compact, KeptRowsKeepCodesFactorsAndRerankBitForBit) {
  TempDir src, out;
  SegmentSpec spec = crafted_spec();
  spec.delta = crafted_delta(spec);
  spec.tombstones = std::vector<uint32_t>{3};
  tandrel_test::write_segment(src.path(), spec);
  auto ix = open_dir(src.path());
  ASSERT_TRUE(ix);
  ASSERT_TRUE(ix->compact_to(out.path() + "/o", 1).ok());
  auto back = open_dir(out.path() + "/o");
  ASSERT_TRUE(back);
  const Delta d = ix->locks().delta.read()->clone();
  const size_t W = ix->manifest.n_bits * ix->manifest.words_per_plane, dim = ix->manifest.dim;
  size_t requantised = 0;
  for (uint32_t s = 0; s < back->main_rows(); ++s) {
    const std::string id(*back->ext_id(s));
    const auto old = ix->slot_of(id);
    ASSERT_TRUE(old) << id;
    const uint64_t* new_codes = back->codes_bin.view().data() + s * W;
    const float* new_f = back->metas_bin.view().data() + s * 4;
    const uint8_t* new_b = back->orig_bin.view().data() + s * dim;
    if (*old < ix->main_rows()) {
      EXPECT_EQ(0, std::memcmp(new_codes, ix->codes_bin.view().data() + *old * W, W * 8)) << id;
      EXPECT_EQ(0, std::memcmp(new_f, ix->metas_bin.view().data() + *old * 4, 16)) << id;
      EXPECT_EQ(0, std::memcmp(new_b, ix->orig_bin.view().data() + *old * dim, dim)) << id;
      EXPECT_EQ(0, std::memcmp(back->origscale_bin->bytes().data() + s * 8, ix->origscale_bin->bytes().data() + *old * 8, 8));
    } else {
      const size_t r = *old - ix->main_rows();
      EXPECT_EQ(0, std::memcmp(new_codes, d.codes.data() + r * W, W * 8)) << id;
      EXPECT_EQ(0, std::memcmp(new_f, d.factors.data() + r * 4, 16)) << id;
      const uint8_t e = d.rerank[r * (dim + 1) + dim];
      const uint32_t new_e = storage::load_u32(back->origscale_bin->bytes().data() + s * 8 + 4);
      if (e != 0) {
        EXPECT_EQ(0, std::memcmp(new_b, d.rerank.data() + r * (dim + 1), dim)) << id;
        EXPECT_EQ(new_e, e);
      } else {
        ++requantised;
        EXPECT_GE(new_e, 2u);
        // The re-quantised row stands for the same values, to within one step of its scale.
        const float old_scale = ix->manifest.quant_scale, new_scale = quant::row_scale_from_exp(static_cast<uint8_t>(new_e));
        for (size_t k = 0; k < dim; ++k) {
          const float a = (static_cast<float>(d.rerank[r * (dim + 1) + k]) - 128.0f) / 127.0f * old_scale;
          const float b = (static_cast<float>(new_b[k]) - 128.0f) / 127.0f * new_scale;
          EXPECT_NEAR(a, b, new_scale / 127.0f) << id << " coordinate " << k;
        }
      }
    }
  }
  EXPECT_EQ(requantised, 2u);
}

// An output directory holding an earlier segment's files, or a run killed part-way: the log,
// delta, tombstones and manifest there are removed first, and streamed files are new files
// (a process mapping the old codes.bin keeps its bytes).
TEST(Compact, ReusedOutputDirectoryIsClearedAndFilesAreReplacedNotTruncated) {
  TempDir src, out;
  SegmentSpec spec = crafted_spec();
  tandrel_test::write_segment(src.path(), spec);
  auto ix = open_dir(src.path());
  ASSERT_TRUE(ix);
  const std::string o = out.path() + "/o";
  tandrel_test::write_segment(o, crafted_spec());
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin"})
    tandrel_test::write_all(o + "/" + f, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  const std::vector<uint8_t> old_codes = tandrel_test::read_all(o + "/codes.bin");
  const int keep = ::open((o + "/codes.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(keep, 0);
  ASSERT_TRUE(ix->compact_to(o, 4).ok());
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin"}) EXPECT_FALSE(fs::exists(o + "/" + f)) << f;
  std::vector<uint8_t> still(old_codes.size());
  ASSERT_EQ(::pread(keep, still.data(), still.size(), 0), static_cast<ssize_t>(still.size()));
  EXPECT_EQ(still, old_codes);
  ::close(keep);
  auto back = open_dir(o);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->live_count(), 12u);
}

// A main row whose id cannot be read stops the compaction instead of writing an empty id
// (which would collide with another and lose a row downstream).
TEST(Compact, UnreadableMainIdIsCorruptIndex) {
  struct Bad {
    const char* name;
    void (*damage)(const std::string& dir);
    const char* text;
  };
  const Bad cases[] = {
      {"offsets out of order",
       [](const std::string& dir) {
         auto off = tandrel_test::read_all(dir + "/ids_off.bin");
         storage::store_u64(off.data() + 5 * 8, storage::load_u64(off.data() + 7 * 8));
         tandrel_test::write_all(dir + "/ids_off.bin", off);
         tandrel_test::rerecord_crc(dir, "ids_off.bin");
       },
       "corrupt index: id of row 5 cannot be read"},
      {"bytes not UTF-8",
       [](const std::string& dir) {
         auto ids = tandrel_test::read_all(dir + "/ids.bin");
         auto off = tandrel_test::read_all(dir + "/ids_off.bin");
         ids[storage::load_u64(off.data() + 4 * 8)] = 0xFF;
         tandrel_test::write_all(dir + "/ids.bin", ids);
         tandrel_test::rerecord_crc(dir, "ids.bin");
       },
       "corrupt index: id of row 4 cannot be read"},
  };
  for (const Bad& b : cases) {
    TempDir src, out;
    tandrel_test::write_segment(src.path(), crafted_spec());
    b.damage(src.path());
    auto ix = open_dir(src.path());
    ASSERT_TRUE(ix) << b.name;
    Status st = ix->compact_to(out.path() + "/o", 1);
    ASSERT_FALSE(st.ok()) << b.name;
    EXPECT_EQ(st.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(st.error().text(), b.text) << b.name;
    EXPECT_FALSE(fs::exists(out.path() + "/o/manifest.bin"));
  }
}

// Every write, fsync and rename of the compaction, failed in turn: the call reports the
// failure, no manifest.bin appears, and the source is untouched.
TEST(Compact, EveryFailingFileOperationIsReportedAndLeavesNoManifest) {
  TempDir src, out;
  SegmentSpec spec = crafted_spec();
  spec.delta = crafted_delta(spec);
  tandrel_test::write_segment(src.path(), spec);
  const Files before = files_in(src.path());
  auto ix = open_dir(src.path());
  ASSERT_TRUE(ix);
  for (fileops::Op op : {fileops::Op::Write, fileops::Op::Fsync, fileops::Op::Rename, fileops::Op::OpenWrite}) {
    uint64_t total;
    {
      fileops::set_counting(true);
      ASSERT_TRUE(ix->compact_to(out.path() + "/count" + std::to_string(static_cast<int>(op)), 1).ok());
      total = fileops::calls(op);
      fileops::disarm_all();
    }
    ASSERT_GT(total, 0u);
    for (uint64_t nth = 1; nth <= total; ++nth) {
      const std::string o = out.path() + "/o" + std::to_string(static_cast<int>(op)) + "_" + std::to_string(nth);
      Status st;
      {
        fileops::ScopedFaults f(fileops::Fault{op, nth, fileops::Action::Errno, EIO, 1});
        st = ix->compact_to(o, 1);
      }
      EXPECT_FALSE(st.ok()) << fileops::op_name(op) << " #" << nth;
      // Only the directory fsyncs after manifest.bin's rename (the last two) leave it in place.
      if (op != fileops::Op::Fsync || nth + 2 <= total) {
        EXPECT_FALSE(fs::exists(o + "/manifest.bin")) << fileops::op_name(op) << " #" << nth;
      }
    }
  }
  EXPECT_EQ(files_in(src.path()), before);
}

}  // namespace
