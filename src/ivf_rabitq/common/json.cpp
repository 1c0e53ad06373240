#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/utf8.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ivf_rabitq::json {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

using NumberInt = Value::number_integer_t;
using NumberUint = Value::number_unsigned_t;
using NumberFloat = Value::number_float_t;

// Line and column (both from 1, column in bytes) of a byte offset.
void locate(std::string_view text, size_t offset, size_t& line, size_t& col) {
  line = 1;
  size_t line_start = 0;
  if (offset > text.size()) offset = text.size();
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  col = offset - line_start + 1;
}

std::string at_position(std::string what, std::string_view text, size_t offset) {
  size_t line, col;
  locate(text, offset, line, col);
  what += " at line ";
  what += std::to_string(line);
  what += " column ";
  what += std::to_string(col);
  return what;
}

// Error path only: offset of the opener that reaches kMaxDepth nesting. The prefix before it
// was accepted by the parser, so a small structural walk (strings skipped) finds it.
size_t find_depth_violation(std::string_view text) {
  int depth = 0;
  bool in_str = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_str) {
      if (c == '\\') ++i;
      else if (c == '"') in_str = false;
      continue;
    }
    if (c == '"') in_str = true;
    else if (c == '[' || c == '{') {
      if (++depth >= kMaxDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

// Error path only: offset and text of the first number token outside strings whose value is
// not finite as an f64.
size_t find_overflow_number(std::string_view text) {
  bool in_str = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_str) {
      if (c == '\\') ++i;
      else if (c == '"') in_str = false;
      continue;
    }
    if (c == '"') {
      in_str = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t j = i;
      while (j < text.size() && (std::strchr("+-.eE0123456789", text[j]) != nullptr)) ++j;
      std::string tok(text.substr(i, j - i));
      if (!std::isfinite(std::strtod(tok.c_str(), nullptr))) return i;
      i = j - 1;
    }
  }
  return text.size();
}

// Error texts travel to Python as str: bytes of the input that are not valid UTF-8 (quoted by
// the parser's "last read") are shown as \xNN.
std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const utf8::Step st = utf8::decode(s, i);
    if (!st.ok) {
      out += "\\x";
      out += kHexDigits[static_cast<unsigned char>(s[i]) >> 4];
      out += kHexDigits[static_cast<unsigned char>(s[i]) & 15];
      ++i;
    } else {
      out.append(s.data() + i, st.len);
      i += st.len;
    }
  }
  return out;
}

// The description inside nlohmann's "[json.exception.parse_error.101] parse error at line 1,
// column 5: <what>" (or "[json.exception.out_of_range.406] <what>"): just <what>.
std::string describe_parse_error(const std::string& what_arg) {
  std::string_view w = what_arg;
  size_t b = w.find("] ");
  if (b != std::string_view::npos) w = w.substr(b + 2);
  constexpr std::string_view kAt = "parse error at line ";
  if (w.substr(0, kAt.size()) == kAt) {
    size_t colon = w.find(": ");
    if (colon != std::string_view::npos) w = w.substr(colon + 2);
  } else if (w.substr(0, 12) == "parse error:") {
    w = w.substr(12);
    if (!w.empty() && w[0] == ' ') w = w.substr(1);
  }
  return sanitize_utf8(w);
}

enum class Fail : uint8_t { None, Syntax, Depth, Overflow };

// The rules shared by parsing and validation: nesting depth and finite numbers.
struct SaxRules {
  int depth = 0;
  Fail fail = Fail::None;
  std::string syntax_text;
  size_t error_offset = 0;

