// Paths beside a segment directory and the repair of an interrupted directory swap.
//
// A segment directory `<path>` is exchanged with a staged one by renames through
// `<path>.compacting` and `<path>.old`; `<path>.broken` keeps a swapped-in directory that
// failed to open; `<path>.lock` is the advisory lock file. A directory holds a segment
// exactly when a status query on its `manifest.bin` succeeds.
//
// Nothing here takes a lock: callers of `recover` and `heal_orphaned_compaction` hold the
// exclusive lock of `<path>.lock` and have released the interpreter lock.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq_py {

namespace fs = std::filesystem;

inline constexpr std::string_view kLockSuffix = ".lock";
inline constexpr std::string_view kCompactingSuffix = ".compacting";
inline constexpr std::string_view kOldSuffix = ".old";
inline constexpr std::string_view kBrokenSuffix = ".broken";

// The path beside `path` named by its last component followed directly by `suffix`, in the
// parent directory of `path`. Trailing separators and trailing "." components are ignored
// ("/data/idx/" and "/data/idx/." give "/data/idx.lock"); a last component that is not a
// normal name (the root, "..", a lone ".") counts as the empty name; the root's parent is
// ".": sibling("/", ".lock") is "./.lock". Invalid UTF-8 in the name is replaced by U+FFFD.
// Pure path arithmetic, no I/O.
fs::path sibling(const fs::path& path, std::string_view suffix);

// The parent of `path` by component (trailing separators and "." ignored): "" for a bare
// relative name, "/" for "/x"; `has_parent` is false for the root and the empty path.
fs::path parent_of(const fs::path& path, bool* has_parent = nullptr);

// The quoted form of a path for messages: between double quotes, with \" \\ \t \r \n \0
// escaped and other non-printable characters as \u{hex}.
std::string quote_path(std::string_view text);

// Whether `dir` holds a segment (a status query on `<dir>/manifest.bin` succeeds).
bool has_segment(const fs::path& dir);

// Whether `dir` holds a segment, telling "not there" from "could not look": a status query
// on `<dir>/manifest.bin` that succeeds gives true, one that fails with ENOENT or ENOTDIR
// false, any other failure (EACCES, EIO, ...) is returned. Decisions that would build or
// write over `<dir>` use this, so an unreadable segment is never taken for an absent one.
ivf_rabitq::Result<bool> manifest_state(const fs::path& dir);

// Identity of a directory: device and inode number of `dir` (symbolic links followed).
struct DirId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const DirId&) const = default;
};
// None when `dir` cannot be queried.
std::optional<DirId> dir_identity(const fs::path& dir);

// Crash clean-up after an interrupted directory swap:
//   1. remove `<path>.compacting` recursively;
//   2. if `<path>.old` exists: when `<path>` holds a segment, remove `.old`; else when `.old`
//      holds a segment, move it back to `<path>` (a `<path>` that exists without a segment is
//      first moved aside to `<path>.broken`, so the rename cannot fail on it and nothing that
//      could be the only good copy is deleted) and fsync the parent; else remove `.old`;
//   3. unlink the atomic writer's temporaries ("*.writing.tmp") directly inside `<path>`.
// Every step ignores its own failures. The result is an error only when a segment is left
// stranded in `<path>.old` while `<path>` holds none: the caller must raise rather than treat
// `<path>` as unbuilt (a later build would otherwise swap over and delete that copy).
ivf_rabitq::Status recover(const fs::path& path);

// True when `<path>` holds a segment, after running `recover` when `<path>` holds none and
// `<path>.old` does. An error when the stranded segment could not be moved back.
ivf_rabitq::Result<bool> heal_orphaned_compaction(const fs::path& path);

}  // namespace ivf_rabitq_py
