// Encoders of the segment's id, id-hash and sparse files, the FNV-1a-64 id hash and the
// hasher of transient maps keyed by u32 terms or slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::storage {

inline constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ull;

// FNV-1a-64 of a byte string: the key of idhash.bin records and of the id map.
inline uint64_t fnv1a64(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint64_t h = kFnvOffsetBasis;
  for (size_t i = 0; i < len; ++i) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  return h;
}
inline uint64_t fnv1a64(std::string_view s) { return fnv1a64(s.data(), s.size()); }

// Stateless, unseeded hash of u32 keys: the key widened to 64 bits, multiplied by
// 0x517cc1b727220a95 and rotated left by 26 bits. For maps that are never persisted.
struct IntHasher {
  static constexpr uint64_t hash(uint32_t key) {
    uint64_t x = static_cast<uint64_t>(key) * 0x517cc1b727220a95ull;
    return (x << 26) | (x >> 38);
  }
  size_t operator()(uint32_t key) const noexcept { return static_cast<size_t>(hash(key)); }
};

// ids.bin body (the ids' bytes concatenated) and the n + 1 offsets of ids_off.bin.
struct EncodedIds {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> offsets;
};
EncodedIds encode_ids(std::span<const std::string> ids);

// u64 values as little-endian bytes (the body of an offsets file such as ids_off.bin).
std::vector<uint8_t> encode_offsets(std::span<const uint64_t> offsets);

// Size of one idhash.bin record: u64 FNV-1a-64 of the id, u32 slot.
inline constexpr size_t kIdHashRecord = 12;

// idhash.bin body (records ascending by hash; equal hashes by slot) and whether any id occurs
// more than once.
struct EncodedIdHash {
  std::vector<uint8_t> bytes;
  bool has_duplicate = false;
};
EncodedIdHash encode_idhash_checked(std::span<const std::string> ids);

// sparse.bin body from (term, postings) entries in any order; terms must be distinct.
std::vector<uint8_t> encode_sparse_entries(std::vector<std::pair<uint32_t, const SparsePairs*>> entries);

// sparse.bin body of a map from term to its postings (any map type with u32 keys and
// SparsePairs values): u64 T, T x (u32 term, u32 count) ascending by term, then the postings
// term after term as (u32 slot, f32 weight).
template <class Map>
std::vector<uint8_t> encode_sparse(const Map& map) {
  std::vector<std::pair<uint32_t, const SparsePairs*>> entries;
  entries.reserve(map.size());
  for (const auto& [term, postings] : map) entries.emplace_back(term, &postings);
  return encode_sparse_entries(std::move(entries));
}

}  // namespace ivf_rabitq::storage