  bool open() {
    if (++depth >= kMaxDepth) {
      fail = Fail::Depth;
      return false;
    }
    return true;
  }
  bool check_float(NumberFloat v) {
    if (!std::isfinite(v)) {
      fail = Fail::Overflow;
      return false;
    }
    return true;
  }
  // `position` counts the bytes read, the byte that revealed the error included.
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    if (ex.id == 406) {  // a number that does not fit an f64
      fail = Fail::Overflow;
      return false;
    }
    fail = Fail::Syntax;
    syntax_text = describe_parse_error(ex.what());
    error_offset = position > 0 ? position - 1 : 0;
    return false;
  }
  ParseError error(std::string_view text) const {
    switch (fail) {
      case Fail::Depth: return ParseError{at_position("recursion limit exceeded", text, find_depth_violation(text))};
      case Fail::Overflow: return ParseError{at_position("number out of range", text, find_overflow_number(text))};
      case Fail::Syntax: return ParseError{at_position(syntax_text, text, error_offset)};
      case Fail::None: break;
    }
    return ParseError{"invalid JSON"};
  }
};

struct ValidateSax : SaxRules {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(NumberInt) { return true; }
  bool number_unsigned(NumberUint) { return true; }
  bool number_float(NumberFloat v, const std::string&) { return check_float(v); }
  bool string(std::string&) { return true; }
  bool binary(Value::binary_t&) { return true; }
  bool start_object(std::size_t) { return open(); }
  bool key(std::string&) { return true; }
  bool end_object() {
    --depth;
    return true;
  }
  bool start_array(std::size_t) { return open(); }
  bool end_array() {
    --depth;
    return true;
  }
};

struct DomSax : SaxRules {
  Value root;
  std::vector<Value*> stack;
  Value* slot = nullptr;  // the object member named by the last key

  template <class V>
  Value* put(V&& v) {
    if (stack.empty()) {
      root = Value(std::forward<V>(v));
      return &root;
    }
    Value* top = stack.back();
    if (top->is_array()) {
      auto& arr = top->get_ref<Value::array_t&>();
      arr.emplace_back(std::forward<V>(v));
      return &arr.back();
    }
    *slot = Value(std::forward<V>(v));
    return slot;
  }

  bool null() {
    put(nullptr);
    return true;
  }
  bool boolean(bool b) {
    put(b);
    return true;
  }
  bool number_integer(NumberInt v) {
    put(v);
    return true;
  }
  bool number_unsigned(NumberUint v) {
    put(v);
    return true;
  }
  bool number_float(NumberFloat v, const std::string&) {
    if (!check_float(v)) return false;
    put(v);
    return true;
  }
  bool string(std::string& s) {
    put(std::move(s));
    return true;
  }
  bool binary(Value::binary_t&) { return false; }
  bool start_object(std::size_t) {
    if (!open()) return false;
    stack.push_back(put(Value::value_t::object));
    return true;
  }
  bool key(std::string& k) {
    // operator[] finds a repeated key's member, so its last value wins.
    auto& obj = stack.back()->get_ref<Value::object_t&>();
    slot = &obj[std::move(k)];
    return true;
  }
  bool end_object() {
    --depth;
    stack.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (!open()) return false;
    stack.push_back(put(Value::value_t::array));
    return true;
  }
  bool end_array() {
    --depth;
    stack.pop_back();
    return true;
  }
};

// Whether byte `pos` of a text lies inside a string literal, for a text whose bytes before
// `pos` the parser accepted.
bool inside_string(std::string_view text, size_t pos) {
  bool in_str = false;
  for (size_t i = 0; i < pos; ++i) {
    const char c = text[i];
    if (in_str && c == '\\') ++i;
    else if (c == '"') in_str = !in_str;
  }
  return in_str;
}

