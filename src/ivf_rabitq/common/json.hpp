// The JSON layer of the engine: parsing of metadata and filter texts into the document model,
// validation without building a document, and our own compact printer.
//
// Document model: nlohmann::json. Its objects are std::map<std::string, ...>, so keys are kept
// in ascending byte order; a key repeated in a text keeps its last value.
//
// Parsing goes through one SAX path with a depth counter, so that "valid JSON" means the same
// thing for parse() and is_valid(): a text is one complete JSON document (whitespace around it
// allowed, no byte order mark, no raw NUL byte anywhere), nesting fewer than 128 arrays/objects,
// every number finite as an f64, strings valid UTF-8.
// Errors are values: a ParseError whose text names the failure and its position, in the form
// "<what> at line <L> column <C>"; a nesting violation's text begins "recursion limit exceeded".
//
// Printing is compact (no whitespace), object keys in ascending byte order, integers in decimal,
// other numbers in the shortest text that reads back to the same f64 (see append_f64). Strings
// escape \" \\ \b \f \n \r \t, every other byte below 0x20 as \u00xx (lower-case hex), and keep
// all other bytes as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq::json {

using Value = nlohmann::json;

// Documents nesting this many arrays/objects inside each other are refused.
inline constexpr int kMaxDepth = 128;

struct ParseError {
  std::string text;  // e.g. "recursion limit exceeded at line 1 column 129"
  bool operator==(const ParseError&) const = default;
};

// Parses one complete JSON document.
Result<Value, ParseError> parse(std::string_view text);

// Validates a text by the same rules as parse(), without building a document.
// Returns an empty Result on success.
Result<void, ParseError> validate(std::string_view text);
inline bool is_valid(std::string_view text) { return validate(text).ok(); }

// Compact printing.
void append_compact(std::string& out, const Value& v);
std::string to_compact(const Value& v);

// Number texts. Integers print in decimal; an f64 prints in the shortest form that reads back
// to the same value: plain decimal with at least one digit after the point when the decimal
// exponent of its leading digit lies in -5..15, otherwise scientific ("1e+16", "1.5e-7").
// Non-finite values have no JSON form and print as "null" (the parser never produces them).
void append_f64(std::string& out, double d);
void append_i64(std::string& out, int64_t v);
void append_u64(std::string& out, uint64_t v);
std::string f64_text(double d);

// A JSON string literal of s (quotes included), escaped as described above.
void append_string_literal(std::string& out, std::string_view s);

// Canonical form of a metadata text: parsed, then printed compactly with keys sorted.
Result<std::string, ParseError> canonical(std::string_view text);

// The article phrase of a value's type used in error texts: "null", "a boolean", "a number",
// "a string", "an array", "an object".
const char* type_phrase(const Value& v);

// The value of a JSON number as f64 (integers convert to the nearest f64). v must be a number.
inline double number_as_f64(const Value& v) {
  switch (v.type()) {
    case Value::value_t::number_integer: return static_cast<double>(v.get_ref<const Value::number_integer_t&>());
    case Value::value_t::number_unsigned: return static_cast<double>(v.get_ref<const Value::number_unsigned_t&>());
    default: return v.get_ref<const Value::number_float_t&>();
  }
}

}  // namespace ivf_rabitq::json
