// The JSON structural scanner against a byte-by-byte model of its state machine, for every
// SIMD variant the CPU supports: fixed cases, chunking at every split, backslash runs across
// block boundaries, malformed input and random byte soups.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"
#include "json_scan/scan.hpp"

using ivf_rabitq::simd::Level;
using json_scan::Counts;
using json_scan::ScanResult;

namespace {

// The state machine, one byte at a time: outside strings a quote opens a string and commas,
// colons and openers are counted; inside, a backslash escapes the next byte and an unescaped
// quote closes the string.
ScanResult model(std::string_view s, uint8_t start) {
  ScanResult r;
  bool in = start & 1, esc = in && (start & 2);
  for (unsigned char c : s) {
    if (!in) {
      if (c == '"') in = true;
      else if (c == ',') ++r.counts.commas;
      else if (c == ':') ++r.counts.colons;
      else if (c == '[' || c == '{') ++r.counts.openers;
    } else if (esc) {
      esc = false;
    } else if (c == '\\') {
      esc = true;
    } else if (c == '"') {
      in = false;
    }
  }
  r.state = static_cast<uint8_t>((in ? 1 : 0) | (esc ? 2 : 0));
  return r;
}

std::string describe(const ScanResult& r) {
  return "(" + std::to_string(r.counts.commas) + ", " + std::to_string(r.counts.openers) + ", " +
         std::to_string(r.counts.colons) + ", state " + std::to_string(r.state) + ")";
}

// Every variant, and the dispatched entry point, equals the model on `s` from `start`. The
// text is copied at several offsets from an aligned buffer so the word search inside strings
// meets every alignment; the buffer ends with the text, so a read past it shows under ASan.
void expect_all_equal_model(std::string_view s, uint8_t start, const std::string& label) {
  const ScanResult want = model(s, start);
  for (size_t off = 0; off < 4; ++off) {
    std::vector<char> buf(off + s.size());
    std::copy(s.begin(), s.end(), buf.begin() + static_cast<std::ptrdiff_t>(off));
    const char* p = buf.data() + off;
    for (Level l : ivf_rabitq::simd::supported_levels()) {
      const ScanResult got = json_scan::scan_at(l, p, s.size(), start);
      ASSERT_EQ(got, want) << label << " level " << ivf_rabitq::simd::level_name(l) << " offset " << off
                           << " start " << int(start) << ": got " << describe(got) << " want " << describe(want);
    }
    ASSERT_EQ(json_scan::scan(p, s.size(), start), want) << label;
  }
}

struct Case {
  const char* name;
  std::string text;
  uint8_t start;
  size_t commas, openers, colons;
  uint8_t state;
};

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

TEST(JsonScan, FixedCasesMatchExpectedAndModel) {
  const std::vector<Case> cases = {
      {"list", "[1,2,3]", 0, 2, 1, 0, 0},
      {"comma in key", R"({"a,b":1})", 0, 0, 1, 1, 0},
      {"escaped quote keeps string open", R"({"a\"b":1})", 0, 0, 1, 1, 0},
      {"escaped backslash then quote closes", R"({"a\\":1,"b":[2]})", 0, 1, 2, 2, 0},
      {"three backslashes then quote stays open", R"(["a\\\",b"])", 0, 0, 1, 0, 0},
      {"structure inside strings ignored", R"({"k":"[{,:}]","l":"\u005b"})", 0, 1, 1, 2, 0},
      {"closers never counted", "]]]}}}", 0, 0, 0, 0, 0},
      {"nested", R"({"a":[{"b":1},{"c":[1,2]}],"d":{}})", 0, 3, 6, 4, 0},
      {"ends inside string", R"({"a":"xy)", 0, 0, 1, 1, 1},
      {"ends on backslash inside string", "{\"a\":\"x\\", 0, 0, 1, 1, 3},
      {"ends on escaped backslash", "\"x\\\\", 0, 0, 0, 0, 1},
      {"empty from 0", "", 0, 0, 0, 0, 0},
      {"empty from 1", "", 1, 0, 0, 0, 1},
      {"empty from 2 is outside", "", 2, 0, 0, 0, 0},
      {"empty from 3", "", 3, 0, 0, 0, 3},
      {"start 3 skips a quote", "\",x\",[", 3, 1, 1, 0, 0},
      {"start 3 skips a backslash", "\\\",", 3, 1, 0, 0, 0},
      {"start 2 behaves as 0", "\",", 2, 0, 0, 0, 1},
      {"start 1 closes then counts", "ab\",:", 1, 1, 0, 1, 0},
      {"backslash outside strings ignored", "\\\",\"", 0, 0, 0, 0, 0},
      {"backslash outside before comma", "[1\\,2]", 0, 1, 1, 0, 0},
      {"high bytes ignored outside", bytes({0xFF, ',', 0xC0, 0x80, '[', 0xE2, 0x82}), 0, 1, 1, 0, 0},
      {"invalid utf8 inside string skipped", bytes({'"', 0xFF, ',', 0xC3, '"', ':', 0xF0, 0x9F}), 0, 0, 0, 1, 0},
      {"nul bytes", std::string("[\0,\0\"\0,\"\0:", 10), 0, 1, 1, 1, 0},
  };
  for (const auto& c : cases) {
    const ScanResult r = json_scan::scan(c.text, c.start);
    EXPECT_EQ(r, (ScanResult{{c.commas, c.openers, c.colons}, c.state})) << c.name << ": got " << describe(r);
    expect_all_equal_model(c.text, c.start, c.name);
  }
}

