// Compaction: a vacuumed copy of one open segment in a new directory. Live rows keep their
// cluster, binary codes, row factors and int8 codes (delta rows without a per-row exponent
// are re-quantised when the segment stores per-row exponents); every file that names slots is
// written again for the new numbering. One pass over the rows in output order, streamed
// through buffered writers; nothing is clustered, rotated or re-encoded.
#include <bit>
#include <cmath>
#include <string_view>
#include <unordered_set>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/maintain/live_rows.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/column_streams.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"

namespace ivf_rabitq::index {

namespace {

using maintain::LiveRows;
using maintain::RowRef;
using storage::ColumnStreams;

constexpr uint32_t kDropped = 0xFFFFFFFFu;

// The files whose checksums compaction records first, before the rest of the streamed files.
// crcs.bin lists the checksum table in the order of recording (through the hash table), so
// this order keeps compaction's crcs.bin the same byte for byte.
constexpr std::string_view kChecksumsFirst[] = {storage::kCodesFile, storage::kMetasFile, storage::kOrigFile,
                                                storage::kMetaFile, storage::kMetaOffFile};
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

// The centroids as manifest.bin stores them (the open released its copy after rotating them).
Result<std::vector<float>> stored_centroids(const std::string& dir) {
  TANDREL_ASSIGN(std::vector<uint8_t> body,
                 storage::read_manifest_bin(storage::join_path(dir, storage::kManifestFile)));
  TANDREL_ASSIGN(Manifest disk_manifest, storage::decode_manifest(body));
  return std::move(disk_manifest.centroids);
}

// The column files of the copy: those of the source's schema (grown by the delta rows), with
// origscale.bin when the source stores per-row exponents.
storage::ColumnSet columns_of(const std::vector<FieldSchema>& fields, bool with_origscale) {
  storage::ColumnSet set;
  set.origscale = with_origscale;
  for (const FieldSchema& f : fields) (f.numeric ? set.num : set.str) += 1;
  return set;
}

// Copies the live rows cluster by cluster into the output columns: main rows from the
// mappings, delta rows from the delta copy (re-quantised when they lack the per-row exponent
// the copy stores). Remembers each source row's new slot and the ids in the new order.
class RowCopier {
 public:
  RowCopier(const IvfIndex& ix, const LiveRows& rows, const DeltaTyped& typed, ColumnStreams& out)
      : ix_(ix), rows_(rows), typed_(typed), out_(out), dim_(rows.dim()), words_(rows.code_words()),
        meta_mapped_(ix.meta_bin.has_value() && ix.meta_off_bin.has_value()), requant_(rows.dim()),
        values_(rows.dim()) {
    if (!meta_mapped_) rdicts_ = predicate::reverse_dictionaries(ix.manifest.fields);
    main_table.assign(rows.main_rows(), kDropped);
    delta_table.assign(rows.delta_rows(), kDropped);
    out.meta.offsets.reserve(static_cast<size_t>(rows.live_count()) + 1);
    new_ids.reserve(static_cast<size_t>(rows.live_count()));
  }

  // Copies every live row; returns the clusters' slot offsets in the copy.
  Result<std::vector<uint32_t>> copy_all() {
    std::vector<uint32_t> offsets(rows_.n_clusters() + 1, 0);
    for (size_t c = 0; c < rows_.n_clusters(); ++c) {
      offsets[c] = count_;
      TANDREL_TRY(rows_.for_each_in_cluster(
          c, [&](RowRef ref) { return ref.delta ? copy_delta(ref.index) : copy_main(ref.index); }));
    }
    offsets[rows_.n_clusters()] = count_;
    return offsets;
  }

  uint32_t count() const { return count_; }

  std::vector<uint32_t> main_table;   // main slot -> slot in the copy (kDropped: not live)
  std::vector<uint32_t> delta_table;  // delta row -> slot in the copy (kDropped: not live)
  std::vector<std::string> new_ids;   // by slot in the copy

