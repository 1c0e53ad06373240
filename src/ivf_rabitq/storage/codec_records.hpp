// The record encoding of segment files and log records: fixed-width little-endian integers
// and floats, bool as one byte 0/1, text and lists as a u64 count followed by the content,
// records as their fields in order, optional values as a u8 tag (0 absent, 1 present) plus
// the value, choice types as a u32 variant index plus the variant's fields. Trailing bytes
// after a decoded value are ignored.
//
// Encoding is done twice over the same code: once with a SizeCounter to learn the exact
// size, once with a Writer into a buffer of that size (see encode_exact).
//
// Decoding treats every count from the input as untrusted. Counts that are 32-bit by meaning
// (rows, columns, terms, machine-word fields) are refused above 4294967295; counts of lists
// of plain fixed-size values and text lengths are limited only by the input that remains.
// A list of records reserves at most 1 MiB up front, so a damaged count cannot force a huge
// allocation before the input runs out.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::storage {

// Largest value of a count that is 32-bit by meaning.
inline constexpr uint64_t kMaxCount32 = 4294967295ull;
// Up-front reservation limit of a decoded list of records.
inline constexpr size_t kMaxReserveBytes = 1u << 20;

// Plain values stored at their own width, which lists store back to back.
template <class T>
inline constexpr bool is_plain_v = std::is_same_v<T, uint8_t> || std::is_same_v<T, uint32_t> ||
                                   std::is_same_v<T, uint64_t> || std::is_same_v<T, float> ||
                                   std::is_same_v<T, double>;

// Appends encoded values to a buffer (Measure = false) or only counts their bytes (Measure = true).
template <bool Measure>
class BasicWriter {
 public:
  BasicWriter() = default;
  explicit BasicWriter(size_t reserve) { if constexpr (!Measure) buf_.reserve(reserve); }

