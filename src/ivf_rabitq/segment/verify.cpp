// Open-time checksum verification of the bulk files recorded in crcs.bin, and the
// process-wide byte budget that bounds it (TANDREL_VERIFY_MAX_BYTES, read once).
#include "ivf_rabitq/segment/verify.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>

#include "ivf_rabitq/common/env.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::segment {

namespace {

constexpr uint64_t kDefaultVerifyBudget = 67108864;  // 64 MiB

// Whether a recorded file name is one of the files checked at open. idhash.bin is checked
// only while the open uses it: a copy dropped for its shape is never consulted.
bool selected_for_open_check(std::string_view name, bool check_idhash) {
  if (name == storage::kIdHashFile) return check_idhash;
  return name == storage::kCodesFile || name == storage::kMetasFile || name == storage::kOrigFile ||
         name == storage::kOrigScaleFile || name == storage::kIdsFile || name == storage::kIdsOffFile ||
         name.starts_with(storage::kNumColumnPrefix) || name.starts_with(storage::kStrColumnPrefix);
}

// Whether a recorded file name is a data file the maintenance paths read from (through the
// open segment): everything the open checks, and the files it only checks for shape.
bool selected_for_maintenance_check(std::string_view name) {
  return selected_for_open_check(name, true) || name == storage::kMetaFile || name == storage::kMetaOffFile ||
         name == storage::kSparseFile;
}

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// CRC-32 of a whole regular file, streamed through `buf`. The file is opened without
// following a symbolic link and without blocking (a FIFO in place of a data file must
// not hang the open), and must be a regular file, by the rule the open's mapping uses
// (storage::require_regular_file): a directory is the system's EISDIR error, any other
// type "not a regular file".
Result<uint32_t> crc32_regular_file(const std::string& path, std::span<uint8_t> buf) {
  return storage::crc32_file_with_buffer(path, buf, storage::Links::NoFollow);
}

}  // namespace

uint64_t parse_verify_budget(const char* value) {
  const auto t = env::trimmed(env::view(value));
  if (!t) return kDefaultVerifyBudget;
  return env::parse_unsigned(*t).value_or(kDefaultVerifyBudget);
}

uint64_t read_env() { return parse_verify_budget(std::getenv("TANDREL_VERIFY_MAX_BYTES")); }

uint64_t verify_open_budget() {
  // A function-local static is initialised exactly once; concurrent first callers wait.
  static const uint64_t CACHE = read_env();
  return CACHE;
}

namespace {

// The checking loop shared by the open and the maintenance paths: the recorded names that
// `selected` accepts, in byte order, each recomputed and compared; the first failure ends it.
// A file longer than `budget` is skipped; so is a missing one when `missing_ok`.
template <class Select>
Status verify_selected(const std::string& dir, const std::unordered_map<std::string, uint32_t>& file_crcs,
                       uint64_t budget, bool missing_ok, Select&& selected) {
  if (file_crcs.empty()) return {};
  std::vector<const std::pair<const std::string, uint32_t>*> entries;
  entries.reserve(file_crcs.size());
  for (const auto& e : file_crcs) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
  std::unique_ptr<uint8_t[]> buf;  // made by the first file that is read
  for (const auto* e : entries) {
    const std::string& name = e->first;
    if (!selected(name)) continue;
    // A recorded name is only ever joined to the directory when it is a single plain
    // path component; anything else could reach outside the segment.
    if (!segment::detail::is_plain_file_name(name)) {
      return invalid_data("corrupt index: recorded file " + name + " is unreadable (not a plain file name)");
    }
    const std::string path = storage::join_path(dir, name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      const IoError err = IoError::last_os();
      if (missing_ok && err.os_code() == ENOENT) continue;
      return invalid_data("corrupt index: recorded file " + name + " is unreadable (" + err.text() + ")");
    }
    const uint64_t len = static_cast<uint64_t>(st.st_size);
    if (len > budget) continue;
    if (!buf) buf = std::make_unique<uint8_t[]>(storage::kCrcBufSize);  // zero-filled, then reused
    Result<uint32_t> crc = crc32_regular_file(path, std::span<uint8_t>(buf.get(), storage::kCrcBufSize));
    if (!crc.ok()) {
      return invalid_data("corrupt index: " + name + " unreadable (" + crc.error().text() + ")");
    }
    if (*crc != e->second) {
      return invalid_data("corrupt index: " + name + " content CRC mismatch (got " + hex8(*crc) + ", want " +
                          hex8(e->second) +
                          ") \xE2\x80\x94 at-rest bit-rot; refusing to serve wrong results");
    }
  }
  return {};
}

}  // namespace

Status verify_files_under(const std::string& dir, const std::unordered_map<std::string, uint32_t>& file_crcs,
                          uint64_t budget, bool check_idhash) {
  return verify_selected(dir, file_crcs, budget, false,
                         [&](std::string_view name) { return selected_for_open_check(name, check_idhash); });
}

Status verify_data_files(const std::string& dir, const std::unordered_map<std::string, uint32_t>& file_crcs) {
  return verify_selected(dir, file_crcs, UINT64_MAX, true, selected_for_maintenance_check);
}

Result<uint32_t> crc32_recorded_file(const std::string& dir, const std::string& name, std::span<uint8_t> buf) {
  if (!segment::detail::is_plain_file_name(name)) return invalid_input("not a plain file name");
  return crc32_regular_file(storage::join_path(dir, name), buf);
}

}  // namespace ivf_rabitq::segment

namespace ivf_rabitq::index {

Status IvfIndex::verify_under(uint64_t budget) const {
  return segment::verify_files_under(dir, file_crcs, budget, idhash_bin.has_value());
}

Status IvfIndex::verify_sources() const { return segment::verify_data_files(dir, file_crcs); }

}  // namespace ivf_rabitq::index
