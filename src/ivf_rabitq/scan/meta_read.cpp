// Metadata reads by id, with and without a budget (see meta_read.hpp).
#include "ivf_rabitq/scan/meta_read.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "ivf_rabitq/predicate/keys.hpp"

namespace ivf_rabitq::scan {

using index::IvfIndex;
using storage::FieldSchema;

namespace {

using ReverseDictList = std::vector<std::unordered_map<uint32_t, std::string>>;
constexpr std::string_view kNull = "null";

size_t sat_mul(size_t a, size_t b) {
  size_t r;
  return __builtin_mul_overflow(a, b, &r) ? SIZE_MAX : r;
}
size_t sat_add(size_t a, size_t b) {
  size_t r;
  return __builtin_add_overflow(a, b, &r) ? SIZE_MAX : r;
}

// What an answer text costs against the remaining budget r.
size_t charge_of(std::string_view text, size_t r, bool fast_upper) {
  if (fast_upper) {
    const size_t upper = sat_mul(288, text.size());
    if (upper <= r) return upper;
  }
  return metadata_result_cost(text);
}

// Whether one of the 8 bytes at p is '"' or '\' (the zero-byte test on the word XORed with
// each byte repeated).
bool has_quote_or_backslash(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  auto zero_byte = [](uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  return (zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\'))) != 0;
}

bool has_meta_bin(const IvfIndex& ix) { return ix.meta_bin.has_value() && ix.meta_off_bin.has_value(); }

}  // namespace

size_t metadata_result_cost(std::string_view text) {
  size_t commas = 0, openers = 0, colons = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char c = *p++;
    switch (c) {
      case ',': ++commas; break;
      case ':': ++colons; break;
      case '[':
      case '{': ++openers; break;
      case '"': {
        // Inside a string: only '"' (the end) and '\' (escapes the next byte) matter; runs
        // of other bytes are skipped eight at a time.
        while (p < end && *p != '"') {
          if (*p == '\\') {
            p += 2;
            continue;
          }
          ++p;
          while (end - p >= 8 && !has_quote_or_backslash(p)) p += 8;
        }
        if (p >= end) goto done;  // unterminated: what was counted stands
        ++p;
        break;
      }
      default: break;
    }
  }
done:
  const size_t structure = sat_add(sat_add(sat_mul(288, commas), sat_mul(128, openers)), sat_mul(256, colons));
  const size_t by_len = sat_mul(4, text.size());
  return structure > by_len ? structure : by_len;
}

std::optional<std::string_view> stored_meta_text(const IvfIndex& ix, uint32_t slot,
                                                 const std::vector<std::string>& delta_meta) {
  const uint64_t n = ix.manifest.n;
  if (slot >= n) {
    const uint64_t i = slot - n;
    if (i >= delta_meta.size()) return std::nullopt;
    return std::string_view(delta_meta[i]);
  }
  if (!has_meta_bin(ix)) return std::nullopt;
  const auto off = ix.meta_off_bin->view();
  if (static_cast<uint64_t>(slot) + 1 >= off.size()) return std::nullopt;
  const uint64_t a = off[slot], e = off[slot + 1];
  if (e < a || e > ix.meta_bin->byte_len()) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(ix.meta_bin->bytes().data()) + a,
                          static_cast<size_t>(e - a));
}

std::vector<std::string> get_meta(const IvfIndex& ix, std::span<const std::string> ids) {
  ReverseDictList rdicts;
  if (!has_meta_bin(ix)) rdicts = predicate::reverse_dictionaries(ix.manifest.fields);
  auto map = ix.locks().id_map.read();
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  std::vector<std::string> out;
  out.reserve(ids.size());
  for (const std::string& id : ids) {
    const auto slot = ix.slot_of_locked(id, *map, d->ids);
    if (!slot || tomb->contains(*slot)) {
      out.emplace_back(kNull);
    } else {
      out.push_back(ix.row_meta_str(*slot, rdicts, d->meta));
    }
  }
  return out;
}

std::optional<LimitedMeta> get_meta_limited(const IvfIndex& ix, std::span<const std::string> ids, size_t budget,
                                            bool charge_nulls, bool fast_upper) {
  auto map = ix.locks().id_map.read();
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const uint64_t n = ix.manifest.n;
  const auto slots = ix.slots_of_locked(ids, *map, d->ids);
  auto live = [&](size_t i) { return slots[i] && !tomb->contains(*slots[i]); };

  // Without meta.bin, main rows are rebuilt from the columns: reverse dictionaries holding
  // only the codes the requested live rows use, their keys bounded by the budget.
  ReverseDictList rdicts;
  if (!has_meta_bin(ix)) {
    size_t left = budget;
    size_t j = 0;
    for (const FieldSchema& f : ix.manifest.fields) {
      if (f.numeric) continue;
      std::unordered_set<uint32_t> used;
      if (j < ix.str_bins.size()) {
        const auto col = ix.str_bins[j].view();
        for (size_t i = 0; i < ids.size(); ++i)
          if (live(i) && *slots[i] < n && *slots[i] < col.size()) used.insert(col[*slots[i]]);
      }
      auto& rd = rdicts.emplace_back();
      if (!used.empty()) {
        for (const auto& [key, code] : f.dict) {
          if (!used.contains(code)) continue;
          if (key.size() > left) return std::nullopt;
          left -= key.size();
          rd.emplace(code, key);
        }
      }
      ++j;
    }
  }

  LimitedMeta out;
  out.texts.reserve(ids.size());
  size_t r = budget;
  auto charge_null = [&]() {
    ++out.nulls;
    if (!charge_nulls) return true;
    if (r < kNullCost) return false;
    r -= kNullCost;
    return true;
  };
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!live(i)) {
      if (!charge_null()) return std::nullopt;
      out.texts.emplace_back(kNull);
      continue;
    }
    const uint32_t slot = *slots[i];
    std::optional<size_t> pre;
    if (auto stored = stored_meta_text(ix, slot, d->meta)) {
      pre = (*stored == kNull && !charge_nulls) ? 0 : charge_of(*stored, r, fast_upper);
      if (*pre > r) return std::nullopt;
    }
    std::string s = ix.row_meta_str(slot, rdicts, d->meta);
    if (s == kNull) {
      if (!charge_null()) return std::nullopt;
    } else {
      const size_t c = pre ? *pre : charge_of(s, r, fast_upper);
      if (c > r) return std::nullopt;
      r -= c;
      out.units += c;
    }
    out.texts.push_back(std::move(s));
  }
  return out;
}

}  // namespace ivf_rabitq::scan
