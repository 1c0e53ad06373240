// Typed schema growth: rows added after a segment was written may bring string values no
// dictionary holds yet, or (with a skip set) top-level keys without a column. Growth only
// appends: new keys take the dictionary's current size as their code, new entries go to the
// end of the list. The open index keeps its grown copy of the schema for its delta rows
// (live/schema_growth.hpp); the main segment's column files never change.
//
// A checkpoint stores the delta's columns cut back to the main column counts; the next
// open regrows the same schema from the rows' metadata texts (rebuild_delta_schema).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::predicate {

// Whether fields hold an entry named `name` of that kind (numeric or string).
bool has_field(const std::vector<storage::FieldSchema>& fields, const std::string& name, bool numeric);

// Grows fields so that `object` (a JSON object) fits it: new dictionary keys of existing
// string entries always; new entries for unknown keys only when a skip set is given (keys in
// it are never added). typed_keys selects the format-3 key form.
void grow_for_row(std::vector<storage::FieldSchema>& fields, const SkipSet* skip, const json::Value& object,
                  bool typed_keys);

// Regrows the typed schema over the delta rows' metadata at open; may rewrite the delta's
// typed columns. Returns none when nothing grew (the manifest's fields apply).
std::optional<std::vector<storage::FieldSchema>> rebuild_delta_schema(const std::vector<storage::FieldSchema>& fields,
                                                                      const std::optional<SkipSet>& skip,
                                                                      storage::Delta& delta, bool typed_keys);

}  // namespace ivf_rabitq::predicate
