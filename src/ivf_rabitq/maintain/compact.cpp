// Compaction: a vacuumed copy of one open segment in a new directory. Live rows keep their
// cluster, binary codes, row factors and int8 codes (delta rows without a per-row exponent
// are re-quantised when the segment stores per-row exponents); every file that names slots is
// written again for the new numbering. One pass over the rows in output order, streamed
// through buffered writers; nothing is clustered, rotated or re-encoded.
#include <bit>
#include <cmath>
#include <unordered_set>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/maintain/live_rows.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"

namespace ivf_rabitq::index {

namespace {

using maintain::LiveRows;
using maintain::RowRef;
using storage::StreamFile;

constexpr uint32_t kDropped = 0xFFFFFFFFu;
constexpr double kNaN = std::bit_cast<double>(0x7FF8000000000000ull);

// Typed values of the live delta rows, from their metadata texts against the copied schema
// (whose dictionaries gain the keys met for the first time).
struct DeltaTyped {
  std::vector<double> num;    // delta row x numeric fields
  std::vector<uint32_t> str;  // delta row x string fields
};

DeltaTyped type_delta_rows(const LiveRows& rows, std::vector<FieldSchema>& fields, bool typed_keys) {
  std::vector<size_t> num_fields, str_fields;
  std::unordered_set<std::string> numeric_names;
  for (size_t e = 0; e < fields.size(); ++e) {
    if (fields[e].numeric) {
      num_fields.push_back(e);
      numeric_names.insert(fields[e].name);
    } else {
      str_fields.push_back(e);
    }
  }
  const size_t r = rows.delta_rows();
  DeltaTyped t;
  t.num.assign(r * num_fields.size(), kNaN);
  t.str.assign(r * str_fields.size(), predicate::kAbsentCode);
  for (uint32_t d = 0; d < r; ++d) {
    if (!rows.delta_live(d)) continue;
    const std::string* text = rows.delta_meta(d);
    if (text == nullptr) continue;
    auto doc = json::parse(*text);
    if (!doc.ok() || !doc->is_object()) continue;
    const json::Value& obj = *doc;
    for (size_t j = 0; j < str_fields.size(); ++j) {
      FieldSchema& f = fields[str_fields[j]];
      auto it = obj.find(f.name);
      if (it == obj.end() || it->is_null()) continue;
      if (it->is_number() && numeric_names.count(f.name) != 0) continue;
      std::string key = typed_keys ? predicate::str_key_typed(*it) : predicate::str_key(*it);
      const uint32_t next = static_cast<uint32_t>(f.dict.size());
      auto [pos, fresh] = f.dict.try_emplace(std::move(key), next);
      t.str[static_cast<size_t>(d) * str_fields.size() + j] = pos->second;
    }
    for (size_t i = 0; i < num_fields.size(); ++i) {
      auto it = obj.find(fields[num_fields[i]].name);
      if (it != obj.end() && it->is_number())
        t.num[static_cast<size_t>(d) * num_fields.size() + i] = json::number_as_f64(*it);
    }
  }
  return t;
}

// The open streamed files of the output, in creation order.
struct Streams {
  StreamFile codes, metas, orig, origscale, meta;
  std::vector<StreamFile> num, str;
  bool with_origscale = false;
};

}  // namespace

Status IvfIndex::compact_to(const std::string& out, uint64_t generation) const {
  // Damaged source files would be copied under fresh checksums: refuse before writing.
  TANDREL_TRY(verify_sources());
  // The directory, cleared of anything an earlier segment or run left there.
  TANDREL_ASSIGN(storage::SegmentWriter writer, storage::SegmentWriter::begin(out, true));

  // The centroids, as the open released its copy after rotating them.
  TANDREL_ASSIGN(std::vector<uint8_t> body, storage::read_manifest_bin(storage::join_path(dir, storage::kManifestFile)));
  TANDREL_ASSIGN(Manifest disk_manifest, storage::decode_manifest(body));
  body = {};

  const LiveRows rows(*this);
  TANDREL_TRY(maintain::check_row_sources(rows));
  const uint32_t n = rows.main_rows();
  const size_t r = rows.delta_rows();
  const size_t dim = rows.dim();
  const size_t W = rows.code_words();

  std::vector<FieldSchema> fields = effective_fields();
  size_t k_num = 0, m_str = 0;
  for (const FieldSchema& f : fields) (f.numeric ? k_num : m_str) += 1;
  const DeltaTyped typed = type_delta_rows(rows, fields, format_version >= 3);

  Streams st;
  st.with_origscale = origscale_bin.has_value();
  TANDREL_ASSIGN(st.codes, writer.stream(storage::kCodesFile));
  TANDREL_ASSIGN(st.metas, writer.stream(storage::kMetasFile));
  TANDREL_ASSIGN(st.orig, writer.stream(storage::kOrigFile));
  if (st.with_origscale) {
    TANDREL_ASSIGN(st.origscale, writer.stream(storage::kOrigScaleFile));
  }
  for (size_t i = 0; i < k_num; ++i) {
    TANDREL_ASSIGN(StreamFile f, writer.stream(storage::num_column_file(i)));
    st.num.push_back(std::move(f));
  }
  for (size_t j = 0; j < m_str; ++j) {
    TANDREL_ASSIGN(StreamFile f, writer.stream(storage::str_column_file(j)));
    st.str.push_back(std::move(f));
  }
  TANDREL_ASSIGN(st.meta, writer.stream(storage::kMetaFile));

  const bool meta_mapped = meta_bin.has_value() && meta_off_bin.has_value();
  ReverseDicts rdicts;
  if (!meta_mapped) rdicts = predicate::reverse_dictionaries(manifest.fields);

  std::vector<uint32_t> main_table(n, kDropped);
  std::vector<uint32_t> delta_table(r, kDropped);
  std::vector<uint32_t> offsets(rows.n_clusters() + 1, 0);
  std::vector<uint64_t> meta_offsets;
  meta_offsets.reserve(static_cast<size_t>(rows.live_count()) + 1);
  meta_offsets.push_back(0);
  uint64_t running = 0;
  std::vector<std::string> new_ids;
  new_ids.reserve(static_cast<size_t>(rows.live_count()));
  uint32_t count = 0;
  std::vector<uint8_t> requant(dim);
  std::vector<float> values(dim);
  std::string meta_text;

  auto append_meta = [&](std::string_view text) -> Status {
    TANDREL_TRY(st.meta.append(text.data(), text.size()));
    running += text.size();
    meta_offsets.push_back(running);
    return {};
  };

  auto write_main = [&](uint32_t s) -> Status {
    TANDREL_TRY(st.codes.append(codes_bin.view().data() + static_cast<size_t>(s) * W, W * 8));
    TANDREL_TRY(st.metas.append(metas_bin.view().data() + static_cast<size_t>(s) * 4, 16));
    TANDREL_TRY(st.orig.append(orig_bin.view().data() + static_cast<size_t>(s) * dim, dim));
    if (st.with_origscale) TANDREL_TRY(st.origscale.append(rows.main_scale_record(s), 8));
    for (size_t i = 0; i < k_num; ++i) {
      const double v = i < num_bins.size() ? num_bins[i][s] : kNaN;
      TANDREL_TRY(st.num[i].append_value(v));
    }
    for (size_t j = 0; j < m_str; ++j) {
      const uint32_t c = j < str_bins.size() ? str_bins[j][s] : predicate::kAbsentCode;
      TANDREL_TRY(st.str[j].append_value(c));
    }
    if (meta_mapped) {
      const auto off = meta_off_bin->view();
      const uint64_t a = off[s], e = off[s + 1];
      if (e < a || e > meta_bin->byte_len()) {
        TANDREL_TRY(append_meta("null"));
      } else {
        TANDREL_TRY(append_meta(std::string_view(reinterpret_cast<const char*>(meta_bin->bytes().data()) + a,
                                                 static_cast<size_t>(e - a))));
      }
    } else {
      meta_text.clear();
      json::append_compact(meta_text, main_meta_from_columns(s, rdicts));
      TANDREL_TRY(append_meta(meta_text));
    }
    TANDREL_ASSIGN(const std::string_view id, rows.id(RowRef{false, s}));
    new_ids.emplace_back(id);
    main_table[s] = count++;
    return {};
  };

  auto write_delta = [&](uint32_t d) -> Status {
    const RowRef ref{true, d};
    TANDREL_TRY(st.codes.append(rows.codes(ref), W * 8));
    TANDREL_TRY(st.metas.append(rows.factors(ref), 16));
    const uint8_t* stored = rows.rerank(ref);
    const uint8_t e = rows.delta_exp(d);
    const uint8_t* bytes = stored;
    uint8_t e_out = e;
    if (st.with_origscale && e == 0) {
      // No per-row exponent: re-quantise at the row's own power-of-two scale.
      float s = manifest.quant_scale;
      s = std::isnan(s) ? 1e-9f : std::fmax(s, 1e-9f);
      quant::dequantize_row(stored, dim, s, values.data());
      const quant::RowCode rc = quant::encode_pow2_row(values.data(), dim, requant.data());
      bytes = requant.data();
      e_out = rc.exp;
    }
    TANDREL_TRY(st.orig.append(bytes, dim));
    if (st.with_origscale) {
      uint8_t rec[8];
      storage::store_u32(rec, quant::code_energy(bytes, dim));
      storage::store_u32(rec + 4, e_out);
      TANDREL_TRY(st.origscale.append(rec, 8));
    }
    for (size_t i = 0; i < k_num; ++i) TANDREL_TRY(st.num[i].append_value(typed.num[static_cast<size_t>(d) * k_num + i]));
    for (size_t j = 0; j < m_str; ++j) TANDREL_TRY(st.str[j].append_value(typed.str[static_cast<size_t>(d) * m_str + j]));
    const std::string* text = rows.delta_meta(d);
    TANDREL_TRY(append_meta(text ? std::string_view(*text) : std::string_view("null")));
    new_ids.push_back(rows.delta().ids[d]);
    delta_table[d] = count++;
    return {};
  };

  for (size_t c = 0; c < rows.n_clusters(); ++c) {
    offsets[c] = count;
    TANDREL_TRY(rows.for_each_in_cluster(c, [&](RowRef ref) { return ref.delta ? write_delta(ref.index) : write_main(ref.index); }));
  }
  offsets[rows.n_clusters()] = count;

  // Closing, metadata first.
  TANDREL_TRY(st.meta.finish());
  TANDREL_TRY(storage::write_bytes(writer.path_of(storage::kMetaOffFile), storage::encode_offsets(meta_offsets)));
  meta_offsets = {};
  TANDREL_TRY(st.codes.finish());
  TANDREL_TRY(st.metas.finish());
  TANDREL_TRY(st.orig.finish());
  if (st.with_origscale) TANDREL_TRY(st.origscale.finish());
  for (StreamFile& f : st.num) TANDREL_TRY(f.finish());
  for (StreamFile& f : st.str) TANDREL_TRY(f.finish());

  // Checksums of the streamed files, read back from disk.
  for (const char* name : {storage::kCodesFile, storage::kMetasFile, storage::kOrigFile, storage::kMetaFile, storage::kMetaOffFile})
    TANDREL_TRY(writer.record_crc_from_disk(name));
  if (st.with_origscale) TANDREL_TRY(writer.record_crc_from_disk(storage::kOrigScaleFile));
  for (size_t i = 0; i < k_num; ++i) TANDREL_TRY(writer.record_crc_from_disk(storage::num_column_file(i)));
  for (size_t j = 0; j < m_str; ++j) TANDREL_TRY(writer.record_crc_from_disk(storage::str_column_file(j)));

  // Sparse postings under the new slots: surviving main postings, then delta postings.
  std::unordered_map<uint32_t, storage::SparsePairs, storage::IntHasher> sparse;
  sparse_iter([&](uint32_t term, uint32_t slot, float w) {
    const uint32_t to = main_table[slot];
    if (to != kDropped) sparse[term].emplace_back(to, w);
  });
  for (uint32_t d = 0; d < r; ++d) {
    const uint32_t to = delta_table[d];
    if (to == kDropped) continue;
    for (const auto& [term, w] : rows.delta_sparse(d)) sparse[term].emplace_back(to, w);
  }

  {
    storage::EncodedIds enc = storage::encode_ids(new_ids);
    TANDREL_TRY(writer.write_file(storage::kIdsFile, enc.bytes));
    TANDREL_TRY(writer.write_file(storage::kIdsOffFile, storage::encode_offsets(enc.offsets)));
  }
  TANDREL_TRY(writer.write_file(storage::kIdHashFile, storage::encode_idhash_checked(new_ids).bytes));
  TANDREL_TRY(writer.write_file(storage::kSparseFile, storage::encode_sparse(sparse)));
  new_ids = {};
  sparse = {};

  Manifest m;
  m.dim = manifest.dim;
  m.pad = manifest.pad;
  m.words_per_plane = manifest.words_per_plane;
  m.n_bits = manifest.n_bits;
  m.n_clusters = manifest.n_clusters;
  m.n = count;
  m.seed = manifest.seed;
  m.quant_scale = manifest.quant_scale;
  m.centroids = std::move(disk_manifest.centroids);
  m.offsets = std::move(offsets);
  m.fields = std::move(fields);
  m.pca_mean = manifest.pca_mean;
  m.pca_comps = manifest.pca_comps;
  m.fit_count = manifest.fit_count;
  TANDREL_TRY(writer.finish(format_version, generation, m));
  return storage::sync_parent_dir(out);
}

}  // namespace ivf_rabitq::index
