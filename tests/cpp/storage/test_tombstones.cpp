#include <gtest/gtest.h>
#include <roaring/roaring.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "ivf_rabitq/storage/tombstones.hpp"

using ivf_rabitq::ErrorKind;
using ivf_rabitq::storage::Tombstones;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A container of a hand-built body. Values are the low 16 bits; runs are (start, length-1).
struct TC {
  enum Kind { Array, Bitmap, Run } kind;
  uint16_t key;
  std::vector<uint16_t> values;                      // Array / Bitmap
  std::vector<std::pair<uint16_t, uint16_t>> runs;   // Run
  int64_t card_override = -1;                        // header cardinality, when not the true one
};

uint32_t true_card(const TC& c) {
  if (c.kind != TC::Run) return static_cast<uint32_t>(c.values.size());
  uint32_t n = 0;
  for (auto [s, l] : c.runs) n += uint32_t{l} + 1;
  return n;
}

size_t data_size(const TC& c) {
  switch (c.kind) {
    case TC::Array: return 2 * c.values.size();
    case TC::Bitmap: return 8192;
    case TC::Run: return 2 + 4 * c.runs.size();
  }
  return 0;
}

// Builds a portable body: the no-run form when no container is a run, else the run form
// (with the offset header only from 4 containers on, as the format has it).
Bytes build_body(const std::vector<TC>& cs, bool force_run_form = false) {
  const bool runs = force_run_form || std::any_of(cs.begin(), cs.end(), [](const TC& c) { return c.kind == TC::Run; });
  const uint32_t n = static_cast<uint32_t>(cs.size());
  Bytes b;
  size_t header;
  bool offsets;
  if (!runs) {
    put32(b, 12346);
    put32(b, n);
    header = 8 + 8 * size_t{n};
    offsets = true;
  } else {
    put32(b, 12347u | ((n - 1) << 16));
    Bytes flags((n + 7) / 8, 0);
    for (uint32_t i = 0; i < n; ++i)
      if (cs[i].kind == TC::Run) flags[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    b.insert(b.end(), flags.begin(), flags.end());
    offsets = n >= 4;
    header = b.size() + 4 * size_t{n} + (offsets ? 4 * size_t{n} : 0);
  }
  for (const TC& c : cs) {
    put16(b, c.key);
    put16(b, static_cast<uint32_t>((c.card_override >= 0 ? c.card_override : true_card(c)) - 1));
  }
  if (offsets) {
    size_t at = header;
    for (const TC& c : cs) {
      put32(b, static_cast<uint32_t>(at));
      at += data_size(c);
    }
  }
  for (const TC& c : cs) {
    if (c.kind == TC::Array) {
      for (uint16_t v : c.values) put16(b, v);
    } else if (c.kind == TC::Bitmap) {
      uint64_t w[1024] = {};
      for (uint16_t v : c.values) w[v >> 6] |= uint64_t{1} << (v & 63);
      for (uint64_t x : w) put64(b, x);
    } else {
      put16(b, static_cast<uint32_t>(c.runs.size()));
      for (auto [s, l] : c.runs) {
        put16(b, s);
        put16(b, l);
      }
    }
  }
  return b;
}

std::vector<uint16_t> iota16(uint32_t from, uint32_t count, uint32_t step = 1) {
  std::vector<uint16_t> v;
  for (uint32_t i = 0; i < count; ++i) v.push_back(static_cast<uint16_t>(from + i * step));
  return v;
}

Tombstones of(std::vector<uint32_t> xs) { return Tombstones::from_slots(xs); }

}  // namespace

// ---- golden bodies ----

