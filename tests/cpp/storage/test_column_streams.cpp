// The column streams of a streamed segment: every file of the set holds exactly what was
// appended, the text columns' offsets, and the checksums recorded in the documented order
// (crcs.bin lists the table in hash-table order, which follows the order of recording, so a
// reordering would change the bytes compaction and merge write).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ivf_rabitq/storage/column_streams.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using tandrel_test::TempDir;

struct Case {
  const char* name;
  storage::ColumnSet set;
  std::vector<std::string_view> leading;
  bool meta_off_first;  // meta_off.bin written through the writer before the checksums
  std::vector<std::string> order;  // expected order of recording
};

// Appends `rows` records to every stream of `s` and returns the bytes each file must hold.
std::map<std::string, std::vector<uint8_t>> fill(storage::ColumnStreams& s, uint32_t rows) {
  std::map<std::string, std::vector<uint8_t>> want;
  auto put = [&](storage::StreamFile& f, const std::string& name, uint32_t v, size_t width) {
    std::vector<uint8_t> bytes(width, static_cast<uint8_t>(v * 31 + name.size()));
    ASSERT_TRUE(f.append(bytes.data(), bytes.size()).ok());
    auto& w = want[name];
    w.insert(w.end(), bytes.begin(), bytes.end());
  };
  for (uint32_t r = 0; r < rows; ++r) {
    put(s.codes, "codes.bin", r, 24);
    put(s.metas, "metas.bin", r, 16);
    put(s.orig, "orig.bin", r, 7);
    if (s.set.origscale) put(s.origscale, "origscale.bin", r, 8);
    const std::string text = "{\"r\":" + std::to_string(r) + "}";
    EXPECT_TRUE(s.meta.append(text).ok());
    want["meta.bin"].insert(want["meta.bin"].end(), text.begin(), text.end());
    if (s.set.ids) {
      const std::string id = "id" + std::to_string(r * r);
      EXPECT_TRUE(s.ids.append(id).ok());
      want["ids.bin"].insert(want["ids.bin"].end(), id.begin(), id.end());
    }
    for (size_t i = 0; i < s.set.num; ++i) put(s.num[i], "num_" + std::to_string(i) + ".bin", r + i, 8);
    for (size_t j = 0; j < s.set.str; ++j) put(s.str[j], "str_" + std::to_string(j) + ".bin", r + j, 4);
  }
  return want;
}

// The offsets file of texts of the given lengths.
std::vector<uint8_t> offsets_of(const std::vector<uint8_t>& lengths) {
  std::vector<uint64_t> off{0};
  for (uint8_t len : lengths) off.push_back(off.back() + len);
  return storage::encode_offsets(off);
}

// The names of a checksum table in the order crcs.bin lists them.
std::vector<std::string> listed(const storage::FileCrcs& t) {
  std::vector<std::string> names;
  for (const auto& [name, crc] : t) names.push_back(name);
  return names;
}

TEST(ColumnStreams, FilesHoldTheAppendsAndChecksumsFollowTheDocumentedOrder) {
  const std::vector<Case> cases = {
      {"merge's set, offsets written first",
       {.origscale = true, .ids = true, .num = 2, .str = 1},
       {},
       true,
       {"meta_off.bin", "ids_off.bin", "codes.bin", "metas.bin", "orig.bin", "origscale.bin", "meta.bin", "ids.bin",
        "num_0.bin", "num_1.bin", "str_0.bin"}},
      {"compaction's set, leading files first",
       {.origscale = false, .ids = false, .num = 1, .str = 2},
       {"codes.bin", "metas.bin", "orig.bin", "meta.bin", "meta_off.bin"},
       false,
       {"codes.bin", "metas.bin", "orig.bin", "meta.bin", "meta_off.bin", "num_0.bin", "str_0.bin", "str_1.bin"}},
      {"compaction's set with per-row exponents",
       {.origscale = true, .ids = false, .num = 0, .str = 0},
       {"codes.bin", "metas.bin", "orig.bin", "meta.bin", "meta_off.bin"},
       false,
       {"codes.bin", "metas.bin", "orig.bin", "meta.bin", "meta_off.bin", "origscale.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    auto w = storage::SegmentWriter::begin(t.path(), true);
    ASSERT_TRUE(w.ok());
    auto s = storage::ColumnStreams::open(*w, c.set);
    ASSERT_TRUE(s.ok());
    const uint32_t rows = 3000;  // every stream crosses its buffer
    std::map<std::string, std::vector<uint8_t>> want = fill(*s, rows);
    ASSERT_TRUE(s->finish().ok());
    EXPECT_FALSE(s->codes.append("x", 1).ok());  // finished streams are closed

    std::vector<uint8_t> meta_lens, id_lens;
    for (uint32_t r = 0; r < rows; ++r) {
      meta_lens.push_back(static_cast<uint8_t>(("{\"r\":" + std::to_string(r) + "}").size()));
      id_lens.push_back(static_cast<uint8_t>(("id" + std::to_string(r * r)).size()));
    }
    want["meta_off.bin"] = offsets_of(meta_lens);
    EXPECT_EQ(s->meta.take_offsets_file(), want["meta_off.bin"]);
    EXPECT_TRUE(s->meta.offsets.empty());
    if (c.meta_off_first) {
      ASSERT_TRUE(w->write_file("meta_off.bin", want["meta_off.bin"]).ok());
      want["ids_off.bin"] = offsets_of(id_lens);
      ASSERT_TRUE(w->write_file("ids_off.bin", s->ids.take_offsets_file()).ok());
    } else {
      ASSERT_TRUE(storage::write_bytes(w->path_of("meta_off.bin"), want["meta_off.bin"]).ok());
    }
    ASSERT_TRUE(s->record_checksums(*w, c.leading).ok());

    storage::FileCrcs expected;
    for (const std::string& name : c.order) {
      EXPECT_EQ(tandrel_test::read_all(t.path() + "/" + name), want.at(name)) << name;
      expected[name] = storage::crc32(want.at(name));
    }
    EXPECT_EQ(w->crcs(), expected);
    // The order crcs.bin lists them in: that of a table recorded in the expected order.
    EXPECT_EQ(listed(w->crcs()), listed(expected));
  }
}

}  // namespace
