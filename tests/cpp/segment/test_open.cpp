// Opening a segment directory: the values an open produces, the version and layout rules,
// and a corruption matrix over every file of a segment (each damage gives the exact error
// text and kind, or the warning line and the fallback, never a crash).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"
#include "ivf_rabitq/segment/verify.hpp"
#include "support/segment_fixture.hpp"

using namespace ivf_rabitq;
using index::IvfIndex;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

namespace {

// A segment using every file: typed columns (one numeric, one string), metadata texts,
// sparse postings, a checkpointed delta of two rows and tombstones on a main row and on the
// last delta row.
SegmentSpec full_spec() {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(10);
  for (int i = 0; i < 10; ++i) s.metas.push_back("{\"n\":" + std::to_string(i) + ",\"s\":\"v" + std::to_string(i % 3) + "\"}");
  s.sparse.resize(10);
  for (uint32_t i = 0; i < 10; ++i) s.sparse[i] = {{i % 3, 0.5f}, {7, 1.0f}};
  s.delta = tandrel_test::make_delta(s, {"d0", "d1"}, {"{\"n\":1}", "{\"s\":\"v1\"}"});
  s.delta->sparse = {{{7, 2.0f}}, {}};
  s.tombstones = std::vector<uint32_t>{1, 11};
  return s;
}

Result<std::shared_ptr<IvfIndex>> open(const std::string& dir) { return IvfIndex::open_with_skip(dir, std::nullopt); }

// Opens with standard error captured.
struct Opened {
  Result<std::shared_ptr<IvfIndex>> r;
  std::string err;
};
Opened open_capture(const std::string& dir) {
  testing::internal::CaptureStderr();
  auto r = open(dir);
  std::string err = testing::internal::GetCapturedStderr();
  return {std::move(r), std::move(err)};
}

std::string os_text(int e) { return IoError::os(e).text(); }

}  // namespace

TEST(Open, ValuesAfterOpen) {
  TempDir d;
  SegmentSpec spec = full_spec();
  tandrel_test::write_segment(d.path(), spec);
  const uint64_t before = index::OPEN_COUNT.load();
  auto [r, err] = open_capture(d.path());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(err, "");
  EXPECT_EQ(index::OPEN_COUNT.load(), before + 1);
  const IvfIndex& ix = **r;
  const storage::Manifest m = tandrel_test::manifest_for(spec);
  EXPECT_EQ(ix.manifest.n, 10u);
  EXPECT_TRUE(ix.manifest.centroids.empty());
  EXPECT_EQ(ix.format_version, 3u);
  EXPECT_EQ(ix.dir, d.path());
  EXPECT_EQ(ix.rotator.pad, 64u);
  ASSERT_EQ(ix.centroids_rot.size(), 2u * 64u);
  std::vector<float> want(64);
  ix.rotator.rotate_into(std::span<const float>(m.centroids.data() + 8, 8), want);
  EXPECT_EQ(0, std::memcmp(want.data(), ix.centroids_rot.data() + 64, 64 * sizeof(float)));
  EXPECT_EQ(ix.codes_bin.len(), 10u);
  EXPECT_EQ(ix.metas_bin.len(), 40u);
  EXPECT_TRUE(ix.origscale_bin.has_value());
  EXPECT_EQ(ix.num_bins.size(), 1u);
  EXPECT_EQ(ix.str_bins.size(), 1u);
  EXPECT_TRUE(ix.meta_bin && ix.meta_off_bin && ix.ids_bin && ix.ids_off_bin && ix.idhash_bin && ix.sparse_bin);
  // Terms 0, 1, 2, 7; 20 postings.
  EXPECT_EQ(ix.sparse_terms.size(), 4u);
  EXPECT_EQ(ix.sparse_base, 8u + 8u * 4u);
  EXPECT_EQ(ix.sparse_terms.at(7), (index::SparseSpan{10, 10}));
  EXPECT_FALSE(ix.file_crcs.empty());
  EXPECT_EQ(ix.locks().delta.read()->rows(), 2u);
  EXPECT_EQ(ix.locks().tombstones.read()->to_vector(), (std::vector<uint32_t>{1, 11}));
  // With idhash.bin only the delta ids enter the id map.
  EXPECT_EQ(ix.locks().id_map.read()->size(), 2u);
  EXPECT_EQ(ix.locks().delta_sparse.read()->at(7), (std::vector<std::pair<uint32_t, float>>{{0, 2.0f}}));
  EXPECT_TRUE(ix.locks().delta_stamp.lock()->has_value());
  EXPECT_EQ((*ix.locks().delta_stamp.lock())->len, std::filesystem::file_size(d.file("delta.bin")));
  EXPECT_FALSE(ix.locks().live_schema.read()->has_value());
  EXPECT_EQ(ix.wal_bytes.load(), 0u);
  EXPECT_FALSE(ix.wal_damaged.load());
  EXPECT_EQ(ix.durability_interval.load(), 1u);
  EXPECT_FALSE(ix.locks().wal.lock()->valid());
  EXPECT_EQ(ix.live_count(), 10u);
}

