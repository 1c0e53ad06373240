// Open-time checksum verification: which recorded files are checked, the byte budget and
// its environment variable, the order of reports, and unsafe recorded names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/segment/verify.hpp"
#include "support/segment_fixture.hpp"

using namespace ivf_rabitq;
using segment::verify_files_under;
using tandrel_test::TempDir;

namespace {

const uint64_t kDefault = 67108864;

void put_file(const TempDir& d, const std::string& name, const std::string& content) {
  tandrel_test::write_all(d.file(name), std::vector<uint8_t>(content.begin(), content.end()));
}

uint32_t crc_of(const std::string& s) { return storage::crc32(s.data(), s.size()); }

std::string mismatch(const std::string& name, uint32_t got, uint32_t want) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "(got %08x, want %08x)", got, want);
  return "corrupt index: " + name + " content CRC mismatch " + buf +
         " \u2014 at-rest bit-rot; refusing to serve wrong results";
}

}  // namespace

TEST(VerifyBudget, EnvironmentValueTable) {
  struct Case {
    const char* value;  // nullptr: unset
    uint64_t budget;
  };
  const Case cases[] = {
      {nullptr, kDefault},
      {"1024", 1024},
      {" +1024 ", 1024},
      {"\t\n+1024\r\n", 1024},
      {"\xC2\xA0" "42\xE3\x80\x80", 42},  // Unicode white space (U+00A0, U+3000) is trimmed
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", kDefault},
      {"99999999999999999999999", kDefault},
      {"1e6", kDefault},
      {"-5", kDefault},
      {"", kDefault},
      {"   ", kDefault},
      {"+", kDefault},
      {"++1", kDefault},
      {"1 2", kDefault},
      {"0x10", kDefault},
      {"12abc", kDefault},
      {"\xFF" "12", kDefault},  // not UTF-8
      {"\xEF\xBC\x91", kDefault},  // a full-width digit is not an ASCII digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(segment::parse_verify_budget(c.value), c.budget) << (c.value ? c.value : "(unset)");
  }
}

TEST(VerifyBudget, ReadOnceAndLatched) {
  // read_env follows the environment; verify_open_budget keeps its first value.
  ASSERT_EQ(::setenv("TANDREL_VERIFY_MAX_BYTES", " 4096 ", 1), 0);
  EXPECT_EQ(segment::read_env(), 4096u);
  const uint64_t first = segment::verify_open_budget();
  ASSERT_EQ(::setenv("TANDREL_VERIFY_MAX_BYTES", "12", 1), 0);
  EXPECT_EQ(segment::read_env(), 12u);
  EXPECT_EQ(segment::verify_open_budget(), first);
  ASSERT_EQ(::unsetenv("TANDREL_VERIFY_MAX_BYTES"), 0);
  EXPECT_EQ(segment::read_env(), kDefault);
  EXPECT_EQ(segment::verify_open_budget(), first);
}

TEST(Verify, SelectedNamesAndBudgetRule) {
  TempDir d;
  put_file(d, "codes.bin", std::string(100, 'c'));
  put_file(d, "meta.bin", "damaged");
  put_file(d, "num_anything", "n");
  storage::FileCrcs t;
  t["codes.bin"] = crc_of(std::string(100, 'c'));
  t["meta.bin"] = 1;       // not verified at open
  t["idhash.bin"] = 1;     // not verified (and missing)
  t["num_anything"] = 2;  // the prefix alone selects it
  EXPECT_EQ(verify_files_under(d.path(), {}, 0).ok(), true);
  {
    auto r = verify_files_under(d.path(), t, kDefault);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), mismatch("num_anything", crc_of("n"), 2));
  }
  t["num_anything"] = crc_of("n");
  EXPECT_TRUE(verify_files_under(d.path(), t, kDefault).ok());

  // A file whose length equals the budget is verified; a longer one is skipped.
  t["codes.bin"] = 7;
  {
    auto r = verify_files_under(d.path(), t, 100);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), mismatch("codes.bin", crc_of(std::string(100, 'c')), 7));
  }
  EXPECT_TRUE(verify_files_under(d.path(), t, 99).ok());

  // Budget 0 verifies only empty files, whose CRC is 0.
  put_file(d, "str_0.bin", "");
  t["str_0.bin"] = 5;
  {
    auto r = verify_files_under(d.path(), t, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), mismatch("str_0.bin", 0, 5));
  }
  t["str_0.bin"] = 0;
  EXPECT_TRUE(verify_files_under(d.path(), t, 0).ok());

  // A selected file that is missing fails whatever the budget.
  t["codes.bin"] = crc_of(std::string(100, 'c'));
  t["ids.bin"] = 0;
  for (uint64_t budget : {uint64_t{0}, kDefault}) {
    auto r = verify_files_under(d.path(), t, budget);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(),
              "corrupt index: recorded file ids.bin is unreadable (" + IoError::os(ENOENT).text() + ")");
  }
}

