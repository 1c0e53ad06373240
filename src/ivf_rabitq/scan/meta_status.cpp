// Metadata status of (id, metadata) pairs against one segment (see meta_status.hpp).
#include "ivf_rabitq/common/utf8.hpp"
#include "ivf_rabitq/scan/meta_status.hpp"

#include <algorithm>
#include <unordered_map>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/scan/meta_read.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::scan {

using index::IdMap;
using index::IvfIndex;
using storage::Delta;

namespace {

using ReverseDictList = std::vector<std::unordered_map<uint32_t, std::string>>;

struct StatusCtx {
  const IvfIndex& ix;
  const IdMap& map;
  const storage::Tombstones& tomb;
  const Delta& delta;
  const ReverseDictList& rdicts;
  bool rebuilt_main;  // main rows have no meta.bin
};

void status_chunk(const StatusCtx& c, std::span<const std::string_view> ids, std::span<const CanonMeta* const> metas,
                  uint8_t* out) {
  const auto slots = c.ix.slots_of_locked(ids, c.map, c.delta.ids);
  const size_t m = std::min(ids.size(), metas.size());
  const uint64_t n = c.ix.manifest.n;
  for (size_t p = 0; p < m; ++p) {
    if (!slots[p] || c.tomb.contains(*slots[p])) {
      out[p] = kStatusAbsent;
      continue;
    }
    const uint32_t slot = *slots[p];
    const std::optional<std::string>& canon = metas[p]->get();
    if (canon) {
      auto stored = stored_meta_text(c.ix, slot, c.delta.meta);
      if (stored && (slot >= n || utf8::is_valid(*stored)) && *stored == *canon) {
        out[p] = kStatusSame;
        continue;
      }
    }
    const std::string r = c.ix.row_meta_str(slot, c.rdicts, c.delta.meta);
    if (r == "null") {
      out[p] = kStatusAbsent;
    } else if (!canon) {
      out[p] = kStatusDifferent;
    } else if (r == *canon) {
      out[p] = kStatusSame;
    } else if (c.rebuilt_main && slot < n) {
      auto a = json::parse(*canon);
      auto b = json::parse(r);
      out[p] = (a.ok() && b.ok() && json_eq_numeric(*a, *b)) ? kStatusSame : kStatusDifferent;
    } else {
      out[p] = kStatusDifferent;
    }
  }
}

}  // namespace

const std::optional<std::string>& CanonMeta::get() const {
  std::call_once(once_, [this] {
    auto c = json::canonical(text_);
    if (c.ok()) canon_ = std::move(c).value();
  });
  return canon_;
}

bool json_eq_numeric(const json::Value& a, const json::Value& b) {
  if (a.is_number() && b.is_number()) return json::number_as_f64(a) == json::number_as_f64(b);
  if (a.is_array() && b.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!json_eq_numeric(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object() && b.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto jt = b.find(it.key());
      if (jt == b.end() || !json_eq_numeric(it.value(), *jt)) return false;
    }
    return true;
  }
  if (a.is_number() || b.is_number()) return false;
  return a == b;
}

std::vector<uint8_t> meta_status(const IvfIndex& ix, std::span<const std::string_view> ids,
                                 std::span<const CanonMeta* const> metas, bool parallel) {
  const bool rebuilt_main = !(ix.meta_bin && ix.meta_off_bin);
  ReverseDictList rdicts;
  if (rebuilt_main) rdicts = predicate::reverse_dictionaries(ix.manifest.fields);
  const size_t m = std::min(ids.size(), metas.size());
  std::vector<uint8_t> out(m);
  auto map = ix.locks().id_map.read_recursive();
  auto tomb = ix.locks().tombstones.read_recursive();
  auto d = ix.locks().delta.read_recursive();
  const StatusCtx ctx{ix, *map, *tomb, *d, rdicts, rebuilt_main};
  if (parallel && m >= kStatusParallelIds) {
    parallel::isolate([&] {
      parallel::for_chunks(m, kStatusChunk, [&](size_t b, size_t e) {
        for (size_t at = b; at < e; at += kStatusChunk) {
          const size_t len = std::min(kStatusChunk, e - at);
          status_chunk(ctx, ids.subspan(at, len), metas.subspan(at, len), out.data() + at);
        }
      });
    });
  } else {
    status_chunk(ctx, ids.first(m), metas.first(m), out.data());
  }
  return out;
}

std::vector<uint8_t> meta_status_across(std::span<const IvfIndex* const> sources, std::span<const std::string_view> ids,
                                        std::span<const CanonMeta* const> metas, bool parallel) {
  const size_t n = std::min(ids.size(), metas.size());
  std::vector<uint8_t> status(n, kStatusAbsent);
  std::vector<size_t> pending(n);
  for (size_t i = 0; i < n; ++i) pending[i] = i;
  std::vector<std::string_view> pending_ids(ids.begin(), ids.begin() + static_cast<ptrdiff_t>(n));
  std::vector<const CanonMeta*> pending_metas(metas.begin(), metas.begin() + static_cast<ptrdiff_t>(n));
  for (const IvfIndex* src : sources) {
    if (pending.empty()) break;
    const std::vector<uint8_t> s = meta_status(*src, pending_ids, pending_metas, parallel);
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      if (s[i] != kStatusAbsent) {
        status[pending[i]] = s[i];
      } else {
        pending[kept] = pending[i];
        pending_ids[kept] = pending_ids[i];
        pending_metas[kept] = pending_metas[i];
        ++kept;
      }
    }
    pending.resize(kept);
    pending_ids.resize(kept);
    pending_metas.resize(kept);
  }
  return status;
}

}  // namespace ivf_rabitq::scan
