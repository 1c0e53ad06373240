// Typed metadata columns: dictionary keys, the way back from a key to a JSON value, resolution
// of one row's metadata against an existing schema, and the bulk typing of a build.
//
// Column numbering: numeric entries of a FieldSchema list are numbered 0, 1, ... in list order
// among numeric entries only (entry i owns num_{i}.bin); string entries likewise (str_{j}.bin).
// Row values: a numeric column holds f64 with NaN meaning absent; a string column holds u32
// codes with 0xFFFFFFFF meaning absent.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::predicate {

using storage::FieldSchema;

inline constexpr uint32_t kAbsentCode = 0xFFFFFFFFu;
inline constexpr double kAbsentNum = std::numeric_limits<double>::quiet_NaN();

// Prefix bytes of typed keys (format version 3 and later).
inline constexpr char kBoolPrefix = '\x01';
inline constexpr char kCompoundPrefix = '\x02';  // null, arrays and objects
inline constexpr char kNumberPrefix = '\x03';

// Field names never typed into columns.
using SkipSet = std::unordered_set<std::string>;

// Key of a value in the typed form: strings as they are; true/false after 0x01; numbers after
// 0x03 as their number text; null, arrays and objects after 0x02 as compact JSON.
std::string str_key_typed(const json::Value& v);
// Key of a value in the untyped form of formats 1 and 2: the same texts without prefixes.
std::string str_key(const json::Value& v);
inline std::string make_key(const json::Value& v, bool typed_keys) {
  return typed_keys ? str_key_typed(v) : str_key(v);
}

// The JSON value a typed key stands for (see the key forms above); a key that does not decode
// reads back as the JSON string of the whole key.
json::Value dict_key_value(std::string_view key);

// One row's typed values: one f64 per numeric entry and one code per string entry.
struct TypedRow {
  std::vector<double> num;
  std::vector<uint32_t> str;
  bool operator==(const TypedRow&) const = default;  // note: NaN != NaN; compare bitwise in tests
};

// The all-absent row for a schema.
TypedRow absent_row(const std::vector<FieldSchema>& fields);

// Types one row's metadata against an existing schema. `object` may be null (no metadata) or
// any JSON value; only an object types anything. Returns nullopt when a string value's key is
// not in its column's dictionary (the caller then grows the schema).
std::optional<TypedRow> try_resolve(const std::vector<FieldSchema>& fields, const json::Value* object,
                                    bool typed_keys);

// For each string entry of `fields`, in schema order: code -> key text.
std::unordered_map<uint32_t, std::string> reverse_dictionary_of(const FieldSchema& f);
std::vector<std::unordered_map<uint32_t, std::string>> reverse_dictionaries(const std::vector<FieldSchema>& fields);
// Same as reverse_dictionaries (the name the readers of one segment use).
inline std::vector<std::unordered_map<uint32_t, std::string>> reverse_dictionary(
    const std::vector<FieldSchema>& fields) {
  return reverse_dictionaries(fields);
}

// Bulk typing of a build: discovers the schema from all rows (names in ascending byte order, a
// numeric entry when some row held a number, a string entry when some row held another non-null
// value, numeric before string), then fills the columns row by row in input order with codes in
// first-occurrence order. rows[r] may be null (no metadata). Skipped names get no column.
struct TypedTable {
  std::vector<FieldSchema> fields;
  std::vector<std::vector<double>> num_cols;    // [numeric column][input row]
  std::vector<std::vector<uint32_t>> str_cols;  // [string column][input row]
};
TypedTable type_rows(const std::vector<const json::Value*>& rows, const SkipSet* skip, bool typed_keys = true);

}  // namespace ivf_rabitq::predicate
