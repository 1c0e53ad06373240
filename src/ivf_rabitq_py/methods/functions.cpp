#include "ivf_rabitq_py/methods/functions.hpp"

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "ivf_rabitq/common/maint_pool.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
#include "ivf_rabitq_py/binder/errors.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

PyObject* not_available(const char* name) {
  return raise(PyExc::NotImplementedError, std::string(name) + " is not available yet");
}

PyObject* slot_space_ok(PyObject* /*module*/, Args& args) {
  uint32_t current = 0, adding = 0;
  if (!args.get(0, current) || !args.get(1, adding)) return nullptr;
  uint32_t sum = 0;
  // 4294967295 is never a slot: main rows + delta rows stay at most 4294967294.
  const bool ok = !__builtin_add_overflow(current, adding, &sum) && sum != 0xFFFFFFFFu;
  return boolean(ok);
}

PyObject* merge_segments(PyObject* /*module*/, Args& args) {
  // Every argument is converted (and owned) before the lock is released or a file touched.
  std::string out;
  std::vector<std::string> dirs, tombstone_list, skip;
  uint64_t n_clusters = 0, n_bits = 0, seed = 42;
  float scale = 0.0f;
  std::optional<PcaArg> pca;
  if (!args.get(0, out) || !args.get(1, dirs) || !args.get(2, tombstone_list) || !args.get(3, n_clusters) ||
      !args.get(4, scale) || !args.get(5, skip) || !convert_pca(args[6], pca) || !args.get(7, n_bits) ||
      !args.get(8, seed)) {
    return nullptr;
  }
  std::unordered_set<std::string> tombstones(std::make_move_iterator(tombstone_list.begin()),
                                             std::make_move_iterator(tombstone_list.end()));
  tombstone_list = {};
  const std::vector<float> no_basis;
  const std::vector<float>& mean = pca ? pca->mean : no_basis;
  const std::vector<float>& comps = pca ? pca->comps : no_basis;
  using Merged = ivf_rabitq::Result<ivf_rabitq::index::MergeResult>;
  std::optional<Merged> merged;
  without_gil([&] {
    // On the maintenance pool (its lowered priority and its own threads for every parallel
    // pass), or on this thread when the pool could not be made.
    ivf_rabitq::maint::run([&] {
      merged.emplace(ivf_rabitq::index::IvfIndex::merge(out, dirs, tombstones, n_clusters, scale, skip, mean, comps,
                                                        n_bits, seed));
    });
  });
  if (!merged->ok()) return io_err(merged->error()).raise();
  ivf_rabitq::index::MergeResult r = std::move(*merged).value();
  Ref dropped = Ref::steal(PyList_New(static_cast<Py_ssize_t>(r.dropped.size())));
  if (!dropped) return nullptr;
  for (size_t i = 0; i < r.dropped.size(); ++i) {
    Ref s = str_from(r.dropped[i]);
    if (!s) return nullptr;
    if (PyList_SetItem(dropped.get(), static_cast<Py_ssize_t>(i), s.release()) != 0) return nullptr;
  }
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(r.rows), dropped.release());
}

PyObject* ivf_open_count(PyObject* /*module*/) {
  return PyLong_FromUnsignedLongLong(ivf_rabitq::index::OPEN_COUNT.load());
}

PyObject* set_residency(PyObject* /*module*/, Args& args) {
  bool prewarm = false, mlock = false;
  if (!args.get(0, prewarm) || !args.get(1, mlock)) return nullptr;
  // From now on the environment is no longer consulted; segments opened later follow these.
  ivf_rabitq::storage::PREWARM.store(prewarm ? 2 : 1, std::memory_order_relaxed);
  ivf_rabitq::storage::MLOCK.store(mlock ? 2 : 1, std::memory_order_relaxed);
  return none();
}

}  // namespace ivf_rabitq_py