TEST(TombstonesFormat, GoldenBodies) {
  EXPECT_EQ(Tombstones().serialize(), (Bytes{0x3A, 0x30, 0, 0, 0, 0, 0, 0}));

  // Slot 70000: one container, key 1, card-1 0, offset 16, value 4464 (0x1170).
  EXPECT_EQ(of({70000}).serialize(),
            (Bytes{0x3A, 0x30, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0x70, 0x11}));

  // 4,097 slots of one block: a bitmap container of 1024 words.
  std::vector<uint32_t> xs;
  for (uint32_t i = 0; i < 4097; ++i) xs.push_back(3 * 65536 + 2 * i);
  Bytes want = {0x3A, 0x30, 0, 0, 1, 0, 0, 0, 3, 0, 0x00, 0x10, 16, 0, 0, 0};
  uint64_t words[1024] = {};
  for (uint32_t i = 0; i < 4097; ++i) words[(2 * i) >> 6] |= uint64_t{1} << ((2 * i) & 63);
  for (uint64_t w : words) put64(want, w);
  const Bytes got = of(xs).serialize();
  ASSERT_EQ(got.size(), 8u + 8u + 8192u);
  EXPECT_EQ(got, want);
  EXPECT_EQ(of(xs).serialized_size(), got.size());
}

TEST(TombstonesFormat, GoldenSeveralContainers) {
  // Keys 0 (array of 2), 2 (array of 1), 5 (bitmap); offsets follow the header.
  std::vector<uint32_t> xs = {7, 9, 2 * 65536 + 1};
  for (uint32_t i = 0; i < 5000; ++i) xs.push_back(5 * 65536 + i);
  const Bytes got = of(xs).serialize();
  Bytes want;
  put32(want, 12346);
  put32(want, 3);
  put16(want, 0), put16(want, 1);
  put16(want, 2), put16(want, 0);
  put16(want, 5), put16(want, 4999);
  put32(want, 32), put32(want, 36), put32(want, 38);
  put16(want, 7), put16(want, 9), put16(want, 1);
  uint64_t words[1024] = {};
  for (uint32_t i = 0; i < 5000; ++i) words[i >> 6] |= uint64_t{1} << (i & 63);
  for (uint64_t w : words) put64(want, w);
  EXPECT_EQ(got, want);
}

// The container kind follows the cardinality (array up to 4096), not the library's
// in-memory layout: removing one slot from a 4,097-slot bitmap block leaves 4,096 slots
// that must be written as an array, or a reader would take 8,192 bitmap bytes as an
// array and decode garbage.
TEST(TombstonesFormat, ContainerKindFollowsCardinalityAfterRemoval) {
  std::vector<uint32_t> xs;
  for (uint32_t i = 0; i < 4097; ++i) xs.push_back(i * 3);
  Tombstones t = of(xs);
  t.remove_range(3 * 4096, 3 * 4096 + 1);
  ASSERT_EQ(t.cardinality(), 4096u);
  const Bytes body = t.serialize();
  Bytes want;
  put32(want, 12346);
  put32(want, 1);
  put16(want, 0), put16(want, 4095);
  put32(want, 16);
  for (uint32_t i = 0; i < 4096; ++i) put16(want, i * 3);
  EXPECT_EQ(body, want);
  auto back = Tombstones::deserialize(body);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, t);
}

// ---- round trips ----

