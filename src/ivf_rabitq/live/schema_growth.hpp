// Typed schema growth for delta rows: rows added after a segment was written may bring
// string values no dictionary holds yet, or (with a skip set) top-level keys without a
// column. The open index keeps a grown copy of the schema (`live_schema`) for its delta
// rows; the main segment's column files never change. Growth only appends: new keys take
// the dictionary's current size as their code, new entries go to the end of the list.
//
// A checkpoint stores the delta's columns cut back to the main column counts; the next
// open regrows the same schema from the rows' metadata texts (rebuild_delta_schema).
#pragma once

#include <optional>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::index {
class IvfIndex;
}  // namespace ivf_rabitq::index

namespace ivf_rabitq::live {

// Grows fields so that `object` (a JSON object) fits it: new dictionary keys of existing
// string entries always; new entries for unknown keys only when a skip set is given (keys in
// it are never added). typed_keys selects the format-3 key form.
void grow_for_row(std::vector<storage::FieldSchema>& fields, const predicate::SkipSet* skip,
                  const json::Value& object, bool typed_keys);

// The typing step of an add: the row's typed values against the live schema (or the
// manifest's fields while none exists), growing the live schema when the row needs it; a
// growth increments schema_epoch and empties the compiled-filter cache. A document that is
// not an object gives the all-absent row of the main column files.
predicate::TypedRow type_row_for_add(index::IvfIndex& ix, const json::Value& doc);

// Regrows the typed schema over the delta rows' metadata at open; may rewrite the delta's
// typed columns. Returns none when nothing grew (the manifest's fields apply).
std::optional<std::vector<storage::FieldSchema>> rebuild_delta_schema(const std::vector<storage::FieldSchema>& fields,
                                                                      const std::optional<predicate::SkipSet>& skip,
                                                                      storage::Delta& delta, bool typed_keys);

}  // namespace ivf_rabitq::live
