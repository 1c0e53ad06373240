// Aggregation of ids by a string column (see aggregate.hpp).
#include "ivf_rabitq/scan/aggregate.hpp"

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"

namespace ivf_rabitq::scan {

using index::IvfIndex;
using storage::FieldSchema;

std::optional<IdAggregate> aggregate_by_ids(const IvfIndex& ix, std::string_view field,
                                            std::span<const std::string> ids) {
  auto schema = ix.locks().live_schema.read();
  const std::vector<FieldSchema>& fields = schema->has_value() ? **schema : ix.manifest.fields;
  const FieldSchema* chosen = nullptr;
  size_t j = 0, strings_before = 0;
  for (const FieldSchema& f : fields) {
    if (f.name == field) {
      if (f.numeric) return std::nullopt;
      if (!chosen) {
        chosen = &f;
        j = strings_before;
      }
    }
    if (!f.numeric) ++strings_before;
  }
  if (!chosen) return std::nullopt;

  IdAggregate out;
  std::unordered_map<uint32_t, uint64_t> code_counts;
  {
    auto map = ix.locks().id_map.read();
    auto tomb = ix.locks().tombstones.read();
    auto d = ix.locks().delta.read();
    const uint64_t n = ix.manifest.n;
    const auto slots = ix.slots_of_locked(ids, *map, d->ids);
    for (size_t k = 0; k < ids.size(); ++k) {
      if (!slots[k] || tomb->contains(*slots[k])) continue;
      const uint32_t slot = *slots[k];
      out.resolved.push_back(static_cast<uint32_t>(k));
      uint32_t code = predicate::kAbsentCode;
      if (slot < n) {
        if (j < ix.str_bins.size() && slot < ix.str_bins[j].len()) code = ix.str_bins[j][slot];
      } else if (j < d->str_cols.size() && slot - n < d->str_cols[j].size()) {
        code = d->str_cols[j][slot - n];
      }
      if (code != predicate::kAbsentCode) ++code_counts[code];
    }
  }

  size_t left = code_counts.size();
  for (const auto& [key, code] : chosen->dict) {
    if (left == 0) break;
    auto it = code_counts.find(code);
    if (it == code_counts.end()) continue;
    --left;
    std::string text;
    if (ix.format_version < 3) {
      text = key;
    } else {
      const json::Value v = predicate::dict_key_value(key);
      text = v.is_string() ? v.get<std::string>() : json::to_compact(v);
    }
    out.counts[text] += it->second;
  }
  return out;
}

}  // namespace ivf_rabitq::scan
