#include "ivf_rabitq/common/powerloss.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ivf_rabitq::powerloss {

namespace detail {
std::atomic<bool> g_recording{false};
}

namespace {

// Plain system calls only: the recorder must not feed back into the seam it observes.

struct Recorder {
  std::mutex mu;
  std::string root;     // real path, no trailing slash
  std::string journal;  // directory of the records
  std::unordered_map<uint64_t, uint64_t> lives;
};

Recorder& rec() {
  static Recorder* r = new Recorder();  // never destroyed: hooks may run during exit
  return *r;
}

Status read_all(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return IoError::last_os();
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      const IoError e = IoError::last_os();
      ::close(fd);
      return e;
    }
    if (r == 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  ::close(fd);
  return {};
}

Status write_all_raw(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return IoError::last_os();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      const IoError e = IoError::last_os();
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(w);
  }
  ::close(fd);
  return {};
}

// A journal record appears whole or not at all, even when the process dies while writing it.
Status put_record(const std::string& name, std::string_view bytes) {
  const std::string path = rec().journal + "/" + name;
  const std::string tmp = path + ".part";
  TANDREL_TRY(write_all_raw(tmp, bytes));
  if (::rename(tmp.c_str(), path.c_str()) != 0) return IoError::last_os();
  return {};
}

std::string record_name(char kind, uint64_t ino, uint64_t life) {
  return std::string(1, kind) + "-" + std::to_string(ino) + "-" + std::to_string(life);
}

uint64_t life_of(uint64_t ino) {
  auto it = rec().lives.find(ino);
  return it == rec().lives.end() ? 0 : it->second;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string_view n(e->d_name);
      if (n != "." && n != "..") names.emplace_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The entries of a directory, one line each: "d|f <ino> <life> <name>". Other file types
// (the tests make none) are left out.
std::string dir_record(const std::string& dir) {
  std::string out;
  for (const std::string& n : list_dir(dir)) {
    struct stat st;
    if (::lstat((dir + "/" + n).c_str(), &st) != 0) continue;
    char type;
    if (S_ISDIR(st.st_mode)) {
      type = 'd';
    } else if (S_ISREG(st.st_mode)) {
      type = 'f';
    } else {
      continue;
    }
    const uint64_t ino = static_cast<uint64_t>(st.st_ino);
    out += type;
    out += ' ' + std::to_string(ino) + ' ' + std::to_string(life_of(ino)) + ' ' + n + '\n';
  }
  return out;
}

Status record_path(const std::string& path, const struct stat& st) {
  const uint64_t ino = static_cast<uint64_t>(st.st_ino);
  if (S_ISDIR(st.st_mode)) return put_record(record_name('d', ino, life_of(ino)), dir_record(path));
  if (!S_ISREG(st.st_mode)) return {};
  std::string bytes;
  TANDREL_TRY(read_all(path, bytes));
  return put_record(record_name('f', ino, life_of(ino)), bytes);
}

Status snapshot_tree(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return IoError::last_os();
  TANDREL_TRY(record_path(dir, st));
  for (const std::string& n : list_dir(dir)) {
    const std::string p = dir + "/" + n;
    struct stat cs;
    if (::lstat(p.c_str(), &cs) != 0) continue;
    if (S_ISDIR(cs.st_mode)) {
      TANDREL_TRY(snapshot_tree(p));
    } else if (S_ISREG(cs.st_mode)) {
      TANDREL_TRY(record_path(p, cs));
    }
  }
  return {};
}

bool under_root(const std::string& path) {
  const std::string& r = rec().root;
  return path == r || (path.size() > r.size() && path.compare(0, r.size(), r) == 0 && path[r.size()] == '/');
}

std::string real_path(const std::string& p) {
  char buf[PATH_MAX];
  if (::realpath(p.c_str(), buf) == nullptr) return p;
  return buf;
}

// ---- restore ----

struct Node {
  std::string name;
  bool dir = false;
  std::string bytes;
  std::vector<Node> children;
};

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void current_files(const std::string& dir, std::unordered_map<uint64_t, std::string>& out) {
  for (const std::string& n : list_dir(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) current_files(p, out);
    else if (S_ISREG(st.st_mode)) out.emplace(static_cast<uint64_t>(st.st_ino), p);
  }
}

Status plan_dir(const std::string& journal, uint64_t ino, uint64_t life, uint64_t torn_seed,
                const std::unordered_map<uint64_t, std::string>& now, std::vector<Node>& out, int depth) {
  if (depth > 64) return other_error("power-loss journal: directories nest too deep");
  std::string text;
  if (!read_all(journal + "/" + record_name('d', ino, life), text).ok()) return {};  // never synced: empty
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) break;
    const std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    const size_t a = line.find(' ', 2);
    const size_t b = line.find(' ', a + 1);
    if (line.size() < 2 || a == std::string::npos || b == std::string::npos) {
      return other_error("power-loss journal: malformed directory record");
    }
    const uint64_t child = std::stoull(line.substr(2, a - 2));
    const uint64_t child_life = std::stoull(line.substr(a + 1, b - a - 1));
    Node node;
    node.name = line.substr(b + 1);
    node.dir = line[0] == 'd';
    if (node.dir) {
      TANDREL_TRY(plan_dir(journal, child, child_life, torn_seed, now, node.children, depth + 1));
    } else {
      (void)read_all(journal + "/" + record_name('f', child, child_life), node.bytes);  // absent: never synced
      auto it = now.find(child);
      if (torn_seed != 0 && it != now.end()) {
        std::string current;
        if (read_all(it->second, current).ok() && current.size() > node.bytes.size()) {
          const size_t extra = std::min<size_t>(current.size() - node.bytes.size(), 4095);
          const size_t keep = static_cast<size_t>(mix(torn_seed ^ mix(child)) % (extra + 1));
          node.bytes.append(current, node.bytes.size(), keep);
        }
      }
    }
    out.push_back(std::move(node));
  }
  return {};
}

