// JSON layer: number texts, string escaping, parse/validate agreement, nesting limit, errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/json.hpp"

namespace json = ivf_rabitq::json;

namespace {

std::string compact_of(const std::string& text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text << ": " << (v.ok() ? "" : v.error().text);
  return v.ok() ? json::to_compact(*v) : std::string("<error>");
}

std::string nested(int depth, char open, char close, const std::string& inner = "1") {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open == '{' ? "{\"k\":" : std::string(1, open);
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

// Number of significant decimal digits of a number text (leading zeros, the point, the
// exponent and trailing zeros of the mantissa do not count).
size_t significant_digits(std::string_view s) {
  std::string d;
  for (char c : s) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') d += c;
  }
  size_t a = d.find_first_not_of('0');
  if (a == std::string::npos) return 1;
  size_t b = d.find_last_not_of('0');
  return b - a + 1;
}

}  // namespace

TEST(JsonNumbers, TextTable) {
  struct Case {
    const char* written;
    const char* text;
  };
  const Case cases[] = {
      // Worked values of the number-text rule stated at append_f64 (common/json.hpp).
      {"1", "1"},
      {"-7", "-7"},
      {"1.0", "1.0"},
      {"0.5", "0.5"},
      {"1e-5", "0.00001"},
      {"1e-6", "1e-6"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"1.5e-7", "1.5e-7"},
      {"2.5e20", "2.5e+20"},
      {"-0.0", "-0.0"},
      // Exponent notation of an integral value is an f64.
      {"1E2", "100.0"},
      {"1e0", "1.0"},
      // 64-bit integer bounds print in decimal; beyond them the literal is an f64.
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"-0", "0"},
      // Extremes.
      {"5e-324", "5e-324"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"-1.7976931348623157e308", "-1.7976931348623157e+308"},
      {"2.2250738585072014e-308", "2.2250738585072014e-308"},
      // Around the plain/scientific boundaries and ordinary values.
      {"0.1", "0.1"},
      {"123.456", "123.456"},
      {"0.000012345", "0.000012345"},
      {"1.2345e-6", "1.2345e-6"},
      {"-1e-7", "-1e-7"},
      {"9.999e15", "9999000000000000.0"},
      {"1.5e15", "1500000000000000.0"},
      {"1.25e16", "1.25e+16"},
      {"1e100", "1e+100"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"1e-400", "0.0"},  // underflows to zero
  };
  for (const auto& c : cases) EXPECT_EQ(compact_of(c.written), c.text) << "written as " << c.written;
}

TEST(JsonNumbers, ShortestRoundTripProperty) {
  const bool sanitized = std::getenv("TANDREL_SANITIZED") != nullptr;
  const size_t n = sanitized ? 200000 : 1000000;
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> uni(-1e6, 1e6);
  std::uniform_int_distribution<int> exp_dist(-30, 30);
  std::string s;
  size_t checked = 0;
  for (size_t i = 0; i < n; ++i) {
    double d;
    switch (i % 3) {
      case 0: {  // any finite bit pattern
        uint64_t bits = rng();
        std::memcpy(&d, &bits, 8);
        if (!std::isfinite(d)) continue;
        break;
      }
      case 1: d = uni(rng); break;                                   // ordinary magnitudes
      default: d = uni(rng) * std::pow(10.0, exp_dist(rng)); break;  // near the plain/sci borders
    }
    s.clear();
    json::append_f64(s, d);
    // Reads back bit-exactly.
    double back = std::strtod(s.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &d, 8), 0) << s;
    // Shortest: one significant digit fewer (correctly rounded by printf) does not read back.
    const size_t k = significant_digits(s);
    if (k > 1) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(k) - 2, d);
      const double shorter = std::strtod(buf, nullptr);
      ASSERT_NE(std::memcmp(&shorter, &d, 8), 0) << s << " vs " << buf;
    }
    // Plain exactly when the leading digit's exponent lies in -5..15.
    const int lead_exp = d == 0.0 ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(std::strtod(s.c_str(), nullptr)))));
    const bool plain = s.find('e') == std::string::npos;
    if (lead_exp >= -4 && lead_exp <= 14) {  // log10 may be off by one at the borders
      ASSERT_TRUE(plain) << s;
    }
    if (lead_exp <= -7 || lead_exp >= 17) {
      ASSERT_FALSE(plain) << s;
    }
    if (plain) {
      ASSERT_NE(s.find('.'), std::string::npos) << s;
    }
    // And the parser reads our text to the same value again.
    auto v = json::parse(s);
    ASSERT_TRUE(v.ok()) << s;
    ASSERT_EQ(json::to_compact(*v), s);
    ++checked;
  }
  EXPECT_GT(checked, n / 2);
}

