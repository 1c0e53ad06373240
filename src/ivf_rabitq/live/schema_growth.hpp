// The typing step of an add against the open index's grown copy of the schema
// (`live_schema`), which holds the dictionary keys and entries that rows added after the
// segment was written brought (the growth rules: predicate/schema_growth.hpp).
#pragma once

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"

namespace ivf_rabitq::index {
class IvfIndex;
}  // namespace ivf_rabitq::index

namespace ivf_rabitq::live {

// The typing step of an add: the row's typed values against the live schema (or the
// manifest's fields while none exists), growing the live schema when the row needs it; a
// growth increments schema_epoch and empties the compiled-filter cache. A document that is
// not an object gives the all-absent row of the main column files.
predicate::TypedRow type_row_for_add(index::IvfIndex& ix, const json::Value& doc);

}  // namespace ivf_rabitq::live