  void raw(const void* p, size_t n) {
    if constexpr (Measure) {
      size_ += n;
    } else {
      if (n == 0) return;
      const uint8_t* b = static_cast<const uint8_t*>(p);
      buf_.insert(buf_.end(), b, b + n);
    }
  }
  void u8(uint8_t v) { raw(&v, 1); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void u32(uint32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void f32(float v) { raw(&v, 4); }
  void f64(double v) { raw(&v, 8); }
  // A machine-word integer, a count or a length: u64.
  void word(uint64_t v) { u64(v); }
  void count(uint64_t n) { u64(n); }
  void text(std::string_view s) {
    count(s.size());
    raw(s.data(), s.size());
  }
  // A list of plain values: count, then the values back to back.
  template <class T>
  void plain_list(std::span<const T> xs) {
    static_assert(is_plain_v<T>);
    count(xs.size());
    raw(xs.data(), xs.size() * sizeof(T));
  }
  template <class T>
  void plain_list(const std::vector<T>& xs) {
    plain_list(std::span<const T>(xs));
  }
  // A list of anything: count, then put(*this, element) for each element in order.
  template <class C, class F>
  void list(const C& xs, F&& put) {
    count(xs.size());
    for (const auto& x : xs) put(*this, x);
  }
  // A map: count, then put(*this, key, value) for each entry in iteration order.
  template <class M, class F>
  void map(const M& m, F&& put) {
    count(m.size());
    for (const auto& [k, v] : m) put(*this, k, v);
  }
  template <class T, class F>
  void optional(const std::optional<T>& v, F&& put) {
    u8(v.has_value() ? 1 : 0);
    if (v) put(*this, *v);
  }
  void variant_index(uint32_t i) { u32(i); }

  size_t size() const {
    if constexpr (Measure) return size_;
    else return buf_.size();
  }
  std::vector<uint8_t>& bytes() { return buf_; }
  std::vector<uint8_t> take() { return std::move(buf_); }

 private:
  std::vector<uint8_t> buf_;
  size_t size_ = 0;
};

using Writer = BasicWriter<false>;
using SizeCounter = BasicWriter<true>;

// Runs put(writer) twice: once to measure, once into a buffer of exactly that size.
// `put` must be generic over the writer type: [&](auto& w) { ... }.
template <class F>
std::vector<uint8_t> encode_exact(F&& put) {
  SizeCounter sc;
  put(sc);
  Writer w(sc.size());
  put(w);
  return w.take();
}

// Reads encoded values from a byte span. The first failure is sticky: every later read fails
// too, and error() holds the text naming the failure.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}

  bool ok() const { return err_.empty(); }
  const std::string& error() const { return err_; }
  size_t offset() const { return pos_; }
  size_t remaining() const { return in_.size() - pos_; }
  // Records a failure (keeps the first one) and returns false.
  bool fail(std::string msg);

  bool raw(void* out, size_t n);
  // A pointer to the next n bytes of the input, consumed.
  bool bytes(size_t n, const uint8_t*& out);
  bool u8(uint8_t& v) { return raw(&v, 1); }
  bool boolean(bool& v);
  bool u32(uint32_t& v) { return raw(&v, 4); }
  bool u64(uint64_t& v) { return raw(&v, 8); }
  bool f32(float& v) { return raw(&v, 4); }
  bool f64(double& v) { return raw(&v, 8); }
  // A machine-word integer: refused above 4294967295.
  bool word(uint64_t& v);
  // A count that is 32-bit by meaning (rows, columns, entries): refused above 4294967295, and
  // the elements (each at least min_elem_size bytes) must fit in the remaining input.
  bool count32(uint64_t& n, size_t min_elem_size);
  // A count of fixed-size plain elements: limited only by the remaining input.
  bool plain_count(uint64_t& n, size_t elem_size);
  // A text: u64 byte length, then valid UTF-8.
  bool text(std::string& out);

  // A list of plain values, copied in one go.
  template <class T>
  bool plain_list(std::vector<T>& out) {
    static_assert(is_plain_v<T>);
    uint64_t n;
    if (!plain_count(n, sizeof(T))) return false;
    const uint8_t* p;
    if (!bytes(static_cast<size_t>(n) * sizeof(T), p)) return false;
    out.resize(static_cast<size_t>(n));
    if (n != 0) std::memcpy(out.data(), p, static_cast<size_t>(n) * sizeof(T));
    return true;
  }
  // A list of records with a 32-bit count: get(*this, element&) reads each element.
  template <class T, class F>
  bool list(std::vector<T>& out, F&& get, size_t min_elem_size = 1) {
    uint64_t n;
    if (!count32(n, min_elem_size)) return false;
    out.clear();
    out.reserve(reserve_for<T>(n));
    for (uint64_t i = 0; i < n; ++i) {
      out.emplace_back();
      if (!get(*this, out.back())) return false;
    }
    return true;
  }
  // A list of fixed-size records of size elem_size (such as (u32, f32) pairs), counted like
  // plain values.
  template <class T, class F>
  bool fixed_list(std::vector<T>& out, size_t elem_size, F&& get) {
    uint64_t n;
    if (!plain_count(n, elem_size)) return false;
    out.clear();
    out.resize(static_cast<size_t>(n));
    for (auto& x : out) {
      if (!get(*this, x)) return false;
    }
    return true;
  }
  // A map with a 32-bit count: get(*this, key&, value&) reads each entry; a later duplicate
  // key replaces the earlier entry.
  template <class M, class F>
  bool map(M& out, F&& get, size_t min_entry_size = 1) {
    uint64_t n;
    if (!count32(n, min_entry_size)) return false;
    out.clear();
    for (uint64_t i = 0; i < n; ++i) {
      typename M::key_type k{};
      typename M::mapped_type v{};
      if (!get(*this, k, v)) return false;
      out.insert_or_assign(std::move(k), std::move(v));
    }
    return true;
  }
  template <class T, class F>
  bool optional(std::optional<T>& out, F&& get) {
    uint8_t tag;
    if (!u8(tag)) return false;
    if (tag == 0) {
      out.reset();
      return true;
    }
    if (tag != 1) return fail("invalid option tag " + std::to_string(tag) + " (expected 0 or 1)");
    T v{};
    if (!get(*this, v)) return false;
    out = std::move(v);
    return true;
  }
  // A u32 variant index, refused when it is not below n_variants.
  bool variant_index(uint32_t& i, uint32_t n_variants);

 private:
  template <class T>
  static size_t reserve_for(uint64_t n) {
    size_t cap = kMaxReserveBytes / (sizeof(T) == 0 ? 1 : sizeof(T));
    return n < cap ? static_cast<size_t>(n) : cap;
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  std::string err_;
};

// The checksum table of crcs.bin: bare file name to CRC-32 of that whole file.
using FileCrcs = std::unordered_map<std::string, uint32_t>;

// Field-level encoders and decoders, reusable inside other records.
template <bool M>
void put_sparse_pairs(BasicWriter<M>& w, const SparsePairs& ps) {
  w.count(ps.size());
  for (const auto& [a, b] : ps) {
    w.u32(a);
    w.f32(b);
  }
}
bool get_sparse_pairs(Reader& r, SparsePairs& out);

template <bool M>
void put_field_schema(BasicWriter<M>& w, const FieldSchema& f) {
  w.text(f.name);
  w.boolean(f.numeric);
  w.map(f.dict, [](auto& ww, const std::string& k, uint32_t v) {
    ww.text(k);
    ww.u32(v);
  });
}
bool get_field_schema(Reader& r, FieldSchema& out);

template <bool M>
void put_manifest(BasicWriter<M>& w, const Manifest& m) {
  w.word(m.dim);
  w.word(m.pad);
  w.word(m.words_per_plane);
  w.word(m.n_bits);
  w.word(m.n_clusters);
  w.word(m.n);
  w.u64(m.seed);
  w.f32(m.quant_scale);
  w.plain_list(m.centroids);
  w.plain_list(m.offsets);
  w.list(m.ids, [](auto& ww, const std::string& s) { ww.text(s); });
  w.list(m.fields, [](auto& ww, const FieldSchema& f) { put_field_schema(ww, f); });
  w.map(m.sparse, [](auto& ww, uint32_t term, const SparsePairs& ps) {
    ww.u32(term);
    put_sparse_pairs(ww, ps);
  });
  w.plain_list(m.pca_mean);
  w.plain_list(m.pca_comps);
  w.word(m.fit_count);
}
bool get_manifest(Reader& r, Manifest& out);

template <bool M>
void put_delta(BasicWriter<M>& w, const Delta& d) {
  w.plain_list(d.codes);
  w.plain_list(d.factors);
  w.plain_list(d.rerank);
  w.plain_list(d.clusters);
  w.list(d.ids, [](auto& ww, const std::string& s) { ww.text(s); });
  w.list(d.num_cols, [](auto& ww, const std::vector<double>& c) { ww.plain_list(c); });
  w.list(d.str_cols, [](auto& ww, const std::vector<uint32_t>& c) { ww.plain_list(c); });
  w.list(d.meta, [](auto& ww, const std::string& s) { ww.text(s); });
  w.list(d.sparse, [](auto& ww, const SparsePairs& ps) { put_sparse_pairs(ww, ps); });
}
bool get_delta(Reader& r, Delta& out);

template <bool M>
void put_file_crcs(BasicWriter<M>& w, const FileCrcs& t) {
  w.map(t, [](auto& ww, const std::string& k, uint32_t v) {
    ww.text(k);
    ww.u32(v);
  });
}
bool get_file_crcs(Reader& r, FileCrcs& out);

// Whole-value encoders (exact size, cannot fail) and decoders (an invalid-data error whose
// message is the decoder's text alone).
std::vector<uint8_t> encode_manifest(const Manifest& m);
Result<Manifest> decode_manifest(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_delta(const Delta& d);
Result<Delta> decode_delta(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_field_schema(const FieldSchema& f);
Result<FieldSchema> decode_field_schema(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_file_crcs(const FileCrcs& t);
Result<FileCrcs> decode_file_crcs(std::span<const uint8_t> bytes);

// Deep copy of a schema list (every field, dictionary included).
inline std::vector<FieldSchema> to_vec(std::span<const FieldSchema> fields) {
  return std::vector<FieldSchema>(fields.begin(), fields.end());
}

}  // namespace ivf_rabitq::storage