TEST(Open, FormatVersionsAndRotationLayout) {
  // dim 300: pad 320 in the new layout, 512 in the legacy one.
  struct Case {
    std::optional<uint32_t> version;  // none: no format.bin
    uint64_t manifest_pad_version;    // version whose layout the manifest pad follows
    std::string error;                // "" = opens
  };
  const std::vector<Case> cases = {
      {3, 3, ""},
      {2, 2, ""},
      {std::nullopt, 1, ""},
      {0, 1, ""},
      {std::nullopt, 3,
       "corrupt index: rotator pad 512 != manifest pad 320 (on-disk format version 1 does not match the codes)"},
      {0, 3, "corrupt index: rotator pad 512 != manifest pad 320 (on-disk format version 0 does not match the codes)"},
      {2, 1, "corrupt index: rotator pad 320 != manifest pad 512 (on-disk format version 2 does not match the codes)"},
  };
  for (const auto& c : cases) {
    TempDir d;
    SegmentSpec s;
    s.dim = 300;
    s.ids = tandrel_test::make_ids(3);
    s.format_version = static_cast<uint32_t>(c.manifest_pad_version);
    tandrel_test::write_segment(d.path(), s);
    std::filesystem::remove(d.file("format.bin"));
    if (c.version) {
      ASSERT_TRUE(storage::write_format_version_as(d.path(), *c.version).ok());
    }
    auto r = open(d.path());
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_EQ((*r)->format_version, c.version.value_or(1));
      EXPECT_EQ((*r)->rotator.new_layout, c.version.value_or(1) >= 2);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_EQ(r.error().text(), c.error);
    }
  }
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(3);
  tandrel_test::write_segment(d.path(), s);
  ASSERT_TRUE(storage::write_format_version_as(d.path(), 4).ok());
  auto r = open(d.path());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(r.error().text(), "index at " + storage::quoted_path(d.path()) +
                                  " was written by a newer Tandrel (on-disk format v4 > supported v3); upgrade "
                                  "Tandrel to open it");
}