TEST(JsonScan, ChunkedAtEverySplitEqualsWhole) {
  // A small document with escapes, structure inside strings and a backslash run right before
  // a quote, long enough to cross a 64-byte block boundary.
  const std::string doc =
      R"({"id":7,"tags":["a,b","c:d","e\"f"],"path":"C:\\dir\\","x":{"y":[1,2,{"z":"\\\""}]},)"
      R"("s":"[{,:}]","t":"tail\\\\"})";
  const ScanResult whole = model(doc, 0);
  for (Level l : ivf_rabitq::simd::supported_levels()) {
    ASSERT_EQ(json_scan::scan_at(l, doc.data(), doc.size(), 0), whole);
    for (size_t cut = 0; cut <= doc.size(); ++cut) {
      const ScanResult a = json_scan::scan_at(l, doc.data(), cut, 0);
      const ScanResult b = json_scan::scan_at(l, doc.data() + cut, doc.size() - cut, a.state);
      Counts sum = a.counts;
      sum += b.counts;
      ASSERT_EQ(sum, whole.counts) << "level " << ivf_rabitq::simd::level_name(l) << " cut " << cut;
      ASSERT_EQ(b.state, whole.state) << "cut " << cut;
      ASSERT_EQ(a, model(doc.substr(0, cut), 0)) << "cut " << cut;
    }
    // Three-way splits carry the state twice.
    for (size_t c1 = 0; c1 <= doc.size(); c1 += 3) {
      for (size_t c2 = c1; c2 <= doc.size(); c2 += 5) {
        const ScanResult a = json_scan::scan_at(l, doc.data(), c1, 0);
        const ScanResult b = json_scan::scan_at(l, doc.data() + c1, c2 - c1, a.state);
        const ScanResult c = json_scan::scan_at(l, doc.data() + c2, doc.size() - c2, b.state);
        Counts sum = a.counts;
        sum += b.counts;
        sum += c.counts;
        ASSERT_EQ(sum, whole.counts) << c1 << " " << c2;
        ASSERT_EQ(c.state, whole.state);
      }
    }
  }
}