 private:
  Status copy_main(uint32_t s) {
    const size_t k_num = out_.set.num, m_str = out_.set.str;
    TANDREL_TRY(out_.codes.append(ix_.codes_bin.view().data() + static_cast<size_t>(s) * words_, words_ * 8));
    TANDREL_TRY(out_.metas.append(ix_.metas_bin.view().data() + static_cast<size_t>(s) * 4, 16));
    TANDREL_TRY(out_.orig.append(ix_.orig_bin.view().data() + static_cast<size_t>(s) * dim_, dim_));
    if (out_.set.origscale) TANDREL_TRY(out_.origscale.append(rows_.main_scale_record(s), 8));
    for (size_t i = 0; i < k_num; ++i) {
      const double v = i < ix_.num_bins.size() ? ix_.num_bins[i][s] : kNaN;
      TANDREL_TRY(out_.num[i].append_value(v));
    }
    for (size_t j = 0; j < m_str; ++j) {
      const uint32_t c = j < ix_.str_bins.size() ? ix_.str_bins[j][s] : predicate::kAbsentCode;
      TANDREL_TRY(out_.str[j].append_value(c));
    }
    TANDREL_TRY(copy_main_meta(s));
    TANDREL_ASSIGN(const std::string_view id, rows_.id(RowRef{false, s}));
    new_ids.emplace_back(id);
    main_table[s] = count_++;
    return {};
  }

  // The stored text of main slot s ("null" when its offsets are out of range), or without
  // meta.bin the object rebuilt from the typed columns.
  Status copy_main_meta(uint32_t s) {
    if (!meta_mapped_) {
      meta_text_.clear();
      json::append_compact(meta_text_, ix_.main_meta_from_columns(s, rdicts_));
      return out_.meta.append(meta_text_);
    }
    const auto off = ix_.meta_off_bin->view();
    const uint64_t a = off[s], e = off[s + 1];
    if (e < a || e > ix_.meta_bin->byte_len()) return out_.meta.append("null");
    return out_.meta.append(
        std::string_view(reinterpret_cast<const char*>(ix_.meta_bin->bytes().data()) + a, static_cast<size_t>(e - a)));
  }

  Status copy_delta(uint32_t d) {
    const size_t k_num = out_.set.num, m_str = out_.set.str;
    const RowRef ref{true, d};
    TANDREL_TRY(out_.codes.append(rows_.codes(ref), words_ * 8));
    TANDREL_TRY(out_.metas.append(rows_.factors(ref), 16));
    const uint8_t* stored = rows_.rerank(ref);
    const uint8_t e = rows_.delta_exp(d);
    const uint8_t* bytes = stored;
    uint8_t e_out = e;
    if (out_.set.origscale && e == 0) {
      // No per-row exponent: re-quantise at the row's own power-of-two scale.
      float s = ix_.manifest.quant_scale;
      s = std::isnan(s) ? 1e-9f : std::fmax(s, 1e-9f);
      quant::dequantize_row(stored, dim_, s, values_.data());
      const quant::RowCode rc = quant::encode_pow2_row(values_.data(), dim_, requant_.data());
      bytes = requant_.data();
      e_out = rc.exp;
    }
    TANDREL_TRY(out_.orig.append(bytes, dim_));
    if (out_.set.origscale) {
      uint8_t rec[8];
      storage::store_u32(rec, quant::code_energy(bytes, dim_));
      storage::store_u32(rec + 4, e_out);
      TANDREL_TRY(out_.origscale.append(rec, 8));
    }
    const size_t row = d;
    for (size_t i = 0; i < k_num; ++i) TANDREL_TRY(out_.num[i].append_value(typed_.num[row * k_num + i]));
    for (size_t j = 0; j < m_str; ++j) TANDREL_TRY(out_.str[j].append_value(typed_.str[row * m_str + j]));
    const std::string* text = rows_.delta_meta(d);
    TANDREL_TRY(out_.meta.append(text ? std::string_view(*text) : std::string_view("null")));
    new_ids.push_back(rows_.delta().ids[d]);
    delta_table[d] = count_++;
    return {};
  }