TEST(Open, EmptySegmentAndMissingDirectory) {
  TempDir d;
  SegmentSpec s;
  tandrel_test::write_segment(d.path(), s);
  EXPECT_EQ(std::filesystem::file_size(d.file("ids_off.bin")), 8u);
  EXPECT_EQ(std::filesystem::file_size(d.file("idhash.bin")), 0u);
  auto [r, err] = open_capture(d.path());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(err, "");
  EXPECT_TRUE((*r)->idhash_bin.has_value());
  EXPECT_EQ((*r)->live_count(), 0u);

  const uint64_t before = index::OPEN_COUNT.load();
  auto missing = open(d.file("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(index::OPEN_COUNT.load(), before + 1);  // failed opens count too
}

// ---------------------------------------------------------------------------------------
// Corruption matrix
// ---------------------------------------------------------------------------------------

namespace {

enum class Damage { Missing, Empty, Truncated, Longer, WrongMagic, CrcFlip, Garbage };
const char* damage_name(Damage x) {
  switch (x) {
    case Damage::Missing: return "missing";
    case Damage::Empty: return "empty";
    case Damage::Truncated: return "truncated";
    case Damage::Longer: return "longer";
    case Damage::WrongMagic: return "wrong-magic";
    case Damage::CrcFlip: return "crc-flip";
    case Damage::Garbage: return "garbage";
  }
  return "?";
}
const Damage kAllDamage[] = {Damage::Missing,    Damage::Empty,   Damage::Truncated, Damage::Longer,
                             Damage::WrongMagic, Damage::CrcFlip, Damage::Garbage};

bool is_framed(const std::string& f) {
  return f == "manifest.bin" || f == "crcs.bin" || f == "delta.bin" || f == "deleted.bin";
}

// Applies the damage. Framed files: wrong magic flips byte 0, crc-flip flips a CRC byte,
// garbage replaces the body by 0xFF bytes with a valid CRC (so only decoding fails).
// format.bin: garbage stores version 0x11223344 with a valid CRC. Data files: wrong magic
// flips byte 0, crc-flip flips the last byte, garbage XORs every byte with 0x5A.
void apply(const TempDir& d, const std::string& f, Damage x) {
  const std::string path = d.file(f);
  std::vector<uint8_t> b = tandrel_test::read_all(path);
  switch (x) {
    case Damage::Missing: std::filesystem::remove(path); return;
    case Damage::Empty: b.clear(); break;
    case Damage::Truncated: b.pop_back(); break;
    case Damage::Longer: b.push_back(0); break;
    case Damage::WrongMagic: b[0] ^= 0x20; break;
    case Damage::CrcFlip:
      if (is_framed(f) || f == "format.bin") b[4] ^= 1;
      else b.back() ^= 0x80;
      break;
    case Damage::Garbage:
      if (is_framed(f)) {
        std::vector<uint8_t> body(b.size() - 8, 0xFF);
        b = storage::frame_bytes(std::string_view(reinterpret_cast<const char*>(b.data()), 4), body);
      } else if (f == "format.bin") {
        b.resize(8);
        storage::append_u32(b, 0x11223344u);
        storage::store_u32(b.data() + 4, storage::crc32(b.data() + 8, 4));
      } else {
        for (auto& c : b) c ^= 0x5A;
      }
      break;
  }
  tandrel_test::write_all(path, b);
}

struct Expect {
  bool opens = false;
  ErrorKind kind = ErrorKind::InvalidData;
  std::string text;     // the error text when it does not open
  std::string warning;  // the whole of standard error when it opens
};

Expect fails(std::string text, ErrorKind kind = ErrorKind::InvalidData) { return {false, kind, std::move(text), ""}; }
Expect opens(std::string warning = "") { return {true, ErrorKind::InvalidData, "", std::move(warning)}; }

}  // namespace

TEST(Open, CorruptionMatrix) {
  TempDir base;
  const SegmentSpec spec = full_spec();
  tandrel_test::write_segment(base.path(), spec);
  const auto table = *storage::read_file_crcs(base.file("crcs.bin"));
  const std::vector<std::string> files = {
      "format.bin", "manifest.bin", "crcs.bin", "codes.bin",  "metas.bin",    "orig.bin",   "origscale.bin",
      "num_0.bin",  "str_0.bin",    "ids.bin",  "ids_off.bin", "idhash.bin", "meta.bin",   "meta_off.bin",
      "sparse.bin", "deleted.bin",  "delta.bin"};
  const std::string structure = "corrupt index: manifest structure inconsistent (offsets/centroids/ids)";

  for (const std::string& f : files) {
    for (Damage x : kAllDamage) {
      SCOPED_TRACE(f + " " + damage_name(x));
      TempDir d;
      for (const auto& e : std::filesystem::directory_iterator(base.path()))
        std::filesystem::copy_file(e.path(), d.file(e.path().filename().string()));
      const std::string q = storage::quoted_path(d.path());
      apply(d, f, x);
      const std::vector<uint8_t> now = tandrel_test::read_all(d.file(f));
      const uint64_t len = now.size();
      std::span<const uint8_t> body(now.data() + std::min<size_t>(8, now.size()), now.size() - std::min<size_t>(8, now.size()));
      auto crc_mismatch = [&] {
        char buf[200];
        std::snprintf(buf, sizeof buf, "content CRC mismatch (got %08x, want %08x)", storage::crc32(now.data(), now.size()),
                      table.at(f));
        return fails("corrupt index: " + f + " " + buf +
                     " \u2014 at-rest bit-rot; refusing to serve wrong results");
      };
      auto size_msg = [&](uint64_t want) {
        return fails("corrupt index: " + f + " is " + std::to_string(len) + " bytes, expected " + std::to_string(want));
      };
      const bool size_damage = x == Damage::Empty || x == Damage::Truncated || x == Damage::Longer;
      Expect e;
      if (f == "format.bin") {
        if (x == Damage::Missing) e = opens();
        else if (x == Damage::CrcFlip) e = fails("corrupt index: format.bin checksum mismatch");
        else if (x == Damage::Garbage)
          e = fails("index at " + q +
                    " was written by a newer Tandrel (on-disk format v287454020 > supported v3); upgrade Tandrel to "
                    "open it");
        else e = fails("corrupt index: format.bin bad header (truncated/tampered version marker)");
      } else if (f == "manifest.bin") {
        if (x == Damage::Missing) e = fails(os_text(ENOENT), ErrorKind::NotFound);
        else if (x == Damage::Empty || x == Damage::WrongMagic) e = fails("corrupt index: bad manifest header (missing magic)");
        else if (x == Damage::Garbage) e = fails(storage::decode_manifest(body).error().text());
        else e = fails("corrupt index: manifest.bin checksum mismatch");
      } else if (f == "crcs.bin") {
        if (x == Damage::Missing) e = opens();
        else if (x == Damage::Garbage)
          e = fails("corrupt index: crcs.bin body undeserializable (" + storage::decode_file_crcs(body).error().text() +
                    ") \u2014 refusing to open (would silently disable at-rest CRC verification)");
        else
          e = fails("corrupt index: crcs.bin failed magic+CRC \u2014 refusing to open (would silently disable at-rest "
                    "CRC verification); restore from backup or run repair");
      } else if (f == "codes.bin" || f == "metas.bin" || f == "orig.bin" || f == "origscale.bin" || f == "num_0.bin" ||
                 f == "str_0.bin") {
        const uint64_t want = f == "codes.bin" ? 80 : f == "metas.bin" ? 160 : f == "orig.bin" ? 80
                              : f == "origscale.bin" ? 80 : f == "num_0.bin" ? 80 : 40;
        // A missing origscale.bin is an allowed absence for the open, but the file is recorded
        // in crcs.bin, so verification refuses it.
        if (x == Damage::Missing && f == "origscale.bin") {
          e = fails("corrupt index: recorded file origscale.bin is unreadable (" + os_text(ENOENT) + ")");
        } else if (x == Damage::Missing) e = fails(os_text(ENOENT), ErrorKind::NotFound);
        else if (size_damage) e = size_msg(want);
        else e = crc_mismatch();
      } else if (f == "ids.bin") {
        if (x == Damage::Missing) e = fails(structure);
        else if (size_damage) e = fails("corrupt index: ids_off.bin offsets inconsistent");
        else e = crc_mismatch();
      } else if (f == "ids_off.bin") {
        if (x == Damage::Missing || size_damage) e = fails(structure);
        else e = fails("corrupt index: ids_off.bin offsets inconsistent");
      } else if (f == "idhash.bin") {
        // A copy whose shape is kept is used, so its checksum is verified like the others.
        if (x == Damage::Missing) e = opens();
        else if (x == Damage::WrongMagic) e = crc_mismatch();
        else if (size_damage) e = opens("Tandrel: idhash.bin at " + q + " wrong length \u2014 rebuilding id map from ids\n");
        else e = opens("Tandrel: idhash.bin at " + q + " endpoints inconsistent \u2014 rebuilding id map from ids\n");
      } else if (f == "meta.bin") {
        if (size_damage)
          e = opens("Tandrel: meta_off.bin at " + q + " has inconsistent offsets \u2014 reconstructing metadata from columns\n");
        else e = opens();
      } else if (f == "meta_off.bin") {
        if (x == Damage::Missing || size_damage) e = opens();
        else
          e = opens("Tandrel: meta_off.bin at " + q + " has inconsistent offsets \u2014 reconstructing metadata from columns\n");
      } else if (f == "sparse.bin") {
        if (x == Damage::Missing || x == Damage::CrcFlip) e = opens();
        else e = opens("Tandrel: sparse.bin at " + q + " is malformed \u2014 ignoring (sparse search degraded)\n");
      } else if (f == "deleted.bin") {
        if (x == Damage::Missing) e = opens();
        else if (x == Damage::Garbage)
          e = fails("corrupt index: deleted.bin body undeserializable (" +
                    storage::Tombstones::deserialize(body).error().text() +
                    ") \u2014 refusing to open to avoid resurrecting deleted rows");
        else
          e = fails("corrupt index: deleted.bin failed magic+CRC (tombstone data corrupted) \u2014 refusing to open to "
                    "avoid resurrecting deleted/superseded rows; restore from backup or run repair");
      } else if (f == "delta.bin") {
        // Without the delta rows, the tombstone on slot 11 has no row to come back to.
        if (x == Damage::Missing)
          e = fails("corrupt index: deleted.bin tombstones rows the WAL replay does not recreate (stale/foreign "
                    "tombstones, or a WAL damaged during a checkpoint) \u2014 refusing to open");
        else if (x == Damage::Garbage)
          e = fails("corrupt index: delta.bin body undeserializable (" + storage::decode_delta(body).error().text() +
                    ") \u2014 refusing to open to avoid losing un-checkpointed adds");
        else
          e = fails("corrupt index: delta.bin failed magic+CRC (un-checkpointed adds corrupted) \u2014 refusing to "
                    "open; restore from backup or run repair");
      }

      auto [r, err] = open_capture(d.path());
      if (e.opens) {
        ASSERT_TRUE(r.ok()) << r.error().text();
        EXPECT_EQ(err, e.warning);
        const IvfIndex& ix = **r;
        if (f == "idhash.bin" && x != Damage::Missing && x != Damage::WrongMagic) {
          EXPECT_FALSE(ix.idhash_bin);
        }
        if (f == "idhash.bin" && x != Damage::WrongMagic) {
          // The fallback id map holds every main id.
          EXPECT_EQ(ix.locks().id_map.read()->size(), 12u);
          EXPECT_EQ(ix.slot_of("id7"), 7u);
        }
        if ((f == "meta.bin" && size_damage) || (f == "meta_off.bin" && x != Damage::Missing)) {
          EXPECT_FALSE(ix.meta_bin);
          EXPECT_FALSE(ix.meta_off_bin);
        }
        if (f == "sparse.bin" && x != Damage::CrcFlip) {
          EXPECT_FALSE(ix.sparse_bin);
          EXPECT_TRUE(ix.sparse_terms.empty());
          EXPECT_EQ(ix.sparse_base, 0u);
        }
        if (f == "crcs.bin") {
          EXPECT_TRUE(ix.file_crcs.empty());
        }
        if (f == "deleted.bin") {
          EXPECT_TRUE(ix.locks().tombstones.read()->empty());
        }
        if (f == "format.bin") {
          EXPECT_EQ(ix.format_version, 1u);
        }
      } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), e.kind);
        EXPECT_EQ(r.error().text(), e.text);
        EXPECT_EQ(err, "");
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Structure checks, delta upgrade, tombstone reconciliation, overflow of size products
// ---------------------------------------------------------------------------------------

namespace {

// Rewrites manifest.bin after `edit` (crcs.bin does not cover it).
void edit_manifest(const TempDir& d, const std::function<void(storage::Manifest&)>& edit) {
  auto body = storage::read_manifest_bin(d.file("manifest.bin"));
  ASSERT_TRUE(body.ok());
  auto m = storage::decode_manifest(*body);
  ASSERT_TRUE(m.ok());
  edit(*m);
  ASSERT_TRUE(storage::write_manifest_bin(d.file("manifest.bin"), *m).ok());
}


}  // namespace

TEST(Open, ManifestStructureAndHugeSizes) {
  const std::string structure = "corrupt index: manifest structure inconsistent (offsets/centroids/ids)";
  struct Case {
    const char* what;
    std::function<void(storage::Manifest&)> edit;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"offsets short", [](auto& m) { m.offsets.pop_back(); }, structure},
      {"offsets decreasing", [](auto& m) { m.offsets[1] = 9, m.offsets[2] = 3; }, structure},
      {"offsets end", [](auto& m) { m.offsets.back() = 9; }, structure},
      {"centroids short", [](auto& m) { m.centroids.pop_back(); }, structure},
      {"ids beside the pair", [](auto& m) { m.ids = tandrel_test::make_ids(10); }, structure},
      {"n_bits 9", [](auto& m) { m.n_bits = 9; }, "corrupt index: codes.bin is 80 bytes, expected 720"},
      {"n_bits 0", [](auto& m) { m.n_bits = 0; }, "corrupt index: codes.bin is 80 bytes, expected 0"},
      // Products that overflow 64 bits are reported with their exact value.
      {"huge n", [](auto& m) { m.n = 4294967295u; m.n_bits = 4294967295u; m.words_per_plane = 4294967295u; },
       "corrupt index: codes.bin is 80 bytes, expected 633825299671392843082401579000"},
      {"huge dim", [](auto& m) { m.dim = 4294967232u; m.pad = 4294967232u; },
       structure},
      {"dim 0", [](auto& m) { m.dim = 0; }, structure},
      {"words x 64 != pad", [](auto& m) { m.words_per_plane = 2; }, "corrupt index: codes.bin is 80 bytes, expected 160"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(10);
    tandrel_test::write_segment(d.path(), s);
    edit_manifest(d, c.edit);
    auto r = open(d.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), c.error);
  }
}

TEST(Open, IdPairShapes) {
  {
    // ids_off.bin one entry short: both id files dropped silently; the manifest then needs
    // the ids itself.
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(5);
    tandrel_test::write_segment(d.path(), s);
    auto off = tandrel_test::read_all(d.file("ids_off.bin"));
    off.resize(off.size() - 8);
    tandrel_test::write_all(d.file("ids_off.bin"), off);
    auto r = open(d.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "corrupt index: manifest structure inconsistent (offsets/centroids/ids)");
    edit_manifest(d, [&](auto& m) { m.ids = s.ids; });
    std::filesystem::remove(d.file("crcs.bin"));
    auto [r2, err] = open_capture(d.path());
    ASSERT_TRUE(r2.ok()) << r2.error().text();
    EXPECT_EQ(err, "");
    EXPECT_FALSE((*r2)->ids_bin);
    EXPECT_EQ((*r2)->ext_of(3), "id3");
  }
  {
    // Without idhash.bin the id map is built from ids.bin and every id's range is checked.
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(5);
    s.idhash = false;
    s.crcs = false;
    tandrel_test::write_segment(d.path(), s);
    auto off = tandrel_test::read_all(d.file("ids_off.bin"));
    storage::store_u64(off.data() + 16, 1000);  // offset 2 beyond ids.bin
    tandrel_test::write_all(d.file("ids_off.bin"), off);
    auto r = open(d.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "corrupt index: ids_off.bin offsets are out of range \u2014 refusing to open");
  }
}

TEST(Open, DeltaUpgradeAndStructure) {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(4);
  s.metas = {"{\"a\":1}", "{\"a\":2}", "{\"b\":\"x\"}", "{}"};
  const std::string bad =
      "corrupt index: delta.bin is structurally inconsistent with the manifest (stale/foreign delta) \u2014 refusing "
      "to open";
  {
    // An older delta with dim rerank bytes per row gains a 0 exponent byte per row.
    TempDir d;
    storage::Delta delta = tandrel_test::make_delta(s, {"x", "y"});
    std::vector<uint8_t> old;
    for (size_t r = 0; r < 2; ++r)
      old.insert(old.end(), delta.rerank.begin() + r * 9, delta.rerank.begin() + r * 9 + 8);
    auto expect = delta.rerank;
    expect[8] = 0;
    expect[17] = 0;
    delta.rerank = old;
    s.delta = delta;
    tandrel_test::write_segment(d.path(), s);
    auto r = open(d.path());
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ((*r)->locks().delta.read()->rerank, expect);
  }
  struct Case {
    const char* what;
    std::function<void(storage::Delta&)> edit;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"valid", [](auto&) {}, true},
      {"clusters short", [](auto& d) { d.clusters.pop_back(); }, false},
      {"cluster out of range", [](auto& d) { d.clusters[0] = 2; }, false},
      {"codes short", [](auto& d) { d.codes.pop_back(); }, false},
      {"factors long", [](auto& d) { d.factors.push_back(0); }, false},
      {"meta partial", [](auto& d) { d.meta = {"{}"}; }, false},
      {"sparse partial", [](auto& d) { d.sparse.resize(1); }, false},
      {"extra numeric list", [](auto& d) { d.num_cols.push_back({1.0, 2.0}); }, false},
      {"string column short", [](auto& d) { d.str_cols[0].pop_back(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir d;
    storage::Delta delta = tandrel_test::make_delta(s, {"x", "y"});
    c.edit(delta);
    s.delta = delta;
    tandrel_test::write_segment(d.path(), s);
    auto r = open(d.path());
    EXPECT_EQ(r.ok(), c.ok);
    if (!c.ok && !r.ok()) {
      EXPECT_EQ(r.error().text(), bad);
    }
  }
  {
    // With zero delta rows the column list counts are not checked, but every list must be
    // empty: values left in one would be read as those of the rows added next.
    const std::string frame =
        "corrupt index: delta.bin failed magic+CRC (un-checkpointed adds corrupted) \u2014 refusing to open; "
        "restore from backup or run repair";
    struct Empty {
      const char* what;
      std::vector<std::vector<double>> num;
      std::vector<std::vector<uint32_t>> str;
      bool ok;
    };
    const std::vector<Empty> empties = {
        {"three empty numeric lists", {{}, {}, {}}, {}, true},
        {"empty lists of both kinds", {{}}, {{}, {}}, true},
        {"a numeric value", {{}, {1000.0}}, {}, false},
        {"a string code", {{}}, {{}, {0, 1}}, false},
    };
    for (const auto& c : empties) {
      SCOPED_TRACE(c.what);
      TempDir d;
      storage::Delta delta;
      delta.num_cols = c.num;
      delta.str_cols = c.str;
      s.delta = delta;
      tandrel_test::write_segment(d.path(), s);
      auto r = open(d.path());
      ASSERT_EQ(r.ok(), c.ok);
      if (!c.ok) {
        EXPECT_EQ(r.error().text(), frame);
      }
    }
  }
}

TEST(Open, RowCountAtTheSlotLimit) {
  // A segment of 4294967294 main rows (sparse files of zeros; nothing is read from them):
  // it opens, but one delta row would bring the row count to 4294967295, which is never a
  // slot, so such a delta is refused.
  const uint64_t n = 4294967294u;
  for (bool with_delta_row : {false, true}) {
    SCOPED_TRACE(with_delta_row);
    TempDir d;
    SegmentSpec s;
    s.dim = 1;
    s.n_clusters = 1;
    s.origscale = false;
    s.crcs = false;
    if (with_delta_row) s.delta = tandrel_test::make_delta(s, {"x"});
    tandrel_test::write_segment(d.path(), s);
    edit_manifest(d, [&](auto& m) {
      m.n = n;
      m.offsets = {0, static_cast<uint32_t>(n)};
    });
    for (auto [f, size] : {std::pair<const char*, uint64_t>{"codes.bin", 8 * n}, {"metas.bin", 16 * n},
                           {"orig.bin", n}, {"ids_off.bin", 8 * (n + 1)}, {"idhash.bin", 12 * n}}) {
      if (::truncate(d.file(f).c_str(), static_cast<off_t>(size)) != 0) GTEST_SKIP() << "no sparse files here";
    }
    auto r = open(d.path());
    if (with_delta_row) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().text(),
                "corrupt index: delta.bin is structurally inconsistent with the manifest (stale/foreign delta) "
                "\u2014 refusing to open");
    } else {
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_EQ((*r)->live_count(), n);
    }
  }
}

TEST(Open, TombstoneReconciliation) {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(4);
  s.delta = tandrel_test::make_delta(s, {"x"});
  struct Case {
    std::vector<uint32_t> tombs;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{0, 4}, ""},
      // Slot 5 would belong to a row only the (empty) log could recreate.
      {{0, 5},
       "corrupt index: deleted.bin tombstones rows the WAL replay does not recreate (stale/foreign tombstones, or a "
       "WAL damaged during a checkpoint) \u2014 refusing to open"},
  };
  for (const auto& c : cases) {
    TempDir d;
    s.tombstones = c.tombs;
    tandrel_test::write_segment(d.path(), s);
    auto r = open(d.path());
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_EQ((*r)->locks().tombstones.read()->to_vector(), c.tombs);
      EXPECT_EQ((*r)->live_count(), 3u);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_EQ(r.error().text(), c.error);
    }
  }
}