TEST(JsonScan, BackslashRunsAcrossBlockBoundaries) {
  // A string holding `lead` bytes, then a run of `run` backslashes, then a quote and some
  // structure: the run's parity decides whether the quote closes the string. Runs start and
  // end at every position around the 64- and 128-byte block edges.
  for (size_t lead = 0; lead < 70; ++lead) {
    for (size_t run = 0; run < 135; ++run) {
      std::string s = "[\"" + std::string(lead, 'x') + std::string(run, '\\') + "\",1:{";
      expect_all_equal_model(s, 0, "lead " + std::to_string(lead) + " run " + std::to_string(run));
      // The same from inside a string, and from an escaped first byte.
      std::string t = std::string(lead, 'y') + std::string(run, '\\') + "\",[,";
      expect_all_equal_model(t, 1, "in-string lead " + std::to_string(lead) + " run " + std::to_string(run));
      expect_all_equal_model(t, 3, "escaped lead " + std::to_string(lead) + " run " + std::to_string(run));
    }
  }
}

TEST(JsonScan, EveryLengthAroundBlockSizes) {
  // A repeating pattern cut to every length up to three blocks: exercises full blocks, the
  // tails and the carry between them, from every start state.
  const std::string unit = R"({"k\"":[1,"a\\b",{"c":":,"}],"d":"\\"},)";
  std::string text;
  while (text.size() < 200) text += unit;
  for (size_t n = 0; n <= 200; ++n) {
    for (uint8_t st = 0; st < 4; ++st) expect_all_equal_model(std::string_view(text).substr(0, n), st, "n " + std::to_string(n));
  }
}

TEST(JsonScan, RandomByteSoupsMatchModel) {
  // Random texts over the characters that matter (plus filler and high bytes), at several
  // backslash densities: dense ones put backslashes outside strings and send blocks down the
  // scalar fallback, sparse ones keep the bit-parallel path.
  std::mt19937_64 rng(20261210);
  const std::string alphabets[] = {
      std::string("\"\\,:[{]}a ") + bytes({0x80, 0xFF}),
      "\"\"\\,:[{ab  cd,,",
      "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa,:[\\",
      "\"\\\\\\\\,:{",
  };
  for (const auto& alpha : alphabets) {
    for (int iter = 0; iter < 600; ++iter) {
      const size_t n = (iter % 3 == 0) ? rng() % 1200 : rng() % 200;
      std::string s(n, ' ');
      for (auto& c : s) c = alpha[rng() % alpha.size()];
      const uint8_t st = static_cast<uint8_t>(rng() % 4);
      expect_all_equal_model(s, st, "random iter " + std::to_string(iter));
    }
  }
}

TEST(JsonScan, WellFormedDocumentsAcrossLevels) {
  // Long, valid-looking JSON (no backslash outside strings): the SIMD variants stay on their
  // bit-parallel path, and every level equals the model on megabytes of it.
  std::mt19937_64 rng(99);
  std::string doc = "[";
  while (doc.size() < (1u << 20)) {
    doc += R"({"id":)" + std::to_string(rng() % 100000) + R"(,"name":"n)";
    const int kind = static_cast<int>(rng() % 4);
    if (kind == 0) doc += R"(\"quoted\", with: [brackets]{})";
    if (kind == 1) doc += R"(back\\slash\\)";
    if (kind == 2) doc += "caf\xC3\xA9 \xE2\x82\xAC";
    doc += R"(","v":[1.5,2,{"z":null}]},)";
  }
  doc += "0]";
  expect_all_equal_model(doc, 0, "document");
}

TEST(JsonScan, VeryDeepNesting) {
  const size_t depth = 1u << 20;
  std::string s = std::string(depth, '[') + "1" + std::string(depth, ']');
  const ScanResult r = json_scan::scan(s);
  EXPECT_EQ(r, (ScanResult{{0, depth, 0}, 0}));
  expect_all_equal_model(s, 0, "deep lists");
  std::string o;
  for (int i = 0; i < 50000; ++i) o += "{\"k\":";
  o += "0" + std::string(50000, '}');
  EXPECT_EQ(json_scan::scan(o), (ScanResult{{0, 50000, 50000}, 0}));
  expect_all_equal_model(o, 0, "deep objects");
}

}  // namespace
