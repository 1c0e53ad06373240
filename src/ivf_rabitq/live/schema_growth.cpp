// The typing step of an add: the row against the open index's live schema, grown (through
// predicate::grow_for_row) when the row needs it.
#include "ivf_rabitq/live/schema_growth.hpp"

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/schema_growth.hpp"

namespace ivf_rabitq::live {

using index::IvfIndex;
using predicate::kAbsentCode;
using predicate::kAbsentNum;
using predicate::TypedRow;
using storage::FieldSchema;

namespace {

const json::Value::object_t& members(const json::Value& obj) { return obj.get_ref<const json::Value::object_t&>(); }

// The all-absent row of the main column files.
TypedRow absent_main_row(const IvfIndex& ix) {
  TypedRow row;
  row.num.assign(ix.num_bins.size(), kAbsentNum);
  row.str.assign(ix.str_bins.size(), kAbsentCode);
  return row;
}

}  // namespace

TypedRow type_row_for_add(IvfIndex& ix, const json::Value& doc) {
  if (!doc.is_object()) return absent_main_row(ix);
  const bool typed = ix.format_version >= 3;
  {
    auto live = ix.locks().live_schema.read();
    const std::vector<FieldSchema>& S = live->has_value() ? **live : ix.manifest.fields;
    bool fits = true;
    if (ix.skip.has_value() && !doc.empty()) {
      for (const auto& [k, v] : members(doc)) {
        if (v.is_null() || ix.skip->count(k) != 0) continue;
        if (!predicate::has_field(S, k, v.is_number())) {
          fits = false;
          break;
        }
      }
    }
    if (fits) {
      if (auto row = predicate::try_resolve(S, &doc, typed)) return std::move(*row);
    }
  }
  // Growth: the write lock, the grown schema, a second resolution.
  TypedRow row;
  {
    auto live = ix.locks().live_schema.write();
    if (!live->has_value()) *live = storage::to_vec(ix.manifest.fields);
    predicate::grow_for_row(**live, ix.skip ? &*ix.skip : nullptr, doc, typed);
    auto again = predicate::try_resolve(**live, &doc, typed);
    row = again ? std::move(*again) : absent_main_row(ix);
  }
  {
    auto cache = ix.locks().filter_cache.lock();
    ix.schema_epoch.fetch_add(1);
    cache->clear();
  }
  return row;
}

}  // namespace ivf_rabitq::live
