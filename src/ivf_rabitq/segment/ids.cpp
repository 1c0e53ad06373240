// Id resolution (external id <-> slot) and the live row count of an open segment.
#include <algorithm>
#include <atomic>

#include "ivf_rabitq/common/utf8.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::index {

namespace {

std::atomic<IdHashFn> g_id_hash_override{nullptr};

// idhash.bin as an array of 12-byte records.
struct IdHashView {
  const uint8_t* base = nullptr;
  size_t count = 0;
  uint64_t hash(size_t i) const { return storage::load_u64(base + i * storage::kIdHashRecord); }
  uint32_t slot(size_t i) const { return storage::load_u32(base + i * storage::kIdHashRecord + 8); }
};

IdHashView idhash_view(const IvfIndex& ix) {
  IdHashView v;
  if (ix.idhash_bin) {
    v.base = ix.idhash_bin->bytes().data();
    v.count = ix.idhash_bin->byte_len() / storage::kIdHashRecord;
  }
  return v;
}

// First record whose hash is not below h.
size_t lower_bound_hash(const IdHashView& v, uint64_t h) {
  size_t base = 0, size = v.count;
  while (size > 1) {
    const size_t half = size / 2;
    base = v.hash(base + half) < h ? base + half : base;
    size -= half;
  }
  if (v.count != 0 && v.hash(base) < h) ++base;
  return base;
}

// The delta's id list is scanned newest first, so the latest row of an id wins.
std::optional<uint32_t> scan_delta(std::string_view id, uint32_t n, const std::vector<std::string>& delta_ids) {
  for (size_t i = delta_ids.size(); i-- > 0;) {
    if (delta_ids[i] == id) return static_cast<uint32_t>(n + i);
  }
  return std::nullopt;
}

}  // namespace

uint64_t id_hash(std::string_view id) {
  const IdHashFn f = g_id_hash_override.load(std::memory_order_relaxed);
  if (__builtin_expect(f != nullptr, 0)) return f(id);
  return storage::fnv1a64(id);
}

IdHashFn set_id_hash_for_testing(IdHashFn fn) { return g_id_hash_override.exchange(fn); }

std::optional<std::string_view> IvfIndex::main_id(uint32_t s) const {
  if (ids_bin && ids_off_bin) {
    const auto off = ids_off_bin->view();
    if (static_cast<uint64_t>(s) + 1 >= off.size()) return std::nullopt;
    const uint64_t start = off[s], end = off[s + 1];
    if (end < start || end > ids_bin->byte_len()) return std::nullopt;
    const std::string_view id(reinterpret_cast<const char*>(ids_bin->bytes().data()) + start,
                              static_cast<size_t>(end - start));
    if (!utf8::is_valid(id)) return std::nullopt;
    return id;
  }
  if (s >= manifest.ids.size()) return std::nullopt;
  return std::string_view(manifest.ids[s]);
}

namespace {

// Whether main slot s holds exactly `id`. The bytes are compared before the UTF-8 check
// (a stored id that is not UTF-8 has no id and never matches).
bool main_id_equals(const IvfIndex& ix, uint32_t s, std::string_view id) {
  if (ix.ids_bin && ix.ids_off_bin) {
    const auto off = ix.ids_off_bin->view();
    if (static_cast<uint64_t>(s) + 1 >= off.size()) return false;
    const uint64_t start = off[s], end = off[s + 1];
    if (end < start || end > ix.ids_bin->byte_len()) return false;
    if (end - start != id.size()) return false;
    const std::string_view stored(reinterpret_cast<const char*>(ix.ids_bin->bytes().data()) + start, id.size());
    return stored == id && utf8::is_valid(stored);
  }
  return s < ix.manifest.ids.size() && ix.manifest.ids[s] == id;
}

// Steps 1-5 of a lookup: the id map hit (verified), the delta scan after a failed
// verification, then the main slots the map displaced from this hash.
std::optional<uint32_t> lookup_in_map(const IvfIndex& ix, std::string_view id, uint64_t h, const IdMap& map,
                                      const std::vector<std::string>& delta_ids) {
  if (map.empty()) return std::nullopt;
  const auto hit = map.find(h);
  if (!hit) return std::nullopt;
  const uint32_t n = ix.main_rows();
  const uint32_t s = *hit;
  if (s >= n) {
    const uint64_t i = s - n;
    if (i < delta_ids.size() && delta_ids[i] == id) return s;
  } else if (main_id_equals(ix, s, id)) {
    return s;
  }
  if (auto d = scan_delta(id, n, delta_ids)) return d;
  std::optional<uint32_t> found;
  map.any_displaced(h, [&](uint32_t slot) {
    if (main_id_equals(ix, slot, id) && (!found || slot > *found)) found = slot;
    return false;
  });
  return found;
}

std::optional<uint32_t> scan_idhash_from(const IvfIndex& ix, const IdHashView& v, size_t pos, uint64_t h,
                                         std::string_view id) {
  for (; pos < v.count && v.hash(pos) == h; ++pos) {
    const uint32_t s = v.slot(pos);
    if (main_id_equals(ix, s, id)) return s;
  }
  return std::nullopt;
}

template <class Id>
std::vector<std::optional<uint32_t>> batch_lookup(const IvfIndex& ix, std::span<const Id> ids, const IdMap& map,
                                                  const std::vector<std::string>& delta_ids) {
  std::vector<std::optional<uint32_t>> out(ids.size());
  struct Pending {
    size_t pos;
    uint64_t hash;
  };
  std::vector<Pending> pending;
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string_view id(ids[i]);
    const uint64_t h = id_hash(id);
    if (auto s = lookup_in_map(ix, id, h, map, delta_ids)) {
      out[i] = s;
    } else {
      pending.push_back({i, h});
    }
  }
  const IdHashView v = idhash_view(ix);
  if (v.count == 0 || pending.empty()) return out;
  constexpr size_t kGroup = 16;
  for (size_t g = 0; g < pending.size(); g += kGroup) {
    const size_t m = std::min(kGroup, pending.size() - g);
    size_t base[kGroup];
    for (size_t k = 0; k < m; ++k) base[k] = 0;
    // Lower-bound searches of the group run side by side, one halving step at a time.
    size_t size = v.count;
    while (size > 1) {
      const size_t half = size / 2;
      for (size_t k = 0; k < m; ++k) {
        const uint64_t hk = pending[g + k].hash;
        base[k] = v.hash(base[k] + half) < hk ? base[k] + half : base[k];
      }
      size -= half;
    }
    for (size_t k = 0; k < m; ++k) {
      const Pending& p = pending[g + k];
      size_t b = base[k];
      if (v.hash(b) < p.hash) ++b;
      out[p.pos] = scan_idhash_from(ix, v, b, p.hash, std::string_view(ids[p.pos]));
    }
  }
  return out;
}

}  // namespace

