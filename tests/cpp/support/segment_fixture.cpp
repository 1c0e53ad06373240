#include "segment_fixture.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"

namespace tandrel_test {

using namespace ivf_rabitq;

namespace {

// The fixture is also compiled into the benchmarks, so it does not use the test framework:
// a failed write aborts with a message.
void check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "segment fixture: %s failed\n", what.c_str());
    std::abort();
  }
}

struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  float unit() { return static_cast<float>(next() >> 40) / static_cast<float>(1 << 24) * 2.0f - 1.0f; }
};

template <class T>
std::vector<uint8_t> as_bytes(const std::vector<T>& v) {
  std::vector<uint8_t> b(v.size() * sizeof(T));
  if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

void put(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes, storage::FileCrcs* crcs) {
  auto st = storage::write_bytes(storage::join_path(dir, name), bytes);
  check(st.ok(), "writing " + name + (st.ok() ? std::string() : ": " + st.error().text()));
  if (crcs) (*crcs)[name] = storage::crc32(bytes.data(), bytes.size());
}

struct Typed {
  std::vector<storage::FieldSchema> fields;
  std::vector<std::vector<double>> num_cols;
  std::vector<std::vector<uint32_t>> str_cols;
};

Typed type_metas(const SegmentSpec& spec) {
  Typed t;
  if (spec.metas.empty()) return t;
  std::vector<json::Value> docs;
  docs.reserve(spec.metas.size());
  for (const auto& text : spec.metas) {
    auto d = json::parse(text);
    docs.push_back(d.ok() ? std::move(d).value() : json::Value());
  }
  std::vector<const json::Value*> rows;
  for (const auto& d : docs) rows.push_back(&d);
  const bool typed = spec.format_version.value_or(1) >= 3;
  auto table = predicate::type_rows(rows, spec.skip ? &*spec.skip : nullptr, typed);
  t.fields = std::move(table.fields);
  t.num_cols = std::move(table.num_cols);
  t.str_cols = std::move(table.str_cols);
  return t;
}

uint64_t pad_of(const SegmentSpec& spec) {
  return codec::rotation_pad(spec.dim, spec.format_version.value_or(1) >= 2);
}

}  // namespace

std::vector<std::string> make_ids(size_t n, const std::string& prefix) {
  std::vector<std::string> ids;
  ids.reserve(n);
  for (size_t i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(i));
  return ids;
}

storage::Manifest manifest_for(const SegmentSpec& spec) {
  storage::Manifest m;
  const uint64_t n = spec.ids.size();
  m.dim = spec.dim;
  m.pad = pad_of(spec);
  m.words_per_plane = m.pad / 64;
  m.n_bits = spec.n_bits;
  m.n_clusters = spec.n_clusters;
  m.n = n;
  m.seed = spec.seed;
  m.quant_scale = spec.quant_scale;
  Rng rng{spec.seed * 2654435761u + 1};
  m.centroids.resize(spec.n_clusters * spec.dim);
  for (auto& c : m.centroids) c = rng.unit();
  m.offsets.resize(spec.n_clusters + 1);
  for (uint64_t c = 0; c <= spec.n_clusters; ++c) m.offsets[c] = static_cast<uint32_t>(n * c / spec.n_clusters);
  if (!spec.ids_files) m.ids = spec.ids;
  m.fields = type_metas(spec).fields;
  m.fit_count = n;
  return m;
}

storage::Delta make_delta(const SegmentSpec& spec, const std::vector<std::string>& ids,
                          const std::vector<std::string>& metas) {
  storage::Delta d;
  const size_t rows = ids.size();
  const uint64_t words = pad_of(spec) / 64;
  Rng rng{0x9e3779b97f4a7c15ull ^ rows};
  d.codes.resize(spec.n_bits * words * rows);
  for (auto& w : d.codes) w = rng.next();
  d.factors.resize(4 * rows);
  for (auto& f : d.factors) f = rng.unit();
  d.rerank.resize((spec.dim + 1) * rows);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t j = 0; j < spec.dim; ++j) d.rerank[r * (spec.dim + 1) + j] = static_cast<uint8_t>(rng.next());
    d.rerank[r * (spec.dim + 1) + spec.dim] = 128;
  }
  d.clusters.resize(rows);
  for (size_t r = 0; r < rows; ++r) d.clusters[r] = static_cast<uint32_t>(r % spec.n_clusters);
  d.ids = ids;
  const auto fields = type_metas(spec).fields;
  size_t nnum = 0, nstr = 0;
  for (const auto& f : fields) (f.numeric ? nnum : nstr)++;
  if (rows > 0) {
    d.num_cols.assign(nnum, std::vector<double>(rows, predicate::kAbsentNum));
    d.str_cols.assign(nstr, std::vector<uint32_t>(rows, predicate::kAbsentCode));
  }
  if (!metas.empty()) {
    d.meta = metas;
    const bool typed = spec.format_version.value_or(1) >= 3;
    for (size_t r = 0; r < rows; ++r) {
      auto doc = json::parse(metas[r]);
      if (!doc.ok()) continue;
      auto row = predicate::try_resolve(fields, &*doc, typed);
      if (!row) continue;
      for (size_t k = 0; k < nnum; ++k) d.num_cols[k][r] = row->num[k];
      for (size_t k = 0; k < nstr; ++k) d.str_cols[k][r] = row->str[k];
    }
  }
  return d;
}