TEST(TombstonesFormat, RandomRoundTripsAgreeWithLibrary) {
  std::mt19937_64 rng(12345);
  struct Shape {
    const char* name;
    uint32_t n;
    uint32_t span;  // values drawn from [base, base + span)
    uint32_t base;
  };
  const Shape shapes[] = {
      {"empty", 0, 1, 0},          {"sparse", 300, UINT32_MAX, 0}, {"one block dense", 30000, 65536, 0},
      {"many blocks", 200000, 1u << 22, 0}, {"top of range", 5000, 70000, UINT32_MAX - 69999},
      {"array edge", 4096, 65536, 65536 * 9},
  };
  for (const Shape& s : shapes) {
    for (int rep = 0; rep < 3; ++rep) {
      std::set<uint32_t> model;
      std::vector<uint32_t> xs;
      for (uint32_t i = 0; i < s.n; ++i) {
        const uint32_t v = s.base + static_cast<uint32_t>(rng() % s.span);
        xs.push_back(v);
        model.insert(v);
      }
      // "array edge": exactly 4096 distinct values in one block.
      if (std::string(s.name) == "array edge") {
        xs.clear();
        model.clear();
        for (uint32_t i = 0; i < 4096; ++i) xs.push_back(s.base + i * 16), model.insert(s.base + i * 16);
      }
      const Tombstones t = Tombstones::from_slots(xs);
      ASSERT_EQ(t.to_vector(), std::vector<uint32_t>(model.begin(), model.end())) << s.name;
      const Bytes body = t.serialize();
      ASSERT_EQ(body.size(), t.serialized_size());
      auto back = Tombstones::deserialize(body);
      ASSERT_TRUE(back.ok()) << s.name << ": " << back.error().text();
      EXPECT_EQ(back->to_vector(), t.to_vector()) << s.name;
      EXPECT_EQ(back->serialize(), body) << s.name;

      // The library reads our bytes as the same set, and writes the same bytes for a
      // set without runs.
      roaring_bitmap_t* lib = roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(body.data()), body.size());
      ASSERT_NE(lib, nullptr) << s.name;
      EXPECT_EQ(roaring_bitmap_get_cardinality(lib), model.size());
      std::vector<uint32_t> libvals(roaring_bitmap_get_cardinality(lib));
      roaring_bitmap_to_uint32_array(lib, libvals.data());
      EXPECT_EQ(libvals, t.to_vector()) << s.name;
      Bytes libbody(roaring_bitmap_portable_size_in_bytes(lib));
      roaring_bitmap_portable_serialize(lib, reinterpret_cast<char*>(libbody.data()));
      EXPECT_EQ(libbody, body) << s.name;

      // Bodies with run containers, as the library writes them after run optimisation.
      roaring_bitmap_run_optimize(lib);
      Bytes runbody(roaring_bitmap_portable_size_in_bytes(lib));
      roaring_bitmap_portable_serialize(lib, reinterpret_cast<char*>(runbody.data()));
      roaring_bitmap_free(lib);
      auto fromruns = Tombstones::deserialize(runbody);
      ASSERT_TRUE(fromruns.ok()) << s.name << ": " << fromruns.error().text();
      EXPECT_EQ(*fromruns, t) << s.name;
      EXPECT_EQ(fromruns->serialize(), body) << s.name;  // runs are gone after reading
    }
  }
}

