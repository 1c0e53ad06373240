// A reference interpreter of the filter language for tests: it evaluates a filter directly on
// one row's metadata object and a schema, from the language's value semantics (absent vs null,
// $ne, $nin, -0, skipped fields, $exists truthiness), without building a Predicate.
#pragma once

#include <optional>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/compile.hpp"

namespace tandrel_test {

// Whether the row matches the filter; nullopt when the filter does not compile against the
// schema (error texts are not modelled, only their presence). `row` may be null (no metadata)
// or any JSON value; only an object has fields. The row is seen through its typed columns: a
// value the schema does not type (or whose key the dictionary lacks) is absent.
std::optional<bool> reference_eval(const ivf_rabitq::predicate::SchemaRef& schema,
                                   const ivf_rabitq::json::Value& filter, const ivf_rabitq::json::Value* row);

}  // namespace tandrel_test