std::optional<uint32_t> IvfIndex::slot_of_locked(std::string_view id, const IdMap& map,
                                                 const std::vector<std::string>& delta_ids) const {
  const uint64_t h = id_hash(id);
  if (auto s = lookup_in_map(*this, id, h, map, delta_ids)) return s;
  const IdHashView v = idhash_view(*this);
  if (v.count == 0) return std::nullopt;
  return scan_idhash_from(*this, v, lower_bound_hash(v, h), h, id);
}

std::optional<uint32_t> IvfIndex::slot_of(std::string_view id) const {
  auto map = locks_.id_map.read();
  auto d = locks_.delta.read();
  return slot_of_locked(id, *map, d->ids);
}

std::vector<std::optional<uint32_t>> IvfIndex::slots_of_locked(std::span<const std::string> ids, const IdMap& map,
                                                               const std::vector<std::string>& delta_ids) const {
  return batch_lookup(*this, ids, map, delta_ids);
}

std::vector<std::optional<uint32_t>> IvfIndex::slots_of_locked(std::span<const std::string_view> ids,
                                                               const IdMap& map,
                                                               const std::vector<std::string>& delta_ids) const {
  return batch_lookup(*this, ids, map, delta_ids);
}

std::string IvfIndex::ext_of(uint32_t slot) const {
  std::string id;
  append_ext(slot, id);
  return id;
}

void IvfIndex::append_ext(uint32_t slot, std::string& out) const {
  const uint32_t n = main_rows();
  if (slot < n) {
    if (auto id = main_id(slot)) out.append(*id);  // read in place
    return;
  }
  auto d = locks_.delta.read();
  const uint64_t i = slot - n;
  if (i < d->ids.size()) out.append(d->ids[i]);
}

void IvfIndex::prefetch_id(uint32_t slot) const {
  if (!ids_bin || !ids_off_bin || slot >= main_rows()) return;
  const auto off = ids_off_bin->view();
  if (static_cast<uint64_t>(slot) + 1 >= off.size()) return;
  const uint64_t start = off[slot];
  if (start < ids_bin->byte_len()) __builtin_prefetch(ids_bin->bytes().data() + start);
}

IvfIndex::RowCounts IvfIndex::row_counts() const {
  RowCounts c;
  {
    auto d = locks_.delta.read();
    c.delta = d->ids.size();
  }
  {
    auto t = locks_.tombstones.read();
    c.deleted = t->cardinality();
  }
  c.main = manifest.n;
  return c;
}

uint64_t IvfIndex::live_count() const {
  uint64_t rows;
  {
    auto d = locks_.delta.read();
    rows = d->rows();
  }
  uint64_t dead;
  {
    auto t = locks_.tombstones.read();
    dead = t->cardinality();
  }
  const uint64_t total = manifest.n + rows;
  return total >= dead ? total - dead : 0;
}

}  // namespace ivf_rabitq::index
