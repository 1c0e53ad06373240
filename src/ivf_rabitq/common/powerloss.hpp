// A power-loss model for crash tests. While recording, every successful fsync/fdatasync of
// the file-operations seam under a chosen root directory copies what it made durable into a
// journal directory: the bytes of a synced file, or the entries of a synced directory. After
// the process is killed, `restore` rebuilds the root from the journal alone: a directory
// holds only the entries it had at its last fsync, a file only the bytes it had at its last
// fsync/fdatasync (nothing, if it was never synced). Everything else the kernel would have
// lost in a power cut is dropped. With a tear seed, each file that had unsynced bytes past
// its durable length keeps a random prefix (under one 4 KiB block) of them: a torn last block.
//
// Inodes are told apart across reuse by a life count that rises when the last name of a
// file or directory is removed. Only test builds start the recorder; otherwise every hook is
// one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq::powerloss {

namespace detail {
extern std::atomic<bool> g_recording;
}

inline bool recording() { return detail::g_recording.load(std::memory_order_relaxed); }

// Starts recording: everything under `root` now counts as durable (a snapshot goes into
// `journal`, an empty directory outside root).
Status start(const std::string& root, const std::string& journal);

// Hooks of the seam (call only while recording()).
void after_sync(int fd);
// Around an unlink, rename (of the entry it replaces), or rmdir of `path`: the token says
// whether the inode loses its last name; `after_remove` bumps its life when the call succeeded.
struct RemoveToken {
  bool last_name = false;
  uint64_t ino = 0;
};
RemoveToken before_remove(const char* path);
void after_remove(const RemoveToken& t);

// Rebuilds `root` as a power cut would have left it (no recorder may be running on it).
// torn_seed 0: no torn tails.
Status restore(const std::string& root, const std::string& journal, uint64_t torn_seed);

}  // namespace ivf_rabitq::powerloss
