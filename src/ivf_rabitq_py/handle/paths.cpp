#include "ivf_rabitq_py/handle/paths.hpp"

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/common/utf8.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <vector>

namespace ivf_rabitq_py {

namespace {

enum class CompKind : uint8_t { Normal, CurDir, ParentDir };
struct Comp {
  size_t begin, end;
  CompKind kind;
};

// Splits a path into components the way path parsing usually does: repeated separators
// collapse, "." components vanish except a leading one in a relative path.
std::vector<Comp> components(const std::string& s, bool* has_root) {
  std::vector<Comp> out;
  *has_root = !s.empty() && s[0] == '/';
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == '/') ++i;
    if (i >= s.size()) break;
    size_t j = i;
    while (j < s.size() && s[j] != '/') ++j;
    std::string_view c(s.data() + i, j - i);
    if (c == ".") {
      if (i == 0) out.push_back({i, j, CompKind::CurDir});
    } else if (c == "..") {
      out.push_back({i, j, CompKind::ParentDir});
    } else {
      out.push_back({i, j, CompKind::Normal});
    }
    i = j;
  }
  return out;
}

bool path_exists(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

bool exists_no_follow(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

void remove_tree(const fs::path& p) { ivf_rabitq::fileops::remove_tree(p.c_str()); }

}  // namespace

fs::path parent_of(const fs::path& path, bool* has_parent) {
  const std::string& s = path.native();
  bool root = false;
  std::vector<Comp> comps = components(s, &root);
  if (has_parent) *has_parent = !comps.empty();
  if (comps.empty()) return fs::path();
  if (comps.size() >= 2) return fs::path(s.substr(0, comps[comps.size() - 2].end));
  return root ? fs::path("/") : fs::path();
}

fs::path sibling(const fs::path& path, std::string_view suffix) {
  const std::string& s = path.native();
  bool root = false;
  std::vector<Comp> comps = components(s, &root);
  std::string name;
  if (!comps.empty() && comps.back().kind == CompKind::Normal) {
    const Comp& c = comps.back();
    name = ivf_rabitq::utf8::lossy(std::string_view(s).substr(c.begin, c.end - c.begin));
  }
  name += suffix;
  bool has_parent = false;
  std::string parent = parent_of(path, &has_parent).native();
  if (!has_parent) parent = ".";
  if (parent.empty()) return fs::path(name);
  if (parent.back() != '/') parent.push_back('/');
  return fs::path(parent + name);
}

std::string quote_path(std::string_view text) {
  // Bytes that are not UTF-8 are first replaced, so the message is valid text for Python.
  return ivf_rabitq::storage::quoted_path(ivf_rabitq::utf8::lossy(text));
}

bool has_segment(const fs::path& dir) { return path_exists(dir / ivf_rabitq::storage::kManifestFile); }

ivf_rabitq::Result<bool> manifest_state(const fs::path& dir) {
  struct stat st;
  const fs::path m = dir / ivf_rabitq::storage::kManifestFile;
  if (::stat(m.c_str(), &st) == 0) return true;
  const int e = errno;
  if (e == ENOENT || e == ENOTDIR) return false;
  return ivf_rabitq::IoError::os(e);
}

std::optional<DirId> dir_identity(const fs::path& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return std::nullopt;
  return DirId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

ivf_rabitq::Status recover(const fs::path& path) {
  const fs::path compacting = sibling(path, kCompactingSuffix);
  const fs::path old = sibling(path, kOldSuffix);

  // 1. A staging directory never holds the only copy of anything: the swap renames it into
  //    place only after it is complete.
  remove_tree(compacting);

  // 2. A previous segment left beside `<path>`.
  int move_errno = 0;
  if (path_exists(old)) {
    if (has_segment(path)) {
      remove_tree(old);
    } else if (has_segment(old)) {
      if (exists_no_follow(path)) {
        // Something without a segment is in the way; keep it as `<path>.broken` rather than
        // delete it, and never delete the segment in `.old`.
        if (ivf_rabitq::fileops::rename(path.c_str(), sibling(path, kBrokenSuffix).c_str()) != 0) move_errno = errno;
      }
      if (ivf_rabitq::fileops::rename(old.c_str(), path.c_str()) == 0) {
        (void)ivf_rabitq::storage::sync_parent_dir(path.native());
      } else if (move_errno == 0) {
        move_errno = errno;
      }
    } else {
      remove_tree(old);
    }
  }

  // 3. Temporaries of the atomic file writer, directly inside `<path>`.
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  if (!ec) {
    static constexpr std::string_view kTmp = ".writing.tmp";
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const std::string name = ivf_rabitq::utf8::lossy(it->path().filename().native());
      if (name.size() >= kTmp.size() && name.compare(name.size() - kTmp.size(), kTmp.size(), kTmp) == 0) {
        (void)ivf_rabitq::fileops::unlink(it->path().c_str());
      }
    }
  }

  if (!has_segment(path) && has_segment(old)) {
    const int e = move_errno != 0 ? move_errno : EIO;
    std::string text = "cannot restore the segment " + quote_path(old.native()) + " to " + quote_path(path.native()) +
                       ": " + ivf_rabitq::IoError::os(e).text();
    return ivf_rabitq::IoError::msg(ivf_rabitq::kind_from_errno(e), std::move(text));
  }
  return {};
}

ivf_rabitq::Result<bool> heal_orphaned_compaction(const fs::path& path) {
  TANDREL_ASSIGN(const bool built, manifest_state(path));
  if (built) return true;
  if (has_segment(sibling(path, kOldSuffix))) TANDREL_TRY(recover(path));
  return manifest_state(path);
}

}  // namespace ivf_rabitq_py