TEST(TombstonesFormat, HandBuiltRunBodiesReadAsTheSameSet) {
  struct Case {
    const char* name;
    std::vector<TC> cs;
    std::vector<uint32_t> want;
  };
  auto range = [](uint32_t from, uint32_t to_incl) {
    std::vector<uint32_t> v;
    for (uint64_t x = from; x <= to_incl; ++x) v.push_back(static_cast<uint32_t>(x));
    return v;
  };
  auto cat = [](std::vector<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> v;
    for (auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  std::vector<uint16_t> bm_vals = iota16(0, 5000, 3);
  std::vector<uint32_t> bm_want;
  for (uint16_t v : bm_vals) bm_want.push_back((7u << 16) | v);
  const Case cases[] = {
      {"one run", {{TC::Run, 0, {}, {{10, 4}}}}, range(10, 14)},
      {"adjacent and separate runs", {{TC::Run, 2, {}, {{0, 0}, {1, 2}, {100, 0}}}}, cat({range(131072, 131075), {131172}})},
      {"full block", {{TC::Run, 65535, {}, {{0, 65535}}}}, range(0xFFFF0000u, 0xFFFFFFFFu)},
      {"run form without runs", {{TC::Array, 1, {5, 6}, {}}}, {65541, 65542}},
      {"three mixed (no offsets)",
       {{TC::Array, 0, {1, 2}, {}}, {TC::Run, 1, {}, {{65534, 1}}}, {TC::Bitmap, 7, bm_vals, {}}},
       cat({{1, 2}, range(131070, 131071), bm_want})},
      {"five mixed (offsets)",
       {{TC::Run, 0, {}, {{0, 9}}},
        {TC::Array, 3, {9}, {}},
        {TC::Bitmap, 7, bm_vals, {}},
        {TC::Run, 8, {}, {{1, 0}, {3, 0}}},
        {TC::Array, 9, {0, 65535}, {}}},
       cat({range(0, 9), {3u * 65536 + 9}, bm_want, {8u * 65536 + 1, 8u * 65536 + 3}, {9u * 65536, 9u * 65536 + 65535}})},
  };
  for (const Case& c : cases) {
    const Bytes body = build_body(c.cs, std::string(c.name) == "run form without runs");
    auto t = Tombstones::deserialize(body);
    ASSERT_TRUE(t.ok()) << c.name << ": " << t.error().text();
    EXPECT_EQ(t->to_vector(), c.want) << c.name;
    // Re-serialised without runs, and the library agrees with that body.
    const Bytes again = t->serialize();
    EXPECT_EQ(again, Tombstones::from_slots(c.want).serialize()) << c.name;
    EXPECT_EQ(again.size() >= 4 && again[0] == 0x3A && again[1] == 0x30, true);
  }
}

TEST(TombstonesFormat, TrailingBytesAreIgnored) {
  Bytes body = of({1, 2, 3}).serialize();
  body.push_back(0xAB);
  auto t = Tombstones::deserialize(body);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->to_vector(), (std::vector<uint32_t>{1, 2, 3}));
}

// ---- corrupt bodies ----

TEST(TombstonesFormat, EveryTruncationIsAnError) {
  std::vector<Bytes> bodies;
  bodies.push_back(of({70000}).serialize());
  bodies.push_back(of({1, 2, 65536 * 4 + 3, 65536 * 5 + 9}).serialize());
  bodies.push_back(build_body({{TC::Run, 0, {}, {{0, 9}}}, {TC::Array, 3, {9}, {}}}));
  bodies.push_back(build_body({{TC::Run, 0, {}, {{0, 9}}},
                               {TC::Array, 3, {9}, {}},
                               {TC::Array, 4, {9}, {}},
                               {TC::Run, 5, {}, {{2, 3}, {8, 1}}}}));
  std::vector<uint16_t> bm = iota16(0, 4097, 2);
  bodies.push_back(build_body({{TC::Bitmap, 1, bm, {}}}));
  for (size_t b = 0; b < bodies.size(); ++b) {
    const Bytes& full = bodies[b];
    ASSERT_TRUE(Tombstones::deserialize(full).ok()) << b;
    const size_t step = full.size() > 1000 ? 97 : 1;  // the bitmap body: a sample of cuts
    for (size_t cut = 0; cut < full.size(); cut += step) {
      // An exact-size heap copy so that ASan flags any read past the cut.
      std::unique_ptr<uint8_t[]> buf(new uint8_t[cut == 0 ? 1 : cut]);
      std::memcpy(buf.get(), full.data(), cut);
      auto r = Tombstones::deserialize(std::span<const uint8_t>(buf.get(), cut));
      ASSERT_FALSE(r.ok()) << "body " << b << " cut at " << cut;
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_NE(r.error().text().find("truncated"), std::string::npos) << r.error().text();
    }
  }
}

TEST(TombstonesFormat, CorruptBodiesAreErrors) {
  struct Case {
    const char* name;
    Bytes body;
    const char* fragment;  // expected in the error text
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, Bytes b, const char* frag) { cases.push_back({name, std::move(b), frag}); };

  add("bad cookie", Bytes{0x3C, 0x30, 0, 0, 0, 0, 0, 0}, "unknown cookie");
  add("zero cookie", Bytes{0, 0, 0, 0, 0, 0, 0, 0}, "unknown cookie");
  {
    Bytes b;
    put32(b, 12346);
    put32(b, 65537);
    b.resize(b.size() + 65537 * 8, 0);
    add("container count too big", b, "exceeds 65536");
  }
  {
    Bytes b;
    put32(b, 12346);
    put32(b, 0xFFFFFFFFu);
    add("huge container count", b, "exceeds");
  }
  {
    Bytes b;
    put32(b, 12346);
    put32(b, 1000);  // headers do not fit
    add("count larger than the body", b, "truncated container headers");
  }
  {
    Bytes b = of({5, 70000}).serialize();
    set32(b, 16, 18);  // first offset 18 instead of 24
    add("offset before data", b, "offset 18");
  }
  {
    Bytes b = of({5, 70000}).serialize();
    set32(b, 20, 0xFFFFFFF0u);
    add("offset out of range", b, "offset 4294967280");
  }
  {
    Bytes b = build_body({{TC::Array, 2, {1}, {}}, {TC::Array, 1, {1}, {}}});
    add("unsorted keys", b, "keys out of order");
  }
  {
    Bytes b = build_body({{TC::Array, 1, {1}, {}}, {TC::Array, 1, {2}, {}}});
    add("duplicate keys", b, "keys out of order");
  }
  add("unsorted array values", build_body({{TC::Array, 0, {5, 3, 9}, {}}}), "not strictly ascending");
  add("duplicate array values", build_body({{TC::Array, 0, {5, 5}, {}}}), "not strictly ascending");
  {
    TC c{TC::Bitmap, 0, iota16(0, 5000), {}};
    c.card_override = 5001;
    add("bitmap cardinality mismatch", build_body({c}), "bitmap holds 5000");
  }
  {
    // A header cardinality that makes a 4,096-value array look like a bitmap.
    TC c{TC::Array, 0, iota16(0, 4096), {}};
    c.card_override = 4097;
    add("array read as bitmap", build_body({c}), "bitmap holds");
  }
  {
    TC c{TC::Run, 0, {}, {{0, 9}}};
    c.card_override = 11;
    add("run cardinality too small", build_body({c}), "runs hold 10 values");
  }
  {
    TC c{TC::Run, 0, {}, {{0, 9}, {20, 9}}};
    c.card_override = 10;
    add("run cardinality too big", build_body({c}), "runs hold more than 10");
  }
  add("runs overlapping", build_body({{TC::Run, 0, {}, {{0, 9}, {5, 9}}}}), "overlaps");
  add("runs out of order", build_body({{TC::Run, 0, {}, {{20, 1}, {5, 1}}}}), "overlaps");
  add("run beyond the block", build_body({{TC::Run, 0, {}, {{65530, 10}}}}), "ends beyond its block");
  {
    TC c{TC::Run, 0, {}, {}};
    c.card_override = 1;
    add("empty run container", build_body({c}), "runs hold 0");
  }
  {
    Bytes b = build_body({{TC::Run, 0, {}, {{0, 9}}},
                          {TC::Array, 3, {9}, {}},
                          {TC::Array, 4, {9}, {}},
                          {TC::Run, 5, {}, {{2, 3}}}});
    // Offset header of the run form starts after cookie (4), flags (1) and headers (16).
    set32(b, 4 + 1 + 16 + 4, 7);
    add("run form offset wrong", b, "offset 7");
  }

  for (const Case& c : cases) {
    auto r = Tombstones::deserialize(c.body);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData) << c.name;
    EXPECT_NE(r.error().text().find(c.fragment), std::string::npos) << c.name << ": " << r.error().text();
  }
}