void write_segment(const std::string& dir, const SegmentSpec& spec) {
  std::filesystem::create_directories(dir);
  const uint64_t n = spec.ids.size();
  const storage::Manifest m = manifest_for(spec);
  const Typed typed = type_metas(spec);
  storage::FileCrcs crcs;
  storage::FileCrcs* rec = spec.crcs ? &crcs : nullptr;
  Rng rng{spec.seed ^ 0xabcdefull};

  std::vector<uint64_t> codes(n * spec.n_bits * m.words_per_plane);
  for (auto& w : codes) w = rng.next();
  put(dir, "codes.bin", as_bytes(codes), rec);
  std::vector<float> metas(n * 4);
  for (auto& f : metas) f = rng.unit();
  put(dir, "metas.bin", as_bytes(metas), rec);
  std::vector<uint8_t> orig(n * spec.dim);
  for (auto& b : orig) b = static_cast<uint8_t>(rng.next());
  put(dir, "orig.bin", orig, rec);
  if (spec.origscale) {
    std::vector<uint32_t> os(n * 2);
    for (size_t r = 0; r < n; ++r) {
      os[2 * r] = static_cast<uint32_t>(rng.next() % 100000);
      os[2 * r + 1] = 128;
    }
    put(dir, "origscale.bin", as_bytes(os), rec);
  }
  for (size_t i = 0; i < typed.num_cols.size(); ++i)
    put(dir, "num_" + std::to_string(i) + ".bin", as_bytes(typed.num_cols[i]), rec);
  for (size_t j = 0; j < typed.str_cols.size(); ++j)
    put(dir, "str_" + std::to_string(j) + ".bin", as_bytes(typed.str_cols[j]), rec);
  if (spec.meta_files && !spec.metas.empty()) {
    auto enc = storage::encode_ids(spec.metas);  // same layout: concatenated texts + offsets
    put(dir, "meta.bin", enc.bytes, rec);
    put(dir, "meta_off.bin", storage::encode_offsets(enc.offsets), rec);
  }
  if (spec.ids_files) {
    auto enc = storage::encode_ids(spec.ids);
    put(dir, "ids.bin", enc.bytes, rec);
    put(dir, "ids_off.bin", storage::encode_offsets(enc.offsets), rec);
  }
  if (spec.idhash) {
    std::vector<std::pair<uint64_t, uint32_t>> recs(n);
    for (size_t s = 0; s < n; ++s) recs[s] = {index::id_hash(spec.ids[s]), static_cast<uint32_t>(s)};
    std::sort(recs.begin(), recs.end());
    std::vector<uint8_t> body;
    body.reserve(n * 12);
    for (const auto& [h, s] : recs) {
      storage::append_u64(body, h);
      storage::append_u32(body, s);
    }
    put(dir, "idhash.bin", body, rec);
  }
  if (spec.sparse_file && !spec.sparse.empty()) {
    std::map<uint32_t, storage::SparsePairs> postings;
    for (size_t r = 0; r < spec.sparse.size(); ++r)
      for (const auto& [t, w] : spec.sparse[r]) postings[t].emplace_back(static_cast<uint32_t>(r), w);
    put(dir, "sparse.bin", storage::encode_sparse(postings), rec);
  }
  if (spec.crcs) {
    check(storage::write_file_crcs(storage::join_path(dir, "crcs.bin"), crcs).ok(), "writing crcs.bin");
  }
  if (spec.format_version) {
    check(storage::write_format_version_as(dir, *spec.format_version).ok(), "writing format.bin");
  }
  check(storage::write_generation(dir, 0).ok(), "writing generation");
  if (spec.delta) {
    check(storage::write_framed(storage::join_path(dir, "delta.bin"), storage::kDeltaMagic,
                                      storage::encode_delta(*spec.delta))
                    .ok(), "writing delta.bin");
  }
  if (spec.tombstones) {
    auto t = storage::Tombstones::from_slots(*spec.tombstones);
    check(
        storage::write_framed(storage::join_path(dir, "deleted.bin"), storage::kDeletedMagic, t.serialize()).ok(), "writing deleted.bin");
  }
  check(storage::write_manifest_bin(storage::join_path(dir, "manifest.bin"), m).ok(), "writing manifest.bin");
}

void rerecord_crc(const std::string& dir, const std::string& name) {
  auto table = storage::read_file_crcs(storage::join_path(dir, "crcs.bin"));
  check(table.ok(), "reading crcs.bin");
  auto crc = storage::crc32_file(storage::join_path(dir, name));
  check(crc.ok(), "checksumming " + name);
  (*table)[name] = *crc;
  check(storage::write_file_crcs(storage::join_path(dir, "crcs.bin"), *table).ok(), "writing crcs.bin");
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tandrel_test_XXXXXX";
  char* p = ::mkdtemp(tmpl.data());
  if (p == nullptr) std::abort();
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have removed, so the whole tree can be deleted.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> read_all(const std::string& path) {
  auto r = storage::read_file(path);
  if (!r.ok()) return {};
  return std::move(r).value();
}

void write_all(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tandrel_test