void remove_contents(const std::string& dir) {
  for (const std::string& n : list_dir(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      remove_contents(p);
      ::rmdir(p.c_str());
    } else {
      ::unlink(p.c_str());
    }
  }
}

Status materialize(const std::string& dir, const std::vector<Node>& nodes) {
  for (const Node& n : nodes) {
    const std::string p = dir + "/" + n.name;
    if (n.dir) {
      if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return IoError::last_os();
      TANDREL_TRY(materialize(p, n.children));
    } else {
      TANDREL_TRY(write_all_raw(p, n.bytes));
    }
  }
  return {};
}

}  // namespace

Status start(const std::string& root, const std::string& journal) {
  Recorder& r = rec();
  std::lock_guard<std::mutex> lk(r.mu);
  r.root = real_path(root);
  r.journal = real_path(journal);
  r.lives.clear();
  TANDREL_TRY(snapshot_tree(r.root));
  detail::g_recording.store(true, std::memory_order_relaxed);
  return {};
}

void after_sync(int fd) {
  Recorder& r = rec();
  std::lock_guard<std::mutex> lk(r.mu);
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return;
  const std::string path(buf, static_cast<size_t>(n));
  if (!under_root(path)) return;
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  (void)record_path(path, st);
}

RemoveToken before_remove(const char* path) {
  RemoveToken t;
  struct stat st;
  if (::lstat(path, &st) != 0) return t;
  t.ino = static_cast<uint64_t>(st.st_ino);
  t.last_name = S_ISDIR(st.st_mode) || st.st_nlink <= 1;
  return t;
}

void after_remove(const RemoveToken& t) {
  if (!t.last_name) return;
  Recorder& r = rec();
  std::lock_guard<std::mutex> lk(r.mu);
  ++r.lives[t.ino];
}

Status restore(const std::string& root_in, const std::string& journal, uint64_t torn_seed) {
  const std::string root = real_path(root_in);
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) return IoError::last_os();
  std::unordered_map<uint64_t, std::string> now;
  current_files(root, now);
  std::vector<Node> plan;
  TANDREL_TRY(plan_dir(journal, static_cast<uint64_t>(st.st_ino), 0, torn_seed, now, plan, 0));
  remove_contents(root);
  return materialize(root, plan);
}

}  // namespace ivf_rabitq::powerloss
