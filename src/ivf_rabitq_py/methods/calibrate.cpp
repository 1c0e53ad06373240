// `calibrate_nprobe`: the probe count this segment needs for a target recall, computed
// without the interpreter lock on the calling thread or, in the background, on the
// maintenance pool.
#include <variant>
#include <vector>

#include "ivf_rabitq/common/maint_pool.hpp"
#include "ivf_rabitq/search/calibrate.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_calibrate_nprobe_doc =
    "Self-calibrate `nprobe` for this segment against `target_recall`.\n"
    "\n"
    "Samples `n_samples` live rows as queries, computes each one's EXACT top-k by\n"
    "brute force (excluding its own row), sweeps `grid` ascending, and returns the\n"
    "smallest nprobe whose mean recall@k reaches `target_recall` (max grid value if\n"
    "none do). Deterministic given `seed`; runs without the GIL, in parallel on the\n"
    "work-stealing pool, and costs at most about `n_samples * live * dim`.\n"
    "`background=True` (the LSM's calibration thread) runs\n"
    "it on the maintenance pool so its hundreds of exact scans never queue ahead of live\n"
    "queries; a direct call keeps the whole global pool, as it always had.";

PyObject* method_calibrate_nprobe(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  uint64_t n_samples = 0, k = 0, rerank = 500, seed = 1234;
  float target_recall = 0.0f;
  std::vector<uint64_t> grid;
  bool background = false;
  if (!args.get(0, n_samples) || !args.get(1, k) || !args.get(2, target_recall) || !args.get(3, grid) ||
      !args.get(4, rerank) || !args.get(5, seed) || !args.get(6, background)) {
    return nullptr;
  }
  std::variant<uint64_t, PyErrValue> out = without_gil([&]() -> std::variant<uint64_t, PyErrValue> {
    auto opened = h.opened_search();
    if (!opened) return std::move(opened).error();
    IndexPtr ix = std::move(opened).value();
    uint64_t chosen = 0;
    auto body = [&] {
      chosen = ivf_rabitq::search::calibrate_nprobe(*ix, n_samples, k, target_recall, grid, rerank, seed);
    };
    if (background) {
      // On the maintenance pool (or on this thread when the pool could not be made): the
      // exact scans run on its lower-priority threads, never on the search pool.
      ivf_rabitq::maint::run(body);
    } else {
      body();
    }
    ix.reset();  // possibly the last reference: the teardown runs here, still unlocked
    return chosen;
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  return PyLong_FromUnsignedLongLong(std::get<uint64_t>(out));
}

}  // namespace ivf_rabitq_py