TEST(Verify, FirstDamagedNameInByteOrderIsReported) {
  TempDir d;
  storage::FileCrcs t;
  for (const char* f : {"str_1.bin", "orig.bin", "metas.bin", "codes.bin", "num_0.bin", "origscale.bin"}) {
    put_file(d, f, f);
    t[f] = crc_of(f) ^ 1;  // every one damaged
  }
  for (const char* first : {"codes.bin", "metas.bin", "num_0.bin", "orig.bin", "origscale.bin", "str_1.bin"}) {
    auto r = verify_files_under(d.path(), t, kDefault);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), mismatch(first, crc_of(first), crc_of(first) ^ 1));
    t[first] = crc_of(first);  // repair it; the next name in byte order is reported next
  }
  EXPECT_TRUE(verify_files_under(d.path(), t, kDefault).ok());
}

TEST(Verify, UnsafeRecordedNamesAndFileTypes) {
  TempDir outer;
  const std::string seg = outer.file("seg");
  std::filesystem::create_directory(seg);
  put_file(outer, "secret", "s");
  struct Case {
    std::string name;
    std::function<void()> setup;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"num_/../../secret", [] {}, "corrupt index: recorded file num_/../../secret is unreadable (not a plain file name)"},
      {"str_/x", [] {}, "corrupt index: recorded file str_/x is unreadable (not a plain file name)"},
      {std::string("num_\0x", 6), [] {}, "corrupt index: recorded file " + std::string("num_\0x", 6) +
                                             " is unreadable (not a plain file name)"},
      // A symbolic link in place of a data file is not followed.
      {"codes.bin", [&] { ASSERT_EQ(::symlink(outer.file("secret").c_str(), (seg + "/codes.bin").c_str()), 0); },
       "corrupt index: codes.bin unreadable (" + IoError::os(ELOOP).text() + ")"},
      // A FIFO must not hang the open.
      {"str_9.bin", [&] { ASSERT_EQ(::mkfifo((seg + "/str_9.bin").c_str(), 0600), 0); },
       "corrupt index: str_9.bin unreadable (not a regular file)"},
      {"num_7.bin", [&] { std::filesystem::create_directory(seg + "/num_7.bin"); },
       "corrupt index: num_7.bin unreadable (" + IoError::os(EISDIR).text() + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    c.setup();
    storage::FileCrcs t{{c.name, 0}};
    auto r = verify_files_under(seg, t, kDefault);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), c.text);
  }
  // Names that are not selected are never touched, whatever they hold.
  storage::FileCrcs t{{"../../secret", 0}, {"/etc/passwd", 0}, {".", 0}};
  EXPECT_TRUE(verify_files_under(seg, t, kDefault).ok());
}

TEST(Verify, OpenRefusesDamageWithinBudgetOnly) {
  // The open verifies last, with the process budget: a flipped byte in a small recorded bulk
  // file is refused, a flipped byte in meta.bin (recorded, but not checked at open) is not.
  TempDir d;
  tandrel_test::SegmentSpec s;
  s.ids = tandrel_test::make_ids(8);
  s.metas.assign(8, "{\"k\":1}");
  tandrel_test::write_segment(d.path(), s);
  auto meta = tandrel_test::read_all(d.file("meta.bin"));
  meta[0] ^= 1;
  tandrel_test::write_all(d.file("meta.bin"), meta);
  ASSERT_TRUE(index::IvfIndex::open_with_skip(d.path(), std::nullopt).ok());
  if (segment::verify_open_budget() < 64) GTEST_SKIP() << "budget below the file size";
  auto orig = tandrel_test::read_all(d.file("orig.bin"));
  orig[3] ^= 1;
  tandrel_test::write_all(d.file("orig.bin"), orig);
  auto r = index::IvfIndex::open_with_skip(d.path(), std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().text().find("corrupt index: orig.bin content CRC mismatch"), std::string::npos);
}