TEST(TombstonesFormat, RandomCorruptionNeverCrashes) {
  std::mt19937_64 rng(99);
  std::vector<Bytes> seeds = {
      of({1, 2, 3, 70000, 4000000000u}).serialize(),
      build_body({{TC::Run, 0, {}, {{0, 9}}}, {TC::Array, 3, {9, 12}, {}}, {TC::Array, 4, {9}, {}}, {TC::Run, 5, {}, {{2, 3}, {8, 1}}}}),
  };
  for (const Bytes& seed : seeds) {
    for (int i = 0; i < 3000; ++i) {
      Bytes b = seed;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      auto r = Tombstones::deserialize(b);
      if (r.ok()) {
        // Whatever decodes must be a consistent set that round-trips.
        auto again = Tombstones::deserialize(r->serialize());
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(*again, *r);
      }
    }
  }
}

// ---- set operations ----

TEST(Tombstones, OperationsAgreeWithAModel) {
  std::mt19937_64 rng(7);
  Tombstones t;
  std::set<uint32_t> model;
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(t.maximum(), std::nullopt);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t v = static_cast<uint32_t>(rng() % 300000);
    EXPECT_EQ(t.insert(v), model.insert(v).second);
  }
  EXPECT_EQ(t.cardinality(), model.size());
  EXPECT_EQ(t.maximum(), *model.rbegin());
  for (uint32_t v = 0; v < 300000; v += 37) EXPECT_EQ(t.contains(v), model.count(v) == 1) << v;

  // Copy is deep.
  Tombstones copy = t;
  copy.insert(4000000000u);
  EXPECT_FALSE(t.contains(4000000000u));
  EXPECT_TRUE(t.is_subset_of(copy));
  EXPECT_FALSE(copy.is_subset_of(t));
  EXPECT_TRUE(Tombstones().is_subset_of(t));
  EXPECT_FALSE(t.is_subset_of(Tombstones()));
  Tombstones assigned;
  assigned = copy;
  EXPECT_EQ(assigned, copy);

  // Range removal, including ranges across blocks and to the end of the slot space.
  struct Range {
    uint64_t b, e;
  };
  for (Range r : {Range{100, 100}, Range{500, 400}, Range{1000, 70000}, Range{131072, 131073}, Range{250000, uint64_t{1} << 32}}) {
    t.remove_range(r.b, r.e);
    for (auto it = model.lower_bound(static_cast<uint32_t>(std::min<uint64_t>(r.b, UINT32_MAX)));
         r.b < r.e && it != model.end() && *it < r.e;)
      it = model.erase(it);
    ASSERT_EQ(t.to_vector(), std::vector<uint32_t>(model.begin(), model.end())) << r.b << ".." << r.e;
  }
  copy.remove_range(0, uint64_t{1} << 32);
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(copy.serialize().size(), 8u);

  // Union.
  Tombstones other = Tombstones::from_slots(std::vector<uint32_t>{1, 2, 3, 4294967295u});
  t.union_with(other);
  model.insert({1, 2, 3, 4294967295u});
  EXPECT_EQ(t.to_vector(), std::vector<uint32_t>(model.begin(), model.end()));
  Tombstones empty;
  empty.union_with(other);
  EXPECT_EQ(empty, other);

  // Moved-from sets are empty and usable.
  Tombstones moved = std::move(other);
  EXPECT_TRUE(other.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(other.insert(9));
  EXPECT_EQ(moved.cardinality(), 4u);
}