TEST(JsonNumbers, NonFiniteHasNoTextAndIsRefusedByParser) {
  EXPECT_EQ(json::f64_text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(json::f64_text(std::nan("")), "null");
  for (const char* t : {"1e400", "[1,-1e400]", "{\"a\":\n  2e999}"}) {
    auto v = json::parse(t);
    ASSERT_FALSE(v.ok()) << t;
    EXPECT_EQ(v.error().text.rfind("number out of range at line ", 0), 0u) << v.error().text;
    EXPECT_FALSE(json::is_valid(t));
  }
  EXPECT_EQ(json::parse("{\"a\":\n  2e999}").error().text, "number out of range at line 2 column 3");
}

TEST(JsonStrings, EscapingIsPinned) {
  std::string s;
  for (int c = 0; c < 0x20; ++c) s += static_cast<char>(c);
  s += "\"\\/\x7f" "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 ";
  std::string out;
  json::append_string_literal(out, s);
  EXPECT_EQ(out,
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
            "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
            "\\u001e\\u001f\\\"\\\\/\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \"");
  // The parser decodes escapes (including \u and surrogate pairs) to the same bytes.
  auto v = json::parse(out);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->get<std::string>(), s);
  EXPECT_EQ(compact_of(R"("\u00e9\ud83d\ude00\/")"), "\"\xc3\xa9\xf0\x9f\x98\x80/\"");
}

TEST(JsonDocuments, CompactSortedLastKeyWins) {
  EXPECT_EQ(compact_of(" { \"b\" : 1 , \"a\" : [ 1.0 , \"x\\n\" , null , true , {} , [] ] }\n"),
            "{\"a\":[1.0,\"x\\n\",null,true,{},[]],\"b\":1}");
  EXPECT_EQ(compact_of(R"({"a":1,"b":2,"a":{"z":1,"y":2}})"), R"({"a":{"y":2,"z":1},"b":2})");
  // Byte order of keys: upper case before lower case, multi-byte UTF-8 after ASCII, "" first.
  EXPECT_EQ(compact_of(R"({"é":1,"b":2,"B":3,"":4,"\u0001":5})"), "{\"\":4,\"\\u0001\":5,\"B\":3,\"b\":2,\"\xc3\xa9\":1}");
  auto c = json::canonical(R"({"z": [3, 2.50], "a": "s"})");
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(*c, R"({"a":"s","z":[3,2.5]})");
  EXPECT_FALSE(json::canonical("{").ok());
}

TEST(JsonDocuments, ParseAndValidateAgree) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"{}", true},           {" null ", true},        {"\t[1, 2]\r\n", true}, {"\"s\"", true},
      {"-0.5e+3", true},      {"", false},             {"   ", false},        {"{} {}", false},
      {"{} x", false},        {"[1,]", false},         {"{\"a\":}", false},  {"tru", false},
      {"01", false},          {"1.", false},           {".5", false},        {"NaN", false},
      {"Infinity", false},    {"'a'", false},          {"[1 2]", false},     {"{\"a\" 1}", false},
      {"\"\x01\"", false},    {"\"\xff\"", false},     {"\"\xc3\"", false},  {"// c\n1", false},
      {"\"\\x\"", false},     {"[\"\\ud800\"]", false}, {"1e400", false},    {"{\"a\":1,}", false},
  };
  for (const auto& c : cases) {
    auto p = json::parse(c.text);
    EXPECT_EQ(p.ok(), c.valid) << "'" << c.text << "'";
    EXPECT_EQ(json::is_valid(c.text), c.valid) << "'" << c.text << "'";
    if (!p.ok()) {
      auto v = json::validate(c.text);
      ASSERT_FALSE(v.ok());
      EXPECT_EQ(v.error().text, p.error().text);
      EXPECT_NE(p.error().text.find(" at line "), std::string::npos) << p.error().text;
    }
  }
  // A byte order mark is not part of a document.
  EXPECT_EQ(json::parse("\xEF\xBB\xBF{}").error().text,
            "syntax error while parsing value - byte order mark not allowed at line 1 column 1");
  // Error texts are valid UTF-8 even when the input is not: stray bytes show as \xNN.
  EXPECT_EQ(json::parse("{}\xff").error().text,
            "syntax error while parsing value - invalid literal; last read: '{}\\xff'; expected end of input at line 1 column 3");
  // Positions count lines and byte columns from 1.
  EXPECT_EQ(json::parse("{\n  \"a\": tru\n}").error().text,
            "syntax error while parsing value - invalid literal; last read: '\"a\": tru<U+000A>' at line 2 column 11");
}

