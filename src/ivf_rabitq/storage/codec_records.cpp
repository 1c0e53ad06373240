#include "ivf_rabitq/storage/codec_records.hpp"

#include "ivf_rabitq/common/utf8.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::storage {

bool Reader::fail(std::string msg) {
  if (err_.empty()) err_ = std::move(msg);
  return false;
}

namespace {

std::string unexpected_end(size_t need, size_t at, size_t left) {
  return "unexpected end of input: " + std::to_string(need) + " bytes needed at offset " + std::to_string(at) +
         ", " + std::to_string(left) + " left";
}

}  // namespace

bool Reader::bytes(size_t n, const uint8_t*& out) {
  if (!ok()) return false;
  if (n > remaining()) return fail(unexpected_end(n, pos_, remaining()));
  out = in_.data() + pos_;
  pos_ += n;
  return true;
}

bool Reader::raw(void* out, size_t n) {
  const uint8_t* p;
  if (!bytes(n, p)) return false;
  std::memcpy(out, p, n);
  return true;
}

bool Reader::boolean(bool& v) {
  uint8_t b;
  if (!u8(b)) return false;
  if (b > 1) return fail("invalid bool byte " + std::to_string(b) + " (expected 0 or 1)");
  v = b == 1;
  return true;
}

bool Reader::word(uint64_t& v) {
  if (!u64(v)) return false;
  if (v > kMaxCount32) {
    return fail("size " + std::to_string(v) + " does not fit (limit " + std::to_string(kMaxCount32) + ")");
  }
  return true;
}

bool Reader::count32(uint64_t& n, size_t min_elem_size) {
  size_t at = pos_;
  if (!word(n)) return false;
  // Every element takes at least min_elem_size bytes: a count the input cannot hold ends early.
  if (min_elem_size != 0 && n > remaining() / min_elem_size) {
    return fail(unexpected_end(static_cast<size_t>(n) * min_elem_size, pos_, remaining()) + " (list declared at offset " +
                std::to_string(at) + " with " + std::to_string(n) + " elements)");
  }
  return true;
}

bool Reader::plain_count(uint64_t& n, size_t elem_size) {
  size_t at = pos_;
  if (!u64(n)) return false;
  if (elem_size != 0 && n > remaining() / elem_size) {
    // n * elem_size may not fit a machine word: name the count instead of the byte total.
    return fail("unexpected end of input: list at offset " + std::to_string(at) + " declares " + std::to_string(n) +
                " elements of " + std::to_string(elem_size) + " bytes, " + std::to_string(remaining()) + " bytes left");
  }
  return true;
}

bool Reader::text(std::string& out) {
  uint64_t n;
  if (!plain_count(n, 1)) return false;
  const uint8_t* p;
  if (!bytes(static_cast<size_t>(n), p)) return false;
  std::string_view s(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
  size_t bad = 0;
  if (!utf8::is_valid(s, &bad)) return fail("invalid UTF-8 in text at byte " + std::to_string(bad));
  out.assign(s);
  return true;
}

bool Reader::variant_index(uint32_t& i, uint32_t n_variants) {
  if (!u32(i)) return false;
  if (i >= n_variants) {
    return fail("invalid variant index " + std::to_string(i) + " (expected one of " + std::to_string(n_variants) +
                " variants)");
  }
  return true;
}

// ---- records ----

bool get_sparse_pairs(Reader& r, SparsePairs& out) {
  return r.fixed_list(out, 8, [](Reader& rr, std::pair<uint32_t, float>& p) { return rr.u32(p.first) && rr.f32(p.second); });
}

bool get_field_schema(Reader& r, FieldSchema& out) {
  return r.text(out.name) && r.boolean(out.numeric) &&
         r.map(
             out.dict, [](Reader& rr, std::string& k, uint32_t& v) { return rr.text(k) && rr.u32(v); }, 12);
}

namespace {

bool get_text(Reader& r, std::string& s) { return r.text(s); }

}  // namespace

bool get_manifest(Reader& r, Manifest& m) {
  return r.word(m.dim) && r.word(m.pad) && r.word(m.words_per_plane) && r.word(m.n_bits) && r.word(m.n_clusters) &&
         r.word(m.n) && r.u64(m.seed) && r.f32(m.quant_scale) && r.plain_list(m.centroids) &&
         r.plain_list(m.offsets) && r.list(m.ids, get_text, 8) && r.list(m.fields, get_field_schema, 17) &&
         r.map(
             m.sparse, [](Reader& rr, uint32_t& term, SparsePairs& ps) { return rr.u32(term) && get_sparse_pairs(rr, ps); },
             12) &&
         r.plain_list(m.pca_mean) && r.plain_list(m.pca_comps) && r.word(m.fit_count);
}

bool get_delta(Reader& r, Delta& d) {
  return r.plain_list(d.codes) && r.plain_list(d.factors) && r.plain_list(d.rerank) && r.plain_list(d.clusters) &&
         r.list(d.ids, get_text, 8) &&
         r.list(d.num_cols, [](Reader& rr, std::vector<double>& c) { return rr.plain_list(c); }, 8) &&
         r.list(d.str_cols, [](Reader& rr, std::vector<uint32_t>& c) { return rr.plain_list(c); }, 8) &&
         r.list(d.meta, get_text, 8) && r.list(d.sparse, get_sparse_pairs, 8);
}

bool get_file_crcs(Reader& r, FileCrcs& out) {
  return r.map(
      out, [](Reader& rr, std::string& k, uint32_t& v) { return rr.text(k) && rr.u32(v); }, 12);
}

namespace {

template <class T, class G>
Result<T> decode_with(std::span<const uint8_t> bytes, G&& get) {
  Reader r(bytes);
  T out{};
  if (!get(r, out)) return invalid_data(r.error());
  return out;
}

}  // namespace

std::vector<uint8_t> encode_manifest(const Manifest& m) {
  return encode_exact([&](auto& w) { put_manifest(w, m); });
}
Result<Manifest> decode_manifest(std::span<const uint8_t> bytes) { return decode_with<Manifest>(bytes, get_manifest); }

std::vector<uint8_t> encode_delta(const Delta& d) {
  return encode_exact([&](auto& w) { put_delta(w, d); });
}
Result<Delta> decode_delta(std::span<const uint8_t> bytes) { return decode_with<Delta>(bytes, get_delta); }

std::vector<uint8_t> encode_field_schema(const FieldSchema& f) {
  return encode_exact([&](auto& w) { put_field_schema(w, f); });
}
Result<FieldSchema> decode_field_schema(std::span<const uint8_t> bytes) {
  return decode_with<FieldSchema>(bytes, get_field_schema);
}

std::vector<uint8_t> encode_file_crcs(const FileCrcs& t) {
  return encode_exact([&](auto& w) { put_file_crcs(w, t); });
}
Result<FileCrcs> decode_file_crcs(std::span<const uint8_t> bytes) {
  return decode_with<FileCrcs>(bytes, get_file_crcs);
}

}  // namespace ivf_rabitq::storage