TEST(Tombstones, CursorSeeksAndReads) {
  std::mt19937_64 rng(3);
  std::set<uint32_t> model;
  for (int i = 0; i < 30000; ++i) model.insert(static_cast<uint32_t>(rng() % 2000000));
  for (uint32_t i = 0; i < 70000; ++i) model.insert(5000000 + i);  // bitmap containers
  model.insert(UINT32_MAX);
  const Tombstones t = Tombstones::from_slots(std::vector<uint32_t>(model.begin(), model.end()));

  // Full walk.
  std::vector<uint32_t> walked;
  for (auto c = t.cursor(); c.valid(); c.next()) walked.push_back(c.value());
  EXPECT_EQ(walked, std::vector<uint32_t>(model.begin(), model.end()));

  // Seeks forward and backward from one cursor, and fresh cursors from a start.
  auto c = t.cursor();
  for (int i = 0; i < 2000; ++i) {
    const uint32_t x = (i % 10 == 0) ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(rng() % 5100000);
    auto it = model.lower_bound(x);
    EXPECT_EQ(c.seek(x), it != model.end()) << x;
    if (it != model.end()) {
      EXPECT_EQ(c.value(), *it) << x;
    }
    auto f = t.cursor(x);
    EXPECT_EQ(f.valid(), it != model.end());
    if (it != model.end()) {
      EXPECT_EQ(f.value(), *it);
    }
  }
  EXPECT_TRUE(t.cursor(UINT32_MAX).valid());

  // Batch reads from a position: the slots at or above a bound.
  auto r = t.cursor(1999000);
  std::vector<uint32_t> got;
  uint32_t buf[1000];
  while (size_t n = r.read(buf)) got.insert(got.end(), buf, buf + n);
  EXPECT_FALSE(r.valid());
  EXPECT_EQ(got, std::vector<uint32_t>(model.lower_bound(1999000), model.end()));

  // The empty set.
  const Tombstones none;
  EXPECT_FALSE(none.cursor().valid());
  auto nc = none.cursor(5);
  EXPECT_FALSE(nc.seek(0));
  EXPECT_EQ(nc.read(buf), 0u);
}