  const IvfIndex& ix_;
  const LiveRows& rows_;
  const DeltaTyped& typed_;
  ColumnStreams& out_;
  const size_t dim_, words_;
  const bool meta_mapped_;
  IvfIndex::ReverseDicts rdicts_;
  uint32_t count_ = 0;
  std::vector<uint8_t> requant_;  // scratch of copy_delta
  std::vector<float> values_;
  std::string meta_text_;  // scratch of copy_main_meta
};

using Postings = std::unordered_map<uint32_t, storage::SparsePairs, storage::IntHasher>;

// Sparse postings under the copy's slots: surviving main postings, then delta postings.
Postings renumbered_postings(const IvfIndex& ix, const LiveRows& rows, const RowCopier& copied) {
  Postings sparse;
  ix.sparse_iter([&](uint32_t term, uint32_t slot, float w) {
    const uint32_t to = copied.main_table[slot];
    if (to != kDropped) sparse[term].emplace_back(to, w);
  });
  for (uint32_t d = 0; d < rows.delta_rows(); ++d) {
    const uint32_t to = copied.delta_table[d];
    if (to == kDropped) continue;
    for (const auto& [term, w] : rows.delta_sparse(d)) sparse[term].emplace_back(to, w);
  }
  return sparse;
}

// ids.bin, ids_off.bin, idhash.bin and sparse.bin of the copy; the inputs are released.
Status write_slot_files(storage::SegmentWriter& writer, std::vector<std::string> new_ids, Postings sparse) {
  {
    storage::EncodedIds enc = storage::encode_ids(new_ids);
    TANDREL_TRY(writer.write_file(storage::kIdsFile, enc.bytes));
    TANDREL_TRY(writer.write_file(storage::kIdsOffFile, storage::encode_offsets(enc.offsets)));
  }
  TANDREL_TRY(writer.write_file(storage::kIdHashFile, storage::encode_idhash_checked(new_ids).bytes));
  TANDREL_TRY(writer.write_file(storage::kSparseFile, storage::encode_sparse(sparse)));
  return {};
}

}  // namespace

Status IvfIndex::compact_to(const std::string& out, uint64_t generation) const {
  // Damaged source files would be copied under fresh checksums: refuse before writing.
  TANDREL_TRY(verify_sources());
  // The directory, cleared of anything an earlier segment or run left there.
  TANDREL_ASSIGN(storage::SegmentWriter writer, storage::SegmentWriter::begin(out, true));
  TANDREL_ASSIGN(std::vector<float> centroids, stored_centroids(dir));

  const LiveRows rows(*this);
  TANDREL_TRY(maintain::check_row_sources(rows));
  std::vector<FieldSchema> fields = effective_fields();
  const DeltaTyped typed = type_delta_rows(rows, fields, format_version >= 3);

  // One pass over the live rows in output order, then the files that name slots.
  TANDREL_ASSIGN(ColumnStreams columns, ColumnStreams::open(writer, columns_of(fields, origscale_bin.has_value())));
  RowCopier copied(*this, rows, typed, columns);
  TANDREL_ASSIGN(std::vector<uint32_t> offsets, copied.copy_all());
  TANDREL_TRY(columns.finish());
  // meta_off.bin's checksum is read back with the streamed files', in compaction's order.
  TANDREL_TRY(storage::write_bytes(writer.path_of(storage::kMetaOffFile), columns.meta.take_offsets_file()));
  TANDREL_TRY(columns.record_checksums(writer, kChecksumsFirst));
  Postings sparse = renumbered_postings(*this, rows, copied);
  TANDREL_TRY(write_slot_files(writer, std::move(copied.new_ids), std::move(sparse)));

  const Manifest m = storage::segment_manifest(
      storage::SegmentCoding::of(manifest),
      {.n_clusters = manifest.n_clusters, .n = copied.count(), .fit_count = manifest.fit_count,
       .centroids = std::move(centroids), .offsets = std::move(offsets), .fields = std::move(fields)});
  TANDREL_TRY(writer.finish(format_version, generation, m));
  return storage::sync_parent_dir(out);
}

}  // namespace ivf_rabitq::index
