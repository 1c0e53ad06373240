// Maintenance of a handle's segment under the exclusive lock of `<path>.lock`: checkpoints
// (`flush`, `sync`), the locked bulk build, and the crash-safe directory swap that installs a
// staged segment in place of a live one.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/live/checkpoint.hpp"
#include "ivf_rabitq/live/group_commit.hpp"
#include "ivf_rabitq/maintain/rebuild.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"

namespace ivf_rabitq_py {

using ivf_rabitq::IoError;
using ivf_rabitq::Result;
using ivf_rabitq::Status;
namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
using ivf_rabitq::index::IvfIndex;
namespace storage = ivf_rabitq::storage;

namespace {

// The exclusive lock of `<path>.lock` taken without the interpreter lock; a failure is an
// OSError carrying the rendered exception ("OSError: ...").
Result<LockFile, PyErrValue> lock_exclusive_raw(const std::filesystem::path& path) {
  auto file = lock_file(path);
  if (!file) return as_os_err_text(file.error());
  LockFile f = std::move(file).value();
  if (Status st = f.lock_exclusive(); !st) return as_os_err_text(io_err(st.error()));
  return f;
}

void remove_tree(const std::filesystem::path& p) { ivf_rabitq::fileops::remove_tree(p.c_str()); }

}  // namespace

// ---- checkpoint ------------------------------------------------------------------------

Status RabitqIndex::checkpoint_locked() {
  IndexPtr held = current();
  bool candidate = false;
  if (held) {
    const DirState seen = read_dir_state(path);
    std::lock_guard<std::mutex> g(generation_m);
    // A different generation or a different directory: the held index is not what `<path>`
    // holds now, and checkpointing it in place would write its rows over another segment.
    candidate = seen == generation;
  }
  TANDREL_ASSIGN(const uint64_t g2, storage::read_generation_for_write(path.native()));
  const uint64_t next = g2 + 1;
  auto bump = [&]() -> Status {
    TANDREL_TRY(storage::write_generation(path.native(), next));
    clear_gen_check();
    return {};
  };

  if (candidate) {
    // Fresh only when no other writer appended to the log and none checkpointed since this
    // index last looked.
    TANDREL_ASSIGN(const bool fresh, held->log_is_current());
    if (fresh) {
      TANDREL_TRY(live::checkpoint_then(*held, bump));
      std::lock_guard<std::mutex> g(generation_m);
      generation.generation = next;
      return {};
    }
  }
  // A fresh view replays the whole log, so every writer's committed operations are in it.
  held.reset();
  TANDREL_ASSIGN(IndexPtr view, open_index());
  Status st = live::checkpoint_then(*view, bump);
  view.reset();
  return st;
}

PyObject* method_flush(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  auto locked = without_gil([&] { return lock_exclusive_raw(h.path); });
  if (!locked) return locked.error().raise();
  LockFile file = std::move(locked).value();

  auto built = without_gil([&] { return heal_orphaned_compaction(h.path); });
  if (!built) return io_err(built.error()).raise();
  if (!*built) return none();

  if (Status st = without_gil([&] { return h.checkpoint_locked(); }); !st) return io_err(st.error()).raise();

  if (h.current()) {
    std::lock_guard<std::mutex> g(h.generation_m);
    if (read_dir_state(h.path) == h.generation) return none();
  }
  if (auto e = h.reload_after_bump()) return e->raise();
  return none();
}

PyObject* method_sync(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  std::optional<PyErrValue> err = without_gil([&]() -> std::optional<PyErrValue> {
    auto locked = lock_exclusive_raw(h.path);
    if (!locked) return std::move(locked).error();
    LockFile file = std::move(locked).value();
    IndexPtr held = h.current();
    if (!held) return io_err(kNotBuilt);

    const DirState seen = read_dir_state(h.path);
    bool same;
    {
      std::lock_guard<std::mutex> g(h.generation_m);
      same = seen == h.generation;
    }
    if (!same) {
      // Another writer moved the directory on: reopen only; the stale index gets its final
      // log sync from its teardown when the last reference goes.
      auto built = manifest_state(h.path);
      if (!built) return io_err(built.error());
      if (!*built) return std::nullopt;
      auto ix = h.open_index();
      if (!ix) return io_err(ix.error());
      IndexPtr previous = h.swap_inner(std::move(ix).value());
      previous.reset();
      {
        std::lock_guard<std::mutex> g(h.generation_m);
        h.generation = seen;
      }
      h.clear_gen_check();
      return std::nullopt;
    }

    // After a failed log sync the frames written since are not known to be on disk: only a
    // checkpoint makes them durable. It is the checked, generation-bumping checkpoint of
    // flush, whichever reading of the flag sees it set, so a stale or foreign log is never
    // checkpointed blindly.
    auto checkpoint_and_reopen = [&]() -> std::optional<PyErrValue> {
      if (Status st = h.checkpoint_locked(); !st) return io_err(st.error());
      {
        std::lock_guard<std::mutex> g(h.generation_m);
        if (read_dir_state(h.path) == h.generation) return std::nullopt;
      }
      auto ix = h.open_index();
      if (!ix) return io_err(ix.error());
      h.set_inner(std::move(ix).value());
      const DirState now_state = read_dir_state(h.path);
      std::lock_guard<std::mutex> g(h.generation_m);
      h.generation = now_state;
      return std::nullopt;
    };
    // Adds and deletes of every handle take the file lock shared, so nothing sets the flag
    // while this exclusive holder looks at it.
    if (held->fsync_failed.load()) {
      held.reset();
      return checkpoint_and_reopen();
    }
    if (Status st = live::wal_sync_now(*held); !st) return io_err(st.error());
    return std::nullopt;
  });
  if (err) return err->raise();
  return none();
}

// ---- directory swap --------------------------------------------------------------------

namespace {

// Renames path to old, then staged to path; the first error, without undoing the first.
Status swap_dirs(const std::filesystem::path& path, const std::filesystem::path& old,
                 const std::filesystem::path& staged) {
  if (ivf_rabitq::fileops::rename(path.c_str(), old.c_str()) != 0) return IoError::last_os();
  if (ivf_rabitq::fileops::rename(staged.c_str(), path.c_str()) != 0) return IoError::last_os();
  return {};
}

// Keeps a quarantined log of the live directory: wal.corrupt.bin holds frames that no replay
// applied, and it must not vanish with `<path>.old`. The staged directory (whose build removed
// any of its own) gets a second name for the same file, made durable there before the swap;
// the live directory keeps its own, so a crash or a roll-back at any step of the swap leaves
// the log in whichever directory ends up as `<path>` (a move would strand it in the staging
// directory that recovery discards). Where hard links are refused the bytes are copied.
Status carry_quarantined_log(const std::filesystem::path& path, const std::filesystem::path& staged) {
  const std::filesystem::path from = path / storage::kWalCorruptFile;
  const std::filesystem::path to = staged / storage::kWalCorruptFile;
  if (ivf_rabitq::fileops::link(from.c_str(), to.c_str()) != 0) {
    if (errno == ENOENT) return {};
    TANDREL_ASSIGN(const std::vector<uint8_t> bytes, storage::read_file(from.native()));
    return storage::write_bytes(to.native(), std::span<const uint8_t>(bytes));
  }
  return storage::sync_parent_dir(to.native());
}

// The reopen after a swap; on failure the new directory goes to `<path>.broken`, the old one
// comes back, and the first reopen's error is returned.
std::optional<PyErrValue> publish_swapped(RabitqIndex& h, const std::filesystem::path& old) {
  std::optional<PyErrValue> first = h.reload_after_bump();
  if (!first) {
    without_gil([&] { remove_tree(old); });
    return std::nullopt;
  }
  const std::filesystem::path broken = sibling(h.path, kBrokenSuffix);
  remove_tree(broken);
  if (ivf_rabitq::fileops::rename(h.path.c_str(), broken.c_str()) != 0) return first;
  if (ivf_rabitq::fileops::rename(old.c_str(), h.path.c_str()) != 0) return first;
  (void)storage::sync_parent_dir(h.path.native());
  (void)h.reload_after_bump();
  return first;
}

// The swap of a complete staged segment S (`<path>.compacting`) into `<path>`, then the
// reopen. Interpreter lock held; the caller holds the exclusive file lock.
std::optional<PyErrValue> directory_swap(RabitqIndex& h) {
  const std::filesystem::path staged = sibling(h.path, kCompactingSuffix);
  const std::filesystem::path old = sibling(h.path, kOldSuffix);
  if (Status st = carry_quarantined_log(h.path, staged); !st) return io_err_by_kind(st.error());
  if (Status st = storage::sync_parent_dir(staged.native()); !st) return io_err_by_kind(st.error());
  h.drop_inner();
  remove_tree(old);
  if (Status st = swap_dirs(h.path, old, staged); !st) return io_err_by_kind(st.error());
  if (Status st = storage::sync_parent_dir(h.path.native()); !st) return io_err_by_kind(st.error());
  return publish_swapped(h, old);
}

}  // namespace

// ---- compact and rebuild -------------------------------------------------------------------

namespace {

// The common sequence of compact and rebuild: exclusive lock, repair of an interrupted swap,
// the staged segment written by `stage` from a fresh view (which replays every committed
// operation of every process), then the swap. `stage` runs without the interpreter lock.
template <class Stage>
PyObject* replace_from_fresh_view(RabitqIndex& h, Stage&& stage) {
  auto locked = without_gil([&] { return lock_exclusive_raw(h.path); });
  if (!locked) return locked.error().raise();
  LockFile file = std::move(locked).value();

  auto built = without_gil([&] { return heal_orphaned_compaction(h.path); });
  if (!built) return io_err(built.error()).raise();
  if (!*built) return none();

  // A failed read is the error, never generation 0: the staged segment would take a
  // generation lower than the one it replaces.
  auto read = storage::read_generation_for_write(h.path.native());
  if (!read) return io_err(read.error()).raise();
  const uint64_t g = *read;
  const std::filesystem::path staged = sibling(h.path, kCompactingSuffix);
  remove_tree(staged);

  Status st = without_gil([&]() -> Status {
    TANDREL_ASSIGN(IndexPtr view, h.open_index(/*for_search=*/false));
    Status s = stage(*view, staged.native(), g + 1);
    view.reset();
    return s;
  });
  if (!st) return io_err(st.error()).raise();

  std::optional<PyErrValue> err = directory_swap(h);
  file.close();
  if (err) return err->raise();
  return none();
}

}  // namespace

PyObject* RabitqIndex::compact() {
  return replace_from_fresh_view(*this, [](const IvfIndex& view, const std::string& out, uint64_t g) {
    return view.compact_to(out, g);
  });
}

PyObject* RabitqIndex::rebuild(std::optional<uint32_t> n_clusters) {
  return replace_from_fresh_view(*this, [&](const IvfIndex& view, const std::string& out, uint64_t g) {
    return ivf_rabitq::maintain::rebuild_to(view, out, n_clusters, skip, g);
  });
}

// ---- build -------------------------------------------------------------------------------

bool convert_pca(PyObject* o, std::optional<PcaArg>& out) {
  if (o == nullptr || o == Py_None) {
    out.reset();
    return true;
  }
  std::vector<std::vector<float>> items;
  if (!From<std::vector<std::vector<float>>>::convert(o, items)) return wrap_arg_error("pca");
  if (items.size() != 2) {
    raise(PyExc::ValueError,
          "pca must be a 2-sequence [mean, comps], got " + std::to_string(items.size()) + " elements");
    return false;
  }
  out = PcaArg{std::move(items[0]), std::move(items[1])};
  return true;
}

namespace {

std::string u128_text(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}

// Position of the first non-finite value of the buffer, or values.size(). Chunks of whole
// rows holding more than 65,536 values are scanned in parallel; the lowest position found so
// far is shared, and chunks wholly to its right stop early.
size_t first_non_finite_parallel(std::span<const float> values, size_t dim) {
  const size_t n = values.size();
  if (n == 0) return 0;
  const size_t rows_per_chunk = 65536 / dim + 1;
  const size_t chunk = rows_per_chunk * dim;
  std::atomic<size_t> best{n};
  constexpr size_t kBlock = 256;
  ivf_rabitq::parallel::for_chunks(n, chunk, [&](size_t b, size_t e) {
    for (size_t s = b; s < e; s += kBlock) {
      if (s >= best.load(std::memory_order_relaxed)) return;
      const size_t t = std::min(e, s + kBlock);
      const size_t at = first_non_finite(values.subspan(s, t - s));
      if (at < t - s) {
        const size_t pos = s + at;
        size_t cur = best.load(std::memory_order_relaxed);
        while (pos < cur && !best.compare_exchange_weak(cur, pos)) {
        }
        return;
      }
    }
  });
  return best.load();
}

// The build under the exclusive file lock: straight into `<path>` when nothing is built there,
// otherwise staged in `<path>.compacting` at the old generation plus 1 and swapped in.
PyObject* locked_build(RabitqIndex& h, std::span<const float> values, uint32_t n, std::vector<std::string> ids,
                       const std::vector<std::string>& metadatas, uint32_t n_clusters, uint64_t seed,
                       const std::vector<storage::SparsePairs>& sparse, const std::vector<std::string>& skip,
                       const std::optional<PcaArg>& pca, float quant_scale) {
  auto locked = without_gil([&] { return lock_exclusive_raw(h.path); });
  if (!locked) return locked.error().raise();
  LockFile file = std::move(locked).value();

  // Repair an interrupted swap first: a segment stranded in `<path>.old` is the live one, and
  // a build that took `<path>` for empty would write generation 0 over what others hold.
  auto built = without_gil([&] { return heal_orphaned_compaction(h.path); });
  if (!built) return io_err(built.error()).raise();
  const bool replacing = *built;
  const std::filesystem::path target = replacing ? sibling(h.path, kCompactingSuffix) : h.path;
  uint64_t next_generation = 0;
  if (replacing) {
    auto g = storage::read_generation_for_write(h.path.native());
    if (!g) return io_err(g.error()).raise();
    next_generation = *g + 1;
    remove_tree(target);
  }

  Status st = without_gil([&]() -> Status {
    builder::BuildParams params;
    params.n_clusters = n_clusters;
    params.n_bits = h.n_bits;
    params.seed = seed;
    params.quant_scale = quant_scale;
    static const std::vector<float> kEmpty;
    const auto meta = builder::BuildMetadata::texts(std::span<const std::string>(metadatas));
    Status built_st = builder::build_segment(target.native(), values, n, h.dim, std::move(ids), meta, sparse, skip,
                                             pca ? std::span<const float>(pca->mean) : std::span<const float>(kEmpty),
                                             pca ? std::span<const float>(pca->comps) : std::span<const float>(kEmpty),
                                             params);
    if (!built_st && built_st.error().kind() == ivf_rabitq::ErrorKind::InvalidInput) {
      // The metadata texts are parsed before the build's own argument checks: a bad text is
      // the error to report even when the build would also refuse its arguments. The engine
      // refuses arguments before it parses, so look at the texts here, only on this path.
      ivf_rabitq::json::Value holder;
      const ivf_rabitq::json::Value* doc = nullptr;
      for (size_t r = 0; r < meta.size() && r < n; ++r) TANDREL_TRY(meta.load(r, holder, doc));
    }
    TANDREL_TRY(std::move(built_st));
    if (replacing) TANDREL_TRY(storage::write_generation(target.native(), next_generation));
    return {};
  });
  if (!st) return io_err(st.error()).raise();

  std::optional<PyErrValue> err = replacing ? directory_swap(h) : h.reload_after_bump();
  file.close();
  if (err) return err->raise();
  return none();
}

}  // namespace

PyObject* method_build(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  BytesView vectors;
  uint32_t n = 0, n_clusters = 0;
  std::vector<std::string> ids, metadatas;
  uint64_t seed = 42;
  std::optional<std::vector<std::vector<SparsePair>>> sparse;
  std::optional<std::vector<std::string>> skip_index;
  std::optional<PcaArg> pca;
  float quant_scale = 0.0f;
  if (!args.get(0, vectors) || !args.get(1, n) || !args.get(2, ids) || !args.get(3, metadatas) ||
      !args.get(4, n_clusters) || !args.get(5, seed) || !args.get(6, sparse) || !args.get(7, skip_index)) {
    return nullptr;
  }
  if (!convert_pca(args[8], pca) || !args.get(9, quant_scale)) return nullptr;

  const unsigned __int128 expected = static_cast<unsigned __int128>(n) * h.dim * 4;
  if (expected != vectors.size) {
    return raise(PyExc::ValueError,
                 "vectors bytes " + std::to_string(vectors.size) + " != n*dim*4 " + u128_text(expected));
  }
  if (ids.size() != n) {
    return raise(PyExc::ValueError, "ids length " + std::to_string(ids.size()) + " != n " + std::to_string(n));
  }
  if (metadatas.size() != n) {
    return raise(PyExc::ValueError,
                 "metadatas length " + std::to_string(metadatas.size()) + " != n " + std::to_string(n));
  }
  if (sparse && !sparse->empty() && sparse->size() != n) {
    return raise(PyExc::ValueError,
                 "sparse length " + std::to_string(sparse->size()) + " != n " + std::to_string(n));
  }
  const size_t count = static_cast<size_t>(n) * h.dim;
  std::vector<float> scratch;
  auto view = as_f32_slice(vectors.data, vectors.size, count, scratch);
  if (!view) return view.error().raise();
  const std::span<const float> values = *view;

  const size_t bad = without_gil([&] { return first_non_finite_parallel(values, h.dim); });
  if (bad < values.size()) {
    return value_err(non_finite_err("vector " + std::to_string(bad / h.dim), bad % h.dim, values[bad])).raise();
  }
  std::vector<storage::SparsePairs> rows;
  if (sparse) {
    for (const auto& row : *sparse) {
      if (auto st = require_finite_sparse_write(row); !st) return st.error().raise();
    }
    rows.reserve(sparse->size());
    for (auto& row : *sparse) rows.emplace_back(row.begin(), row.end());
  }
  std::vector<std::string> skip = skip_index ? std::move(*skip_index) : std::vector<std::string>{};
  return locked_build(h, values, n, std::move(ids), metadatas, n_clusters, seed, rows, skip, pca, quant_scale);
}

}  // namespace ivf_rabitq_py
