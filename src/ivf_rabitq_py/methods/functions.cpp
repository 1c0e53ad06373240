#include "ivf_rabitq_py/methods/functions.hpp"

#include <string>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
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

// ---- not built yet: registered so the module surface is complete ----------------------

PyObject* merge_segments(PyObject* /*module*/, Args& /*args*/) { return not_available("merge_segments"); }

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
