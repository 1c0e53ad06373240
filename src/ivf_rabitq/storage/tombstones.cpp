#include "ivf_rabitq/storage/tombstones.hpp"

#include <roaring/roaring.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

namespace ivf_rabitq::storage {
namespace {

constexpr uint32_t kCookieNoRuns = 12346;
constexpr uint32_t kCookieRuns = 12347;
constexpr uint32_t kMaxContainers = 65536;
constexpr uint32_t kMaxArrayCardinality = 4096;
constexpr size_t kBitmapWords = 1024;
constexpr size_t kBitmapBytes = kBitmapWords * 8;
// With run containers, the offset header is present only from this many containers on.
constexpr uint32_t kNoOffsetThreshold = 4;

roaring_uint32_iterator_t* iter(unsigned char* storage) {
  return std::launder(reinterpret_cast<roaring_uint32_iterator_t*>(storage));
}

roaring_bitmap_t* create_bitmap() {
  roaring_bitmap_t* bm = roaring_bitmap_create();
  if (bm == nullptr) throw std::bad_alloc();
  return bm;
}

void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One container of the serialised form: its key and cardinality.
struct ContainerInfo {
  uint16_t key;
  uint32_t card;
};

// Walks the set once and lists its containers by value, independent of how the library
// represents them.
std::vector<ContainerInfo> list_containers(const roaring_bitmap_t* bm) {
  std::vector<ContainerInfo> out;
  if (bm == nullptr) return out;
  roaring_uint32_iterator_t it;
  roaring_init_iterator(bm, &it);
  uint32_t buf[4096];
  while (true) {
    const uint32_t n = roaring_read_uint32_iterator(&it, buf, 4096);
    for (uint32_t i = 0; i < n; ++i) {
      const auto key = static_cast<uint16_t>(buf[i] >> 16);
      if (out.empty() || out.back().key != key) out.push_back({key, 0});
      ++out.back().card;
    }
    if (n < 4096) break;
  }
  return out;
}

size_t body_size(const std::vector<ContainerInfo>& cs) {
  size_t size = 8 + 8 * cs.size();
  for (const auto& c : cs) size += c.card <= kMaxArrayCardinality ? 2 * size_t{c.card} : kBitmapBytes;
  return size;
}

// Bounded little-endian reader over the body.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  size_t pos() const { return pos_; }
  size_t remaining() const { return b_.size() - pos_; }
  bool has(uint64_t n) const { return n <= remaining(); }
  uint16_t u16() {
    uint16_t v = static_cast<uint16_t>(b_[pos_] | (b_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{b_[pos_ + i]} << (8 * i);
    pos_ += 4;
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{b_[pos_ + i]} << (8 * i);
    pos_ += 8;
    return v;
  }
  const uint8_t* at(size_t p) const { return b_.data() + p; }
  void skip(size_t n) { pos_ += n; }

 private:
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
};

IoError bad(std::string text) { return invalid_data(std::move(text)); }

std::string truncated(const char* what, size_t need, size_t at, size_t size) {
  return std::string("truncated ") + what + ": needs " + std::to_string(need) + " bytes at offset " +
         std::to_string(at) + ", body has " + std::to_string(size);
}

}  // namespace

void Tombstones::Free::operator()(roaring_bitmap_s* bm) const noexcept { roaring_bitmap_free(bm); }

roaring_bitmap_s* Tombstones::mut() {
  if (!bm_) bm_.reset(create_bitmap());
  return bm_.get();
}

Tombstones::Tombstones(const Tombstones& other) {
  if (other.bm_) {
    roaring_bitmap_t* c = roaring_bitmap_copy(other.bm_.get());
    if (c == nullptr) throw std::bad_alloc();
    roaring_bitmap_set_copy_on_write(c, false);
    bm_.reset(c);
  }
}

Tombstones& Tombstones::operator=(const Tombstones& other) {
  if (this != &other) {
    Tombstones copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Tombstones Tombstones::from_slots(std::span<const uint32_t> slots) {
  std::vector<uint32_t> sorted(slots.begin(), slots.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  Tombstones t;
  if (!sorted.empty()) roaring_bitmap_add_many(t.mut(), sorted.size(), sorted.data());
  return t;
}

bool Tombstones::insert(uint32_t slot) { return roaring_bitmap_add_checked(mut(), slot); }

bool Tombstones::contains(uint32_t slot) const noexcept { return bm_ && roaring_bitmap_contains(bm_.get(), slot); }

uint64_t Tombstones::cardinality() const noexcept { return bm_ ? roaring_bitmap_get_cardinality(bm_.get()) : 0; }

bool Tombstones::empty() const noexcept { return !bm_ || roaring_bitmap_is_empty(bm_.get()); }

std::optional<uint32_t> Tombstones::maximum() const noexcept {
  if (empty()) return std::nullopt;
  return roaring_bitmap_maximum(bm_.get());
}

bool Tombstones::is_subset_of(const Tombstones& other) const noexcept {
  if (empty()) return true;
  if (other.empty()) return false;
  return roaring_bitmap_is_subset(bm_.get(), other.bm_.get());
}

void Tombstones::remove_range(uint64_t begin, uint64_t end) {
  end = std::min<uint64_t>(end, uint64_t{1} << 32);
  if (!bm_ || begin >= end) return;
  // Removal from array and bitmap containers yields array and bitmap containers only.
  roaring_bitmap_remove_range_closed(bm_.get(), static_cast<uint32_t>(begin), static_cast<uint32_t>(end - 1));
}

void Tombstones::union_with(const Tombstones& other) {
  if (other.empty()) return;
  // Neither side has run containers, so the union has none either.
  roaring_bitmap_or_inplace(mut(), other.bm_.get());
}

void Tombstones::clear() noexcept { bm_.reset(); }

std::vector<uint32_t> Tombstones::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(bm_.get(), out.data());
  return out;
}

bool Tombstones::operator==(const Tombstones& other) const noexcept {
  if (empty() || other.empty()) return empty() == other.empty();
  return roaring_bitmap_equals(bm_.get(), other.bm_.get());
}

// ---- cursor ----

static_assert(sizeof(roaring_uint32_iterator_t) <= 64, "cursor storage too small for the iterator");
static_assert(alignof(roaring_uint32_iterator_t) <= 8, "cursor storage under-aligned");

Tombstones::Cursor::Cursor(const roaring_bitmap_s* bm) noexcept : bm_(bm) {
  if (bm_ != nullptr) {
    roaring_init_iterator(bm_, new (it_) roaring_uint32_iterator_t);
    sync();
  }
}

void Tombstones::Cursor::sync() noexcept {
  const roaring_uint32_iterator_t* it = iter(it_);
  has_value_ = it->has_value;
  value_ = it->has_value ? it->current_value : 0;
}

void Tombstones::Cursor::next() noexcept {
  if (!has_value_) return;
  roaring_advance_uint32_iterator(iter(it_));
  sync();
}

bool Tombstones::Cursor::seek(uint32_t x) noexcept {
  if (bm_ == nullptr) return false;
  roaring_move_uint32_iterator_equalorlarger(iter(it_), x);
  sync();
  return has_value_;
}

size_t Tombstones::Cursor::read(std::span<uint32_t> out) noexcept {
  if (!has_value_ || out.empty()) return 0;
  size_t done = 0;
  while (done < out.size() && has_value_) {
    const auto chunk = static_cast<uint32_t>(std::min<size_t>(out.size() - done, UINT32_MAX));
    const uint32_t n = roaring_read_uint32_iterator(iter(it_), out.data() + done, chunk);
    done += n;
    sync();
    if (n < chunk) break;
  }
  return done;
}

Tombstones::Cursor Tombstones::cursor(uint32_t from) const noexcept {
  Cursor c(empty() ? nullptr : bm_.get());
  if (from != 0 && c.valid()) c.seek(from);
  return c;
}

// ---- serialisation ----

size_t Tombstones::serialized_size() const { return body_size(list_containers(bm_.get())); }

std::vector<uint8_t> Tombstones::serialize() const {
  const std::vector<ContainerInfo> cs = list_containers(bm_.get());
  std::vector<uint8_t> out(body_size(cs), 0);
  uint8_t* p = out.data();
  put_u32(p, kCookieNoRuns);
  put_u32(p + 4, static_cast<uint32_t>(cs.size()));
  size_t header = 8;
  size_t data = 8 + 8 * cs.size();
  for (const auto& c : cs) {
    put_u16(p + header, c.key);
    put_u16(p + header + 2, static_cast<uint16_t>(c.card - 1));
    header += 4;
  }
  for (const auto& c : cs) {
    put_u32(p + header, static_cast<uint32_t>(data));
    header += 4;
    data += c.card <= kMaxArrayCardinality ? 2 * size_t{c.card} : kBitmapBytes;
  }
  if (cs.empty()) return out;

  // Second walk: the container data, in key order.
  roaring_uint32_iterator_t it;
  roaring_init_iterator(bm_.get(), &it);
  size_t at = 8 + 8 * cs.size();
  std::vector<uint32_t> vals(65536);
  for (const auto& c : cs) {
    const uint32_t n = roaring_read_uint32_iterator(&it, vals.data(), c.card);
    if (n != c.card) break;  // cannot happen: the first walk counted the same values
    if (c.card <= kMaxArrayCardinality) {
      for (uint32_t i = 0; i < c.card; ++i) put_u16(p + at + 2 * i, static_cast<uint16_t>(vals[i]));
      at += 2 * size_t{c.card};
    } else {
      uint64_t words[kBitmapWords] = {};
      for (uint32_t i = 0; i < c.card; ++i) {
        const uint32_t low = vals[i] & 0xFFFF;
        words[low >> 6] |= uint64_t{1} << (low & 63);
      }
      for (size_t w = 0; w < kBitmapWords; ++w) put_u64(p + at + 8 * w, words[w]);
      at += kBitmapBytes;
    }
  }
  return out;
}

namespace {

// Decodes a body part by part, checking each count, offset, key, value and cardinality
// against the input before trusting it.
class BodyDecoder {
 public:
  explicit BodyDecoder(std::span<const uint8_t> body) : body_(body), r_(body) {}

  uint32_t count() const { return count_; }

  // The cookie and container count, then the run flags (one bit per container), the
  // descriptive header and the offset header.
  Status read_headers() {
    TANDREL_TRY(read_cookie());
    run_flags_at_ = r_.pos();
    if (has_runs_) {
      const size_t n = (size_t{count_} + 7) / 8;
      if (!r_.has(n)) return bad(truncated("run flags", n, r_.pos(), body_.size()));
      r_.skip(n);
    }
    TANDREL_TRY(read_descriptive_header());
    has_offsets_ = !has_runs_ || count_ >= kNoOffsetThreshold;
    if (has_offsets_) {
      if (!r_.has(4 * uint64_t{count_})) {
        return bad(truncated("container offsets", 4 * size_t{count_}, r_.pos(), body_.size()));
      }
      offsets_at_ = r_.pos();
      r_.skip(4 * size_t{count_});
    }
    return {};
  }

  // The values of container i (read in order from i = 0) into `vals`, replacing its content.
  Status read_container(uint32_t i, std::vector<uint32_t>& vals) {
    const ContainerInfo c = cs_[i];
    if (has_offsets_) {
      TANDREL_TRY(check_offset(i, c));
    }
    vals.clear();
    if (is_run(i)) return read_runs(i, c, vals);
    if (c.card <= kMaxArrayCardinality) return read_array(i, c, vals);
    return read_bitmap(i, c, vals);
  }

 private:
  Status read_cookie() {
    if (!r_.has(4)) return bad(truncated("cookie", 4, 0, body_.size()));
    const uint32_t cookie = r_.u32();
    if (cookie == kCookieNoRuns) {
      if (!r_.has(4)) return bad(truncated("container count", 4, r_.pos(), body_.size()));
      count_ = r_.u32();
      if (count_ > kMaxContainers) {
        return bad("container count " + std::to_string(count_) + " exceeds " + std::to_string(kMaxContainers));
      }
    } else if ((cookie & 0xFFFF) == kCookieRuns) {
      has_runs_ = true;
      count_ = (cookie >> 16) + 1;
    } else {
      return bad("unknown cookie " + std::to_string(cookie));
    }
    return {};
  }

  // Key and cardinality of each container; keys strictly ascending.
  Status read_descriptive_header() {
    if (!r_.has(4 * uint64_t{count_})) {
      return bad(truncated("container headers", 4 * size_t{count_}, r_.pos(), body_.size()));
    }
    cs_ = std::vector<ContainerInfo>(count_);
    for (uint32_t i = 0; i < count_; ++i) {
      cs_[i].key = r_.u16();
      cs_[i].card = uint32_t{r_.u16()} + 1;
      if (i > 0 && cs_[i].key <= cs_[i - 1].key) {
        return bad("container keys out of order: key " + std::to_string(cs_[i].key) + " after " +
                   std::to_string(cs_[i - 1].key));
      }
    }
    return {};
  }

  bool is_run(uint32_t i) const {
    return has_runs_ && ((*r_.at(run_flags_at_ + i / 8) >> (i % 8)) & 1) != 0;
  }

  static std::string which(uint32_t i, const ContainerInfo& c) {
    return "container " + std::to_string(i) + " (key " + std::to_string(c.key) + ")";
  }

  // The offset header's entry for container i must be where its data starts.
  Status check_offset(uint32_t i, const ContainerInfo& c) const {
    Reader o(body_);
    o.skip(offsets_at_ + 4 * size_t{i});
    const uint32_t off = o.u32();
    if (off != r_.pos()) {
      return bad(which(i, c) + " offset " + std::to_string(off) + " does not match its position " +
                 std::to_string(r_.pos()));
    }
    return {};
  }

  // A run container: a count, then (start, length - 1) pairs, ascending and disjoint, within
  // the block, holding exactly the header's cardinality.
  Status read_runs(uint32_t i, const ContainerInfo& c, std::vector<uint32_t>& vals) {
    const uint32_t high = uint32_t{c.key} << 16;
    if (!r_.has(2)) return bad(truncated("run count", 2, r_.pos(), body_.size()));
    const uint32_t runs = r_.u16();
    if (!r_.has(4 * uint64_t{runs})) return bad(truncated("runs", 4 * size_t{runs}, r_.pos(), body_.size()));
    uint32_t total = 0;
    int64_t prev_end = -1;
    for (uint32_t j = 0; j < runs; ++j) {
      const uint32_t start = r_.u16();
      const uint32_t end = start + r_.u16();  // inclusive
      if (end > 0xFFFF) {
        return bad(which(i, c) + " run " + std::to_string(j) + " ends beyond its block (" + std::to_string(end) + ")");
      }
      if (static_cast<int64_t>(start) <= prev_end) {
        return bad(which(i, c) + " run " + std::to_string(j) + " overlaps or precedes the previous run");
      }
      prev_end = end;
      total += end - start + 1;
      if (total > c.card) break;  // reported below; keeps the value buffer bounded
      for (uint32_t v = start; v <= end; ++v) vals.push_back(high | v);
    }
    if (total != c.card) {
      return bad(which(i, c) + " runs hold " +
                 (total > c.card ? "more than " + std::to_string(c.card) : std::to_string(total)) +
                 " values, header says " + std::to_string(c.card));
    }
    return {};
  }

  // An array container: the header's cardinality of strictly ascending u16 values.
  Status read_array(uint32_t i, const ContainerInfo& c, std::vector<uint32_t>& vals) {
    const uint32_t high = uint32_t{c.key} << 16;
    if (!r_.has(2 * uint64_t{c.card})) {
      return bad(truncated("array container", 2 * size_t{c.card}, r_.pos(), body_.size()));
    }
    int32_t prev = -1;
    for (uint32_t j = 0; j < c.card; ++j) {
      const uint16_t v = r_.u16();
      if (static_cast<int32_t>(v) <= prev) {
        return bad(which(i, c) + " array values not strictly ascending at index " + std::to_string(j));
      }
      prev = v;
      vals.push_back(high | v);
    }
    return {};
  }

  // A bitmap container: 1024 words whose set bits number the header's cardinality.
  Status read_bitmap(uint32_t i, const ContainerInfo& c, std::vector<uint32_t>& vals) {
    const uint32_t high = uint32_t{c.key} << 16;
    if (!r_.has(kBitmapBytes)) return bad(truncated("bitmap container", kBitmapBytes, r_.pos(), body_.size()));
    uint32_t total = 0;
    for (size_t w = 0; w < kBitmapWords; ++w) {
      uint64_t word = r_.u64();
      total += static_cast<uint32_t>(std::popcount(word));
      while (word != 0) {
        const int b = std::countr_zero(word);
        vals.push_back(high | static_cast<uint32_t>(w * 64 + static_cast<size_t>(b)));
        word &= word - 1;
      }
    }
    if (total != c.card) {
      return bad(which(i, c) + " bitmap holds " + std::to_string(total) + " values, header says " +
                 std::to_string(c.card));
    }
    return {};
  }

  std::span<const uint8_t> body_;
  Reader r_;
  uint32_t count_ = 0;
  bool has_runs_ = false;
  bool has_offsets_ = false;
  size_t run_flags_at_ = 0;
  size_t offsets_at_ = 0;
  std::vector<ContainerInfo> cs_;
};

}  // namespace

Result<Tombstones> Tombstones::deserialize(std::span<const uint8_t> body) {
  BodyDecoder d(body);
  TANDREL_TRY(d.read_headers());
  Tombstones out;
  std::vector<uint32_t> vals;
  vals.reserve(d.count() == 0 ? 0 : 65536);
  for (uint32_t i = 0; i < d.count(); ++i) {
    TANDREL_TRY(d.read_container(i, vals));
    roaring_bitmap_add_many(out.mut(), vals.size(), vals.data());
  }
  return out;
}

}  // namespace ivf_rabitq::storage
