// Merge of several segments into one re-clustered, re-encoded segment (see merge.hpp).
#include "ivf_rabitq/maintain/merge.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <memory>
#include <unordered_set>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/env.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/maintain/live_rows.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/column_streams.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"

namespace ivf_rabitq::maintain {

uint64_t read_merge_sample_env(std::optional<std::string_view> value) {
  if (!value) return kDefaultMergeSample;
  const std::optional<uint64_t> v = env::parse_unsigned(*value);
  return v && *v != 0 ? *v : kDefaultMergeSample;
}

uint64_t merge_sample_cap() {
  static const uint64_t cap = read_merge_sample_env(env::as_text(env::get("TANDREL_MERGE_SAMPLE")));
  return cap;
}

namespace {

// The components of a path text: (absolute, names), with empty and "." names dropped except
// a "." that begins a relative path.
std::pair<bool, std::vector<std::string_view>> components(std::string_view p) {
  const bool absolute = !p.empty() && p.front() == '/';
  std::vector<std::string_view> out;
  size_t i = 0;
  bool first = true;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    const std::string_view c = p.substr(i, j - i);
    if (!c.empty() && !(c == "." && !(first && !absolute && i == 0))) out.push_back(c);
    first = false;
    i = j + 1;
  }
  return {absolute, out};
}

}  // namespace

bool same_path_components(std::string_view a, std::string_view b) { return components(a) == components(b); }