TEST(JsonDocuments, RawNulByteIsNeverJson) {
  using namespace std::string_literals;
  const std::string nul_text = "syntax error while parsing value - NUL byte not allowed";
  struct Case {
    std::string text;
    std::string error;  // "" = the error of `same_as`
    std::string same_as = "";
  };
  const std::vector<Case> cases = {
      // Outside a string the NUL is the error, wherever the parser would have stopped reading.
      {"{\"c\":1}\0garbage"s, nul_text + " at line 1 column 8"},
      {"{\"c\":1}\0"s, nul_text + " at line 1 column 8"},
      {" {}\n\0"s, nul_text + " at line 2 column 1"},
      {"\0"s, nul_text + " at line 1 column 1"},
      {"\0{}"s, nul_text + " at line 1 column 1"},
      {"{\"c\":\0 1}"s, nul_text + " at line 1 column 6"},
      {"[1,\0 2]"s, nul_text + " at line 1 column 4"},
      {"{\"a\\\"\":[\"]\"]\0}"s, nul_text + " at line 1 column 13"},  // quotes and brackets in strings
      // Inside a string the parser's own control-character text stays.
      {"\"a\0\""s,
       "syntax error while parsing value - invalid string: control character U+0000 (NUL) must be escaped to "
       "\\u0000; last read: '\"a<U+0000>' at line 1 column 3"},
      {"{\"k\\\"\0\":1}"s,
       "syntax error while parsing object key - invalid string: control character U+0000 (NUL) must be escaped "
       "to \\u0000; last read: '\"k\\\"<U+0000>'; expected string literal at line 1 column 6"},
      // A failure before the NUL is reported as without it.
      {"[1,,\0]"s, "", "[1,,]"},
      {"1e400\0"s, "", "1e400"},
      {nested(128, '[', ']') + "\0"s, "", nested(128, '[', ']')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const std::string want = c.error.empty() ? json::parse(c.same_as).error().text : c.error;
    auto p = json::parse(c.text);
    ASSERT_FALSE(p.ok()) << json::to_compact(*p);
    EXPECT_EQ(p.error().text, want);
    auto v = json::validate(c.text);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().text, want);
    EXPECT_FALSE(json::canonical(c.text).ok());
  }
  // Escaped, a NUL is an ordinary string byte: it parses and prints back escaped.
  EXPECT_EQ(compact_of(R"({"s":"a\u0000b"})"), R"({"s":"a\u0000b"})");
  EXPECT_EQ(json::parse(R"("a\u0000b")")->get<std::string>(), "a\0b"s);
}

TEST(JsonDocuments, NestingLimit) {
  for (char open : {'[', '{'}) {
    const char close = open == '[' ? ']' : '}';
    auto ok = json::parse(nested(127, open, close));
    EXPECT_TRUE(ok.ok());
    EXPECT_TRUE(json::is_valid(nested(127, open, close)));
    for (int depth : {128, 129, 5000}) {
      const std::string t = nested(depth, open, close);
      auto bad = json::parse(t);
      ASSERT_FALSE(bad.ok());
      EXPECT_EQ(bad.error().text.rfind("recursion limit exceeded", 0), 0u) << bad.error().text;
      auto vb = json::validate(t);
      ASSERT_FALSE(vb.ok());
      EXPECT_EQ(vb.error().text, bad.error().text);
    }
  }
  // The position names the opener that reaches the limit; siblings do not add depth.
  std::string wide = "[" + nested(126, '[', ']') + "," + nested(126, '[', ']') + "]";
  EXPECT_TRUE(json::is_valid(wide));
  std::string deep = nested(128, '[', ']');
  EXPECT_EQ(json::parse(deep).error().text, "recursion limit exceeded at line 1 column 128");
  // Brackets inside strings do not count.
  std::string in_str = "[\"" + std::string(300, '[') + "\"]";
  EXPECT_TRUE(json::is_valid(in_str));
}

TEST(JsonDocuments, IntegerKindsSurvive) {
  auto v = json::parse(R"([1, -1, 1.0, 18446744073709551615])");
  ASSERT_TRUE(v.ok());
  EXPECT_TRUE((*v)[0].is_number_unsigned());
  EXPECT_TRUE((*v)[1].is_number_integer());
  EXPECT_TRUE((*v)[2].is_number_float());
  EXPECT_EQ(json::number_as_f64((*v)[3]), 18446744073709551616.0);
  EXPECT_STREQ(json::type_phrase((*v)[0]), "a number");
  EXPECT_STREQ(json::type_phrase(*v), "an array");
}