template <class Sax>
bool run_sax(std::string_view text, Sax& sax) {
  // The parser would skip a leading byte order mark; a document is the JSON text and nothing else.
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    sax.fail = Fail::Syntax;
    sax.syntax_text = "syntax error while parsing value - byte order mark not allowed";
    sax.error_offset = 0;
    return false;
  }
  bool ok;
  try {
    const char* b = text.data();
    const char* e = b + text.size();
    ok = Value::sax_parse(b, e, &sax, nlohmann::detail::input_format_t::json, /*strict=*/true,
                          /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& ex) {
    sax.fail = Fail::Syntax;
    sax.syntax_text = describe_parse_error(ex.what());
    sax.error_offset = text.size();
    return false;
  }
  // The parser's lexer takes a NUL byte outside a string for the end of the input, so a text
  // would be read as its prefix up to the first NUL ("{}\0junk" as "{}"). A raw NUL is never
  // JSON text: unless the parse failed before it, it is the error. Inside a string the parser
  // already refuses it with its own control-character text, which stays.
  const bool syntax_fail = !ok || sax.fail != Fail::None;
  if (syntax_fail && sax.fail != Fail::Syntax) return false;  // depth or a number, before the NUL
  const size_t scan_end = syntax_fail ? std::min(text.size(), sax.error_offset + 1) : text.size();
  const void* nul = scan_end == 0 ? nullptr : std::memchr(text.data(), 0, scan_end);
  if (nul == nullptr) return ok;
  const size_t at = static_cast<size_t>(static_cast<const char*>(nul) - text.data());
  if (syntax_fail && inside_string(text, at)) return false;
  sax.fail = Fail::Syntax;
  sax.syntax_text = "syntax error while parsing value - NUL byte not allowed";
  sax.error_offset = at;
  return false;
}

}  // namespace

Result<Value, ParseError> parse(std::string_view text) {
  DomSax sax;
  if (!run_sax(text, sax) || sax.fail != Fail::None) return sax.error(text);
  return std::move(sax.root);
}

Result<void, ParseError> validate(std::string_view text) {
  ValidateSax sax;
  if (!run_sax(text, sax) || sax.fail != Fail::None) return sax.error(text);
  return {};
}

void append_i64(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_f64(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  const char* end = r.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  int nd = 0;
  while (p < end && *p != 'e') {
    if (*p != '.') digits[nd++] = *p;
    ++p;
  }
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp);
  // Scientific digits never end in '0' except for the value zero ("0e+00").
  if (exp >= -5 && exp <= 15) {
    if (exp >= 0) {
      int int_digits = exp + 1;
      for (int i = 0; i < int_digits; ++i) out += i < nd ? digits[i] : '0';
      out += '.';
      if (nd > int_digits) out.append(digits + int_digits, digits + nd);
      else out += '0';
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out.append(digits, digits + nd);
    }
  } else {
    out += digits[0];
    if (nd > 1) {
      out += '.';
      out.append(digits + 1, digits + nd);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    append_i64(out, exp < 0 ? -static_cast<int64_t>(exp) : exp);
  }
}

std::string f64_text(double d) {
  std::string s;
  append_f64(s, d);
  return s;
}

void append_string_literal(std::string& out, std::string_view s) {
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

void append_compact(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: out += "null"; return;
    case Value::value_t::boolean: out += v.get_ref<const Value::boolean_t&>() ? "true" : "false"; return;
    case Value::value_t::number_integer: append_i64(out, v.get_ref<const NumberInt&>()); return;
    case Value::value_t::number_unsigned: append_u64(out, v.get_ref<const NumberUint&>()); return;
    case Value::value_t::number_float: append_f64(out, v.get_ref<const NumberFloat&>()); return;
    case Value::value_t::string: append_string_literal(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& e : v.get_ref<const Value::array_t&>()) {
        if (!first) out += ',';
        first = false;
        append_compact(out, e);
      }
      out += ']';
      return;
    }
    case Value::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : v.get_ref<const Value::object_t&>()) {
        if (!first) out += ',';
        first = false;
        append_string_literal(out, k);
        out += ':';
        append_compact(out, e);
      }
      out += '}';
      return;
    }
    case Value::value_t::binary:
    case Value::value_t::discarded: out += "null"; return;
  }
}

std::string to_compact(const Value& v) {
  std::string s;
  append_compact(s, v);
  return s;
}

Result<std::string, ParseError> canonical(std::string_view text) {
  auto v = parse(text);
  if (!v.ok()) return std::move(v).error();
  return to_compact(*v);
}

const char* type_phrase(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: return "null";
    case Value::value_t::boolean: return "a boolean";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float: return "a number";
    case Value::value_t::string: return "a string";
    case Value::value_t::array: return "an array";
    case Value::value_t::object: return "an object";
    default: return "null";
  }
}

}  // namespace ivf_rabitq::json