TEST(Open, UnreadableControlFilesFailWithTheSystemError) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  for (const char* f : {"deleted.bin", "delta.bin", "crcs.bin", "codes.bin"}) {
    SCOPED_TRACE(f);
    TempDir d;
    SegmentSpec s = full_spec();
    tandrel_test::write_segment(d.path(), s);
    ASSERT_EQ(::chmod(d.file(f).c_str(), 0), 0);
    auto r = open(d.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::PermissionDenied);
  }
}

TEST(Open, IdOnBothSidesMapsToItsDeltaSlot) {
  for (bool idhash : {true, false}) {
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(4);
    s.idhash = idhash;
    s.delta = tandrel_test::make_delta(s, {"id2", "new"});
    tandrel_test::write_segment(d.path(), s);
    auto r = open(d.path());
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ((*r)->slot_of("id2"), 4u);
    EXPECT_EQ((*r)->slot_of("new"), 5u);
    EXPECT_EQ((*r)->slot_of("id1"), 1u);
  }
}

TEST(Open, LegacySegmentWithoutOptionalFiles) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(6);
  s.format_version = std::nullopt;
  s.crcs = false;
  s.origscale = false;
  s.ids_files = false;
  s.idhash = false;
  tandrel_test::write_segment(d.path(), s);
  auto [r, err] = open_capture(d.path());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(err, "");
  const IvfIndex& ix = **r;
  EXPECT_EQ(ix.format_version, 1u);
  EXPECT_FALSE(ix.rotator.new_layout);
  EXPECT_FALSE(ix.origscale_bin || ix.ids_bin || ix.ids_off_bin || ix.idhash_bin || ix.meta_bin || ix.sparse_bin);
  EXPECT_TRUE(ix.file_crcs.empty());
  EXPECT_EQ(ix.locks().id_map.read()->size(), 6u);
  EXPECT_EQ(ix.slot_of("id4"), 4u);
  EXPECT_EQ(ix.ext_of(5), "id5");
}

