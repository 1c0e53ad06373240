// `RabitqIndex.search`: arguments converted and the query validated with the interpreter
// lock held; then the lock is released once around all native work (the open index, the
// filter, the engine search, slot-to-id conversion) and the result list is built.
//
// Several Python threads searching at once take turns on the interpreter lock, so what a
// call does while holding it is kept short: the ids are gathered without the lock into a
// per-thread buffer (one block of text, no string per row to free afterwards), and a query
// that cannot be read in place is converted into a per-thread buffer too. With the lock
// held the call converts its arguments and makes the result objects, nothing else.
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

namespace {

// The result rows of one call: the ids back to back in `ids`, row i's id ending at ends[i].
struct CallBuffers {
  std::vector<float> query;  // a query that is not read in place
  std::string ids;
  std::vector<size_t> ends;
  std::vector<float> dists;
  bool busy = false;
};

// Buffers kept by the calling thread for its next call. A call made on the same thread while
// one is in progress (Python code run by an argument conversion or by a finaliser can call
// search again) gets buffers of its own. Buffers grown past a few megabytes by a very large
// k are given back at the end of the call.
class ThreadBuffers {
 public:
  ThreadBuffers() {
    thread_local CallBuffers kept;
    b_ = kept.busy ? &own_ : &kept;
    b_->busy = true;
  }
  ~ThreadBuffers() {
    constexpr size_t kKeep = size_t{4} << 20;
    if (b_->ids.capacity() > kKeep) std::string().swap(b_->ids);
    if (b_->ends.capacity() * sizeof(size_t) > kKeep) std::vector<size_t>().swap(b_->ends);
    if (b_->dists.capacity() * sizeof(float) > kKeep) std::vector<float>().swap(b_->dists);
    if (b_->query.capacity() * sizeof(float) > kKeep) std::vector<float>().swap(b_->query);
    b_->busy = false;
  }
  ThreadBuffers(const ThreadBuffers&) = delete;
  ThreadBuffers& operator=(const ThreadBuffers&) = delete;
  CallBuffers& operator*() { return *b_; }

 private:
  CallBuffers own_;
  CallBuffers* b_;
};

}  // namespace

PyObject* method_search(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  // Scalars first (in parameter order), so a bad scalar is reported before a bad query.
  uint64_t k = 0, nprobe = 32, rerank = 400;
  std::optional<StrView> filter;
  bool ensure_target_k = false;
  if (!args.get(1, k) || !args.get(2, nprobe) || !args.get(3, rerank) || !args.get(4, filter) ||
      !args.get(5, ensure_target_k)) {
    return nullptr;
  }
  ThreadBuffers held;
  CallBuffers& buf = *held;
  std::span<const float> query;
  if (!read_f32_vector(args[0], h.dim, buf.query, query)) return nullptr;
  if (query.size() != h.dim) {
    return raise(PyExc::ValueError,
                 "query dim " + std::to_string(query.size()) + " != " + std::to_string(h.dim));
  }
  if (auto st = require_finite(query); !st) return st.error().raise();

  buf.ids.clear();
  buf.ends.clear();
  buf.dists.clear();
  std::optional<PyErrValue> failed = without_gil([&]() -> std::optional<PyErrValue> {
    auto opened = h.opened_search();
    if (!opened) return std::move(opened).error();
    IndexPtr ix = std::move(opened).value();
    ivf_rabitq::index::PredicatePtr pred;
    if (!no_filter(filter)) {
      auto compiled = ix->compile_filter_cached(filter->text);
      if (!compiled) return value_err(std::move(compiled).error().text);
      pred = std::move(compiled).value();
    }
    {
      auto hits = ivf_rabitq::search::search_core(*ix, query, k, nprobe, rerank, pred, ensure_target_k);
      buf.ends.reserve(hits.size());
      buf.dists.reserve(hits.size());
      for (const auto& hit : hits) ix->prefetch_id(hit.first);
      for (const auto& [slot, dist] : hits) {
        ix->append_ext(slot, buf.ids);
        buf.ends.push_back(buf.ids.size());
        buf.dists.push_back(dist);
      }
    }
    pred.reset();
    ix.reset();  // possibly the last reference: the teardown runs here, still unlocked
    return std::nullopt;
  });

  if (failed) return failed->raise();
  const size_t n = buf.ends.size();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    Ref id = str_from(std::string_view(buf.ids).substr(at, buf.ends[i] - at));
    at = buf.ends[i];
    if (!id) return nullptr;
    Ref dist = Ref::steal(PyFloat_FromDouble(static_cast<double>(buf.dists[i])));
    if (!dist) return nullptr;
    PyObject* tup = PyTuple_New(2);
    if (!tup) return nullptr;
    PyTuple_SetItem(tup, 0, id.release());
    PyTuple_SetItem(tup, 1, dist.release());
    // A pair of a str and a float can be part of no reference cycle: the collector need not
    // traverse it (it untracks such tuples itself, but only once it has walked them).
    PyObject_GC_UnTrack(tup);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tup);
  }
  return list.release();
}

}  // namespace ivf_rabitq_py