bool same_directory(const std::string& a, const std::string& b) {
  if (same_path_components(a, b)) return true;
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return S_ISDIR(sa.st_mode) && S_ISDIR(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

MergePlan merge_plan(size_t n, uint64_t n_clusters, uint64_t cap) {
  uint64_t k = n_clusters != 0 ? n_clusters : static_cast<uint64_t>(std::floor(std::sqrt(static_cast<double>(n))));
  k = std::clamp<uint64_t>(k, 1, n);
  const uint64_t forty_k = k > UINT64_MAX / 40 ? UINT64_MAX : 40 * k;
  uint64_t m = std::max<uint64_t>(forty_k, 50000);
  m = std::min<uint64_t>({m, cap, n});
  k = std::min(k, m);
  return {static_cast<size_t>(k), static_cast<size_t>(m)};
}

size_t merge_batch_rows(size_t n, size_t n_bits, size_t words, size_t dim) {
  const size_t per_row = 8 * n_bits * words + dim + 88;
  size_t b = std::max<size_t>(16777216 / per_row, 1024);
  return std::min({b, n, size_t{16384}});
}

namespace {

using index::IvfIndex;

constexpr size_t kMetaBatchBytes = 16777216;
constexpr double kNaN = std::bit_cast<double>(0x7FF8000000000000ull);

// One surviving row. Main rows are read later from their source's mappings (slot `row`),
// delta rows from the source's delta copy (delta index `row`).
struct KRow {
  std::string id;
  std::string meta;
  storage::SparsePairs sparse;
  uint32_t src = 0;
  uint32_t row = 0;
  bool is_delta = false;
};

struct Source {
  std::string dir;
  std::shared_ptr<IvfIndex> ix;
  std::unique_ptr<LiveRows> rows;
};

// The vector of a row rebuilt from the int8 codes its source stored.
void rebuild_row(const std::vector<Source>& srcs, const KRow& r, size_t dim, float* out) {
  const Source& s = srcs[r.src];
  const float qs = s.ix->manifest.quant_scale;
  const uint8_t* codes;
  float scale;
  if (r.is_delta) {
    codes = s.rows->rerank(RowRef{true, r.row});
    const uint8_t e = codes[dim];
    if (e == 0) {
      // The scale the delta row's codes were made with (add clamps the segment scale so).
      scale = std::isnan(qs) ? 1e-9f : std::fmax(qs, 1e-9f);
    } else {
      scale = quant::row_scale_from_exp(e);
    }
  } else {
    codes = s.rows->rerank(RowRef{false, r.row});
    scale = s.rows->has_origscale() ? quant::row_scale_from_exp(s.rows->main_scale_record(r.row)[4]) : qs;
  }
  quant::dequantize_row(codes, dim, scale, out);
}

// Row list with one entry per id: a later row of an id replaces the earlier entry in place.
class RowList {
 public:
  void add(KRow row) {
    const uint64_t h = storage::fnv1a64(row.id);
    auto it = head_.find(h);
    if (it != head_.end()) {
      for (uint32_t at = it->second; at != kNone; at = prev_[at]) {
        if (rows_[at].id == row.id) {
          rows_[at] = std::move(row);
          return;
        }
      }
    }
    const uint32_t pos = static_cast<uint32_t>(rows_.size());
    prev_.push_back(it != head_.end() ? it->second : kNone);
    head_[h] = pos;
    rows_.push_back(std::move(row));
  }
  std::vector<KRow>& rows() { return rows_; }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  std::vector<KRow> rows_;
  std::vector<uint32_t> prev_;
  std::unordered_map<uint64_t, uint32_t> head_;
};

// Stage 1, per source: its surviving rows into the list, tombstoned ids into `dropped`.
Status collect_source(const Source& s, uint32_t src, const std::unordered_set<std::string>& tombstones,
                      RowList& list, std::vector<std::string>& dropped) {
  const IvfIndex& ix = *s.ix;
  const LiveRows& rows = *s.rows;
  IvfIndex::ReverseDicts rdicts;
  if (!(ix.meta_bin && ix.meta_off_bin)) rdicts = predicate::reverse_dictionaries(ix.manifest.fields);
  auto sparse = rows.main_sparse_by_slot();
  const std::vector<std::string>& delta_meta = rows.delta().meta;
  const uint32_t n = rows.main_rows();
  for (uint32_t r = 0; r < n; ++r) {
    if (!rows.main_live(r)) continue;
    auto id = ix.ext_id(r);
    if (!id) {
      return invalid_data("corrupt index: id of row " + std::to_string(r) + " of input " + s.dir + " cannot be read");
    }
    if (!tombstones.empty() && tombstones.count(std::string(*id)) != 0) {
      dropped.emplace_back(*id);
      continue;
    }
    KRow k;
    k.id = std::string(*id);
    k.meta = ix.row_meta_str(r, rdicts, delta_meta);
    if (auto it = sparse.find(r); it != sparse.end()) k.sparse = std::move(it->second);
    k.src = src;
    k.row = r;
    list.add(std::move(k));
  }
  const auto& ids = rows.delta().ids;
  for (uint32_t d = 0; d < ids.size(); ++d) {
    if (!rows.delta_live(d)) continue;
    if (!tombstones.empty() && tombstones.count(ids[d]) != 0) {
      dropped.push_back(ids[d]);
      continue;
    }
    KRow k;
    k.id = ids[d];
    k.meta = ix.row_meta_str(n + d, rdicts, delta_meta);
    const auto sp = rows.delta_sparse(d);
    k.sparse.assign(sp.begin(), sp.end());
    k.src = src;
    k.row = d;
    k.is_delta = true;
    list.add(std::move(k));
  }
  return {};
}

// Typed values of one row.
struct RowCols {
  std::vector<std::pair<uint32_t, double>> nums;
  std::vector<std::pair<uint32_t, std::string>> strs;
};

struct Columns {
  static constexpr uint32_t kNoColumn = 0xFFFFFFFFu;
  std::unordered_map<std::string, std::pair<uint32_t, uint32_t>> of_key;  // (numeric, string)
  std::vector<storage::FieldSchema> fields;
  size_t n_num = 0, n_str = 0;
};

// Stage 3, key typing: flags per key (bit 0 seen a number, bit 1 seen anything else) over
// every row, then the schemas in sorted key order.
Columns type_keys(const std::vector<KRow>& rows, std::span<const std::string> skip) {
  const std::unordered_set<std::string> skipped(skip.begin(), skip.end());
  using Flags = std::map<std::string, uint8_t>;
  Flags flags = parallel::reduce_chunks(
      rows.size(), 1024, Flags{},
      [&](size_t b, size_t e) {
        Flags part;
        for (size_t i = b; i < e; ++i) {
          auto doc = json::parse(rows[i].meta);
          if (!doc.ok() || !doc->is_object()) continue;
          for (const auto& [key, value] : doc->items()) {
            if (value.is_null() || skipped.count(key) != 0) continue;
            part[key] |= value.is_number() ? 1 : 2;
          }
        }
        return part;
      },
      [](Flags acc, Flags part) {
        for (auto& [k, f] : part) acc[k] |= f;
        return acc;
      });
  Columns c;
  for (const auto& [key, f] : flags) {
    std::pair<uint32_t, uint32_t> idx{Columns::kNoColumn, Columns::kNoColumn};
    if (f & 1) {
      idx.first = static_cast<uint32_t>(c.n_num++);
      c.fields.push_back(storage::FieldSchema{key, true, {}});
    }
    if (f & 2) {
      idx.second = static_cast<uint32_t>(c.n_str++);
      c.fields.push_back(storage::FieldSchema{key, false, {}});
    }
    c.of_key.emplace(key, idx);
  }
  return c;
}

void row_cols(const Columns& c, const std::string& meta, RowCols& out) {
  out.nums.clear();
  out.strs.clear();
  if (c.of_key.empty()) return;
  auto doc = json::parse(meta);
  if (!doc.ok() || !doc->is_object()) return;
  for (const auto& [key, value] : doc->items()) {
    // A null value is the key's absence, as in a build and in the delta: it stays NaN or
    // absent in every column, so filters answer the same before and after the merge.
    if (value.is_null()) continue;
    auto it = c.of_key.find(key);
    if (it == c.of_key.end()) continue;
    const auto [num, str] = it->second;
    if (value.is_number()) {
      if (num != Columns::kNoColumn) out.nums.emplace_back(num, json::number_as_f64(value));
    } else if (str != Columns::kNoColumn) {
      out.strs.emplace_back(str, predicate::str_key_typed(value));
    }
  }
}

// ---- stage 1: inputs and surviving rows ----

// Opens every input (no skip set) after refusing an output that names one of them; all must
// share the first input's dim, and each input's recorded data files must match its crcs.bin.
Result<std::vector<Source>> open_inputs(const std::string& out, std::span<const std::string> dirs) {
  for (const std::string& d : dirs)
    if (same_directory(out, d)) return invalid_input("merge: output dir must not be one of the input dirs");
  std::vector<Source> srcs;
  srcs.reserve(dirs.size());
  for (const std::string& d : dirs) {
    TANDREL_ASSIGN(std::shared_ptr<IvfIndex> ix, IvfIndex::open_with_skip(d, std::nullopt, /*for_search=*/false));
    srcs.push_back(Source{d, std::move(ix), nullptr});
  }
  if (srcs.empty()) return srcs;
  const uint64_t dim = srcs[0].ix->manifest.dim;
  for (const Source& s : srcs) {
    if (s.ix->manifest.dim != dim) {
      return invalid_data("merge: segment dim " + std::to_string(s.ix->manifest.dim) + " != expected " +
                          std::to_string(dim) + " (cannot merge segments of differing dimensionality)");
    }
  }
  // Damaged input files would be merged under fresh checksums: refuse before writing.
  for (const Source& s : srcs) TANDREL_TRY(s.ix->verify_sources());
  return srcs;
}

// The surviving rows of every source, in `srcs` order, into `list`; tombstoned ids into `dropped`.
Status collect_rows(std::vector<Source>& srcs, const std::unordered_set<std::string>& tombstones, RowList& list,
                    std::vector<std::string>& dropped) {
  for (uint32_t i = 0; i < srcs.size(); ++i) {
    srcs[i].rows = std::make_unique<LiveRows>(*srcs[i].ix);
    TANDREL_TRY(check_row_sources(*srcs[i].rows));
    TANDREL_TRY(collect_source(srcs[i], i, tombstones, list, dropped));
  }
  return {};
}

// ---- stage 2: sample, k-means, assignment, order ----

struct Clustering {
  size_t k = 0;
  std::vector<float> centroids;   // k x dim
  std::vector<uint32_t> cluster;  // per row of the list
  std::vector<uint32_t> row_at;   // the row of the list at each slot
  std::vector<uint32_t> offsets;  // k + 1 slot offsets
  float quant_scale = 0.0f;
};

// k-means over an evenly strided sample of plan.m rows.
std::vector<float> fit_centroids(const std::vector<Source>& srcs, const std::vector<KRow>& rows, size_t dim,
                                 const MergePlan& plan, uint64_t seed) {
  const size_t n = rows.size(), m = plan.m;
  std::vector<float> sample(m * dim);
  for (size_t j = 0; j < m; ++j) {
    const size_t at = static_cast<size_t>(static_cast<unsigned __int128>(j) * n / m);
    rebuild_row(srcs, rows[at], dim, sample.data() + j * dim);
  }
  return kmeans::kmeans(sample, m, dim, plan.k, seed);
}

// Every row to its nearest centroid (c.cluster). Returns the largest magnitude met over all
// rows' values when `want_max`, else 0.
float assign_rows(const std::vector<Source>& srcs, const std::vector<KRow>& rows, size_t dim, Clustering& c,
                  bool want_max) {
  const size_t n = rows.size();
  const bool use_lists = c.k >= builder::kNeighborListMinClusters;
  kmeans::NeighborLists lists;
  distance::PackedVectors packed;
  if (use_lists) {
    lists = kmeans::centroid_neighbor_lists(c.centroids, dim, c.k);
  } else {
    packed = distance::PackedVectors::pack(c.centroids.data(), c.k, dim);
  }
  const std::vector<float>& centroids = c.centroids;
  std::vector<uint32_t>& cluster = c.cluster;
  cluster.assign(n, 0);
  std::vector<float> row_max(n, 0.0f);
  parallel::for_chunks(n, 256, [&](size_t b, size_t e) {
    std::vector<float> x(dim);
    for (size_t i = b; i < e; ++i) {
      rebuild_row(srcs, rows[i], dim, x.data());
      if (want_max) row_max[i] = quant::max_abs(x.data(), dim);
      cluster[i] = use_lists ? static_cast<uint32_t>(kmeans::assign_one_exact(x, centroids, dim, lists))
                             : distance::nearest(x.data(), packed).index;
    }
  });
  float mx = 0.0f;
  if (want_max)
    for (float v : row_max) mx = std::fmax(mx, v);
  return mx;
}

// The clusters, the int8 scale (`scale` when positive, else the largest magnitude, at least
// 1e-6) and the slot order (by cluster, list order inside a cluster).
Clustering cluster_rows(const std::vector<Source>& srcs, const std::vector<KRow>& rows, size_t dim,
                        uint64_t n_clusters, float scale, uint64_t seed) {
  const size_t n = rows.size();
  const MergePlan plan = merge_plan(n, n_clusters, merge_sample_cap());
  Clustering c;
  c.k = plan.k;
  c.centroids = fit_centroids(srcs, rows, dim, plan, seed);
  const bool want_max = scale <= 0.0f;
  const float mx = assign_rows(srcs, rows, dim, c, want_max);
  c.quant_scale = scale > 0.0f ? scale : std::max(mx, 1e-6f);
  builder::SlotOrder order = builder::order_by_cluster(c.cluster, c.k);
  c.row_at.resize(n);
  for (size_t i = 0; i < n; ++i) c.row_at[order.slot_of[i]] = static_cast<uint32_t>(i);
  c.offsets = std::move(order.offsets);
  return c;
}

// ---- stage 3: schema, directory, the rows re-encoded and streamed ----

using Postings = std::unordered_map<uint32_t, storage::SparsePairs, storage::IntHasher>;

// Streams the rows in slot order, batch by batch: each batch is encoded in parallel (binary
// codes of the rotated residual, four factors, int8 codes with a power-of-two scale, typed
// values), then appended in order. Collects the string columns' dictionaries (codes in
// first-occurrence order), the (id hash, slot) pairs and the sparse postings on the way.
class RowStreamer {
 public:
  RowStreamer(const std::vector<Source>& srcs, std::vector<KRow>& rows, const Clustering& c, const Columns& cols,
              const codec::Rotator& rot, size_t dim, uint32_t n_bits, storage::ColumnStreams& out)
      : srcs_(srcs), rows_(rows), c_(c), cols_(cols), rot_(rot), dim_(dim), n_bits_(n_bits), words_(rot.pad / 64),
        code_words_(static_cast<size_t>(n_bits) * words_), out_(out) {
    dicts_.resize(cols.n_str);
    const size_t B = merge_batch_rows(rows.size(), n_bits, words_, dim);
    batch_ = B;
    b_codes_.resize(B * code_words_);
    b_factors_.resize(B * codec::kRowFactors);
    b_orig_.resize(B * dim);
    b_scale_.resize(B * quant::kOrigScaleRecordBytes);
    b_cols_.resize(B);
    num_vals_.resize(cols.n_num);
    str_vals_.resize(cols.n_str);
  }

  Status write_all() {
    const size_t n = rows_.size();
    for (size_t p0 = 0; p0 < n;) {
      const size_t cnt = batch_rows(p0);
      encode(p0, cnt);
      TANDREL_TRY(append(p0, cnt));
      p0 += cnt;
    }
    return {};
  }

  // Moves each string column's dictionary into its schema entry.
  void attach_dictionaries(std::vector<storage::FieldSchema>& fields) {
    size_t j = 0;
    for (storage::FieldSchema& f : fields)
      if (!f.numeric) f.dict = std::move(dicts_[j++]);
  }

  std::vector<std::pair<uint64_t, uint32_t>> idhash;  // (hash of id, slot) by slot
  Postings postings;

 private:
  // The batch from slot p0: at least one row, more while the metadata texts stay within 16 MiB.
  size_t batch_rows(size_t p0) const {
    const size_t n = rows_.size();
    size_t cnt = 1;
    size_t meta_bytes = rows_[c_.row_at[p0]].meta.size();
    while (cnt < batch_ && p0 + cnt < n) {
      const size_t next = rows_[c_.row_at[p0 + cnt]].meta.size();
      if (meta_bytes + next > kMetaBatchBytes) break;
      meta_bytes += next;
      ++cnt;
    }
    return cnt;
  }

  void encode(size_t p0, size_t cnt) {
    const size_t dim = dim_, pad = rot_.pad, words = words_, code_words = code_words_;
    const uint32_t n_bits = n_bits_;
    std::fill(b_codes_.begin(), b_codes_.begin() + cnt * code_words, 0);
    parallel::for_chunks(cnt, 128, [&](size_t b, size_t e) {
      std::vector<float> x(dim), residual(dim), rotated(pad);
      for (size_t q = b; q < e; ++q) {
        const size_t i = c_.row_at[p0 + q];
        rebuild_row(srcs_, rows_[i], dim, x.data());
        const float* c = c_.centroids.data() + static_cast<size_t>(c_.cluster[i]) * dim;
        for (size_t j = 0; j < dim; ++j) residual[j] = x[j] - c[j];
        rot_.rotate_into(residual, rotated);
        codec::encode_rotated_bbit(
            rotated, dim, n_bits, words, std::span<uint64_t>(b_codes_.data() + q * code_words, code_words),
            std::span<float, codec::kRowFactors>(b_factors_.data() + q * codec::kRowFactors, codec::kRowFactors));
        const quant::RowCode rc = quant::encode_pow2_row(x.data(), dim, b_orig_.data() + q * dim);
        quant::store_origscale_record(b_scale_.data() + q * quant::kOrigScaleRecordBytes, rc);
        row_cols(cols_, rows_[i].meta, b_cols_[q]);
      }
    });
  }

  Status append(size_t p0, size_t cnt) {
    for (size_t q = 0; q < cnt; ++q) {
      const uint32_t p = static_cast<uint32_t>(p0 + q);
      KRow& r = rows_[c_.row_at[p]];
      TANDREL_TRY(out_.codes.append(b_codes_.data() + q * code_words_, code_words_ * 8));
      TANDREL_TRY(out_.metas.append(b_factors_.data() + q * codec::kRowFactors, codec::kRowFactors * 4));
      TANDREL_TRY(out_.orig.append(b_orig_.data() + q * dim_, dim_));
      TANDREL_TRY(out_.origscale.append(b_scale_.data() + q * quant::kOrigScaleRecordBytes, 8));
      TANDREL_TRY(append_typed(b_cols_[q]));
      TANDREL_TRY(out_.meta.append(r.meta));
      TANDREL_TRY(out_.ids.append(r.id));
      idhash.emplace_back(storage::fnv1a64(r.id), p);
      for (const auto& [term, w] : r.sparse) postings[term].emplace_back(p, w);
      // The row's texts are on disk now; only its id is kept (for nothing further).
      r.meta = {};
      r.sparse = {};
    }
    return {};
  }

  // One row's value in every typed column: NaN or the absent code where the row has none.
  Status append_typed(RowCols& row) {
    std::fill(num_vals_.begin(), num_vals_.end(), kNaN);
    std::fill(str_vals_.begin(), str_vals_.end(), predicate::kAbsentCode);
    for (const auto& [c, v] : row.nums) num_vals_[c] = v;
    for (auto& [c, text] : row.strs) {
      auto [it, fresh] = dicts_[c].try_emplace(std::move(text), static_cast<uint32_t>(dicts_[c].size()));
      str_vals_[c] = it->second;
    }
    for (size_t i = 0; i < cols_.n_num; ++i) TANDREL_TRY(out_.num[i].append_value(num_vals_[i]));
    for (size_t j = 0; j < cols_.n_str; ++j) TANDREL_TRY(out_.str[j].append_value(str_vals_[j]));
    return {};
  }

  const std::vector<Source>& srcs_;
  std::vector<KRow>& rows_;
  const Clustering& c_;
  const Columns& cols_;
  const codec::Rotator& rot_;
  const size_t dim_;
  const uint32_t n_bits_;
  const size_t words_, code_words_;
  storage::ColumnStreams& out_;
  size_t batch_ = 0;
  std::vector<uint64_t> b_codes_;
  std::vector<float> b_factors_;
  std::vector<uint8_t> b_orig_;
  std::vector<uint8_t> b_scale_;
  std::vector<RowCols> b_cols_;
  std::vector<double> num_vals_;
  std::vector<uint32_t> str_vals_;
  std::vector<std::unordered_map<std::string, uint32_t>> dicts_;  // per string column
};

// ---- stage 3, closing ----

// idhash.bin (ascending by hash; equal hashes of distinct ids by slot, so the file never
// depends on the sort's whims) and sparse.bin. Both inputs are released.
Status write_lookup_files(storage::SegmentWriter& writer, std::vector<std::pair<uint64_t, uint32_t>> idhash,
                          Postings postings) {
  {
    std::sort(idhash.begin(), idhash.end());
    std::vector<uint8_t> bytes(idhash.size() * storage::kIdHashRecord);
    for (size_t i = 0; i < idhash.size(); ++i) {
      storage::store_u64(bytes.data() + i * storage::kIdHashRecord, idhash[i].first);
      storage::store_u32(bytes.data() + i * storage::kIdHashRecord + 8, idhash[i].second);
    }
    idhash = {};
    TANDREL_TRY(writer.write_file(storage::kIdHashFile, bytes));
  }
  return writer.write_file(storage::kSparseFile, storage::encode_sparse(postings));
}

}  // namespace

}  // namespace ivf_rabitq::maintain

namespace ivf_rabitq::index {

using maintain::KRow;
using maintain::Source;

Result<MergeResult> IvfIndex::merge(const std::string& out, std::span<const std::string> dirs,
                                    const std::unordered_set<std::string>& tombstones, uint64_t n_clusters,
                                    float scale, std::span<const std::string> skip, std::span<const float> pca_mean,
                                    std::span<const float> pca_comps, uint64_t n_bits_arg, uint64_t seed) {
  // Stage 1: inputs and surviving rows.
  TANDREL_ASSIGN(std::vector<Source> srcs, maintain::open_inputs(out, dirs));
  MergeResult result;
  if (srcs.empty()) return result;
  const size_t dim = static_cast<size_t>(srcs[0].ix->manifest.dim);
  maintain::RowList list;
  TANDREL_TRY(maintain::collect_rows(srcs, tombstones, list, result.dropped));
  std::vector<KRow>& rows = list.rows();
  const size_t n = rows.size();
  if (n == 0) return result;
  if (n > builder::kMaxSegmentRows) {
    return invalid_input("merge: n=" + std::to_string(n) + " rows exceed the slot space (at most 4294967294 rows)");
  }

  // Stage 2: clusters and slot order.
  const uint32_t n_bits = n_bits_arg == 0 ? 1 : static_cast<uint32_t>(std::min<uint64_t>(n_bits_arg, 8));
  maintain::Clustering clusters = maintain::cluster_rows(srcs, rows, dim, n_clusters, scale, seed);

  // Stage 3: schema, directory, streamed files.
  maintain::Columns cols = maintain::type_keys(rows, skip);
  TANDREL_ASSIGN(storage::SegmentWriter writer, storage::SegmentWriter::begin(out, true));
  const codec::Rotator rot = codec::Rotator::build(dim, codec::rotation_seed(seed), true);
  const storage::ColumnSet set{.origscale = true, .ids = true, .num = cols.n_num, .str = cols.n_str};
  TANDREL_ASSIGN(storage::ColumnStreams columns, storage::ColumnStreams::open(writer, set));
  maintain::RowStreamer streamer(srcs, rows, clusters, cols, rot, dim, n_bits, columns);
  TANDREL_TRY(streamer.write_all());
  streamer.attach_dictionaries(cols.fields);

  // Stage 3, closing: the streams, the files written whole, the checksums of the streamed
  // files (recorded last: the order crcs.bin has always had here), then the closing files.
  TANDREL_TRY(columns.finish());
  TANDREL_TRY(writer.write_file(storage::kMetaOffFile, columns.meta.take_offsets_file()));
  TANDREL_TRY(writer.write_file(storage::kIdsOffFile, columns.ids.take_offsets_file()));
  TANDREL_TRY(maintain::write_lookup_files(writer, std::move(streamer.idhash), std::move(streamer.postings)));
  TANDREL_TRY(columns.record_checksums(writer));
  const storage::SegmentCoding coding{
      .dim = dim, .pad = rot.pad, .words_per_plane = rot.pad / 64, .n_bits = n_bits,
      .seed = seed, .quant_scale = clusters.quant_scale, .pca_mean = pca_mean, .pca_comps = pca_comps};
  const Manifest mf = storage::segment_manifest(
      coding, {.n_clusters = clusters.k, .n = n, .fit_count = n, .centroids = std::move(clusters.centroids),
               .offsets = std::move(clusters.offsets), .fields = std::move(cols.fields)});
  TANDREL_TRY(writer.finish(3, 0, mf));
  TANDREL_TRY(storage::sync_parent_dir(out));
  result.rows = n;
  return result;
}

}  // namespace ivf_rabitq::index
