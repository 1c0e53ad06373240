// The filter language compiler: a parsed JSON filter object -> Predicate, against a schema view.
//
// A filter is an object whose keys are the top-level operators $and, $or, $nor, $not or field
// names. A field maps to a scalar (equality) or to an object of operators: $eq $ne $gt $gte $lt
// $lte $in $nin $not $exists. Keys are visited in ascending byte order and the first error met
// is the result. Everything said about a field without a typed column folds to a constant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/predicate/predicate.hpp"

namespace ivf_rabitq::predicate {

// Borrowed view of the schema a filter is compiled against; lives for one compile.
struct SchemaRef {
  const std::vector<FieldSchema>* fields = nullptr;  // column indices refer to this list
  const SkipSet* skip = nullptr;                     // the segment's skip set, or none
  bool typed_keys = true;                            // format version >= 3
};

// A compile (or filter text) error: the text is shown to the user unchanged.
struct FilterError {
  std::string text;
  bool operator==(const FilterError&) const = default;
};

// Compiles a parsed filter. `negated` is false at the root.
Result<Predicate, FilterError> compile(const SchemaRef& schema, const json::Value& filter, bool negated = false);

// Parses a filter text (one complete JSON document) and compiles it: a text that is not valid
// JSON fails with "bad filter: {parser's description}"; a compile error is returned unchanged.
// This is the uncached core of the open segment's compile_filter_cached.
Result<Predicate, FilterError> compile_filter_text(const SchemaRef& schema, std::string_view text);

}  // namespace ivf_rabitq::predicate