TEST(Open, ControlFileThatIsADirectoryFailsWithTheReadError) {
  for (const char* f : {"deleted.bin", "delta.bin", "crcs.bin"}) {
    SCOPED_TRACE(f);
    TempDir d;
    tandrel_test::write_segment(d.path(), full_spec());
    std::filesystem::remove(d.file(f));
    std::filesystem::create_directory(d.file(f));
    auto r = open(d.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::IsADirectory);
    EXPECT_EQ(r.error().text(), os_text(EISDIR));
  }
}

TEST(Open, SparseTermTable) {
  auto build = [](uint64_t t, std::vector<std::pair<uint32_t, uint32_t>> entries, uint64_t postings, int extra = 0) {
    std::vector<uint8_t> b;
    storage::append_u64(b, t);
    for (auto [term, count] : entries) {
      storage::append_u32(b, term);
      storage::append_u32(b, count);
    }
    b.resize(b.size() + 8 * postings + extra);
    return b;
  };
  index::SparseTerms terms;
  // Well formed; a repeated term keeps its later entry.
  auto ok = index::parse_sparse_terms(build(3, {{2, 2}, {7, 1}, {2, 3}}, 6), terms);
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 32u);
  EXPECT_EQ(terms.size(), 2u);
  EXPECT_EQ(terms.at(2), (index::SparseSpan{3, 3}));
  EXPECT_EQ(terms.at(7), (index::SparseSpan{2, 1}));
  EXPECT_EQ(index::parse_sparse_terms(build(0, {}, 0), terms), std::optional<size_t>(8));
  // Malformed: one byte longer or shorter, short header, a term count whose table cannot fit
  // (checked without overflow), counts whose postings would overflow the length arithmetic.
  EXPECT_FALSE(index::parse_sparse_terms(build(1, {{1, 1}}, 1, 1), terms));
  EXPECT_TRUE(terms.empty());
  EXPECT_FALSE(index::parse_sparse_terms(build(1, {{1, 2}}, 1), terms));
  EXPECT_FALSE(index::parse_sparse_terms(std::vector<uint8_t>(7, 0), terms));
  EXPECT_FALSE(index::parse_sparse_terms(build(uint64_t{1} << 61, {}, 0), terms));
  EXPECT_FALSE(index::parse_sparse_terms(build(~uint64_t{0}, {{1, 1}}, 0), terms));
  EXPECT_FALSE(index::parse_sparse_terms(build(2, {{1, 0xFFFFFFFFu}, {2, 0xFFFFFFFFu}}, 0), terms));
}
