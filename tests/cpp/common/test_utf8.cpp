// The UTF-8 decoder and what is built on it: the boundaries of well-formed sequences, the
// length an ill-formed one stands for, validation offsets, lossy conversion as Python's
// "replace" does it, White_Space trimming, and the environment value helpers.
#include <gtest/gtest.h>

#include <string>

#include "ivf_rabitq/common/env.hpp"
#include "ivf_rabitq/common/utf8.hpp"

namespace utf8 = ivf_rabitq::utf8;
namespace env = ivf_rabitq::env;

namespace {

struct DecodeCase {
  const char* what;
  std::string bytes;
  bool ok;
  unsigned len;  // the sequence's length, or the ill-formed prefix's
  uint32_t cp;   // checked when ok
};

TEST(Utf8, DecodeBoundaries) {
  const DecodeCase cases[] = {
      {"ascii", "A", true, 1, 0x41},
      {"nul", std::string(1, '\0'), true, 1, 0},
      {"smallest two-byte", "\xC2\x80", true, 2, 0x80},
      {"largest two-byte", "\xDF\xBF", true, 2, 0x7FF},
      {"overlong two-byte C0", "\xC0\x80", false, 1, 0},
      {"overlong two-byte C1", "\xC1\xBF", false, 1, 0},
      {"smallest three-byte", "\xE0\xA0\x80", true, 3, 0x800},
      {"overlong three-byte", "\xE0\x9F\xBF", false, 1, 0},
      {"last before surrogates", "\xED\x9F\xBF", true, 3, 0xD7FF},
      {"high surrogate", "\xED\xA0\x80", false, 1, 0},
      {"low surrogate", "\xED\xBF\xBF", false, 1, 0},
      {"first after surrogates", "\xEE\x80\x80", true, 3, 0xE000},
      {"largest three-byte", "\xEF\xBF\xBF", true, 3, 0xFFFF},
      {"smallest four-byte", "\xF0\x90\x80\x80", true, 4, 0x10000},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", false, 1, 0},
      {"largest scalar", "\xF4\x8F\xBF\xBF", true, 4, 0x10FFFF},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, 1, 0},
      {"lead F5", "\xF5\x80\x80\x80", false, 1, 0},
      {"lead FF", "\xFF", false, 1, 0},
      {"lone continuation", "\x80", false, 1, 0},
      {"cut after one of two continuations", "\xE2\x82", false, 2, 0},
      {"cut after two of three continuations", "\xF0\x9F\x98", false, 3, 0},
      {"bad first continuation", "\xE2\x28\xA1", false, 1, 0},
      {"bad second continuation", "\xE2\x82\x28", false, 2, 0},
      {"bad third continuation", "\xF0\x9F\x98\x28", false, 3, 0},
  };
  for (const auto& c : cases) {
    const utf8::Step st = utf8::decode(c.bytes, 0);
    EXPECT_EQ(st.ok, c.ok) << c.what;
    EXPECT_EQ(st.len, c.len) << c.what;
    if (c.ok) {
      EXPECT_EQ(st.cp, c.cp) << c.what;
    } else {
      EXPECT_EQ(st.cp, 0xFFFDu) << c.what;
    }
    // Validation agrees with one decoding step.
    EXPECT_EQ(utf8::is_valid(c.bytes), c.ok && c.len == c.bytes.size()) << c.what;
  }
}

TEST(Utf8, FirstInvalidOffset) {
  const struct {
    std::string s;
    size_t bad;  // npos: valid
  } cases[] = {
      {"", std::string::npos},
      {"plain ascii well past eight bytes", std::string::npos},
      {"abcdefghij\xC3", 10},  // after the eight-byte ASCII path
      {"h\xC3\xA9llo\xED\xA0\x80", 6},
      {"\xE2\x82\xAC\xE2\x82", 3},
      {"\x80rest", 0},
  };
  for (const auto& c : cases) {
    size_t bad = 12345;
    const bool ok = utf8::is_valid(c.s, &bad);
    EXPECT_EQ(ok, c.bad == std::string::npos) << c.s;
    if (!ok) {
      EXPECT_EQ(bad, c.bad) << c.s;
    }
  }
}

// Outputs of Python's bytes.decode("utf-8", "replace") for the same bytes.
TEST(Utf8, LossyReplacesEachMaximalIllFormedPrefix) {
  const std::string R = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"ok\xE2\x82\xAC", "ok\xE2\x82\xAC"},
      {"a\xE2\x82" "b", "a" + R + "b"},
      {"\xF0\x9F\x98", R},
      {"\xED\xA0\x80x", R + R + R + "x"},
      {"\xC0\xAF", R + R},
      {"\xE2(\xA1", R + "(" + R},
      {"\xF4\x90\x80\x80", R + R + R + R},
      {"long ascii run before \xFF and after", "long ascii run before " + R + " and after"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8::lossy(c.in), c.out) << c.in;
}

TEST(Utf8, TrimWhiteSpace) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      {" \t x \xC2\xA0", "x"},                             // no-break space
      {"\xE3\x80\x80" "a b\xE2\x80\x83", "a b"},           // ideographic space, em space
      {"\xC2\x85" "1\xE2\x80\xA8", "1"},                   // next line, line separator
      {"\xE2\x80\x8B" "1", "\xE2\x80\x8B" "1"},            // zero width space is not White_Space
      {" \x80 ", "\x80"},                                  // an ill-formed byte is kept
  };
  for (const auto& c : cases) EXPECT_EQ(utf8::trim_white_space(c.in), c.out) << c.in;
}

TEST(Utf8, PrintsVisibly) {
  for (uint32_t cp : {0x20u, 0x41u, 0x7Eu, 0xA0u, 0xE9u, 0x4E2Du, 0xFFFDu, 0x1F600u}) EXPECT_TRUE(utf8::prints_visibly(cp)) << cp;
  for (uint32_t cp : {0x0u, 0x1Fu, 0x7Fu, 0x85u, 0x9Fu, 0xADu, 0x200Bu, 0x202Eu, 0x2066u, 0xFEFFu, 0xFFF9u, 0xD800u,
                      0x110000u})
    EXPECT_FALSE(utf8::prints_visibly(cp)) << cp;
}

TEST(Env, TextTrimmingAndNumbers) {
  EXPECT_FALSE(env::as_text(std::nullopt));
  EXPECT_FALSE(env::as_text(std::string_view("\xFF")));
  EXPECT_EQ(env::as_text(std::string_view(" 1 ")), std::optional<std::string_view>(" 1 "));
  EXPECT_FALSE(env::trimmed(env::view(nullptr)));
  EXPECT_FALSE(env::trimmed(std::string_view("1\xC0")));
  EXPECT_EQ(env::trimmed(std::string_view("\xC2\xA0 7\t")), std::optional<std::string_view>("7"));

  const struct {
    const char* in;
    std::optional<uint64_t> out;
  } numbers[] = {
      {"0", 0},
      {"+42", 42},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-1", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const auto& c : numbers) EXPECT_EQ(env::parse_unsigned(c.in), c.out) << c.in;

  const struct {
    const char* in;
    std::optional<int64_t> out;
  } signed_numbers[] = {
      {"-0", 0},
      {"+7", 7},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"-", std::nullopt},
      {"-+1", std::nullopt},
      {"1-", std::nullopt},
  };
  for (const auto& c : signed_numbers) EXPECT_EQ(env::parse_signed(c.in), c.out) << c.in;
}

}  // namespace
