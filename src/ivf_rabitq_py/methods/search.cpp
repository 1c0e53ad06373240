// `RabitqIndex.search`: arguments converted and the query validated with the interpreter
// lock held; then the lock is released once around all native work (the open index, the
// filter, the engine search, slot-to-id conversion) and the result list is built.
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

namespace {

using Rows = std::vector<std::pair<std::string, float>>;

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
  std::vector<float> scratch;
  std::span<const float> query;
  if (!read_f32_vector(args[0], h.dim, scratch, query)) return nullptr;
  if (query.size() != h.dim) {
    return raise(PyExc::ValueError,
                 "query dim " + std::to_string(query.size()) + " != " + std::to_string(h.dim));
  }
  if (auto st = require_finite(query); !st) return st.error().raise();

  ivf_rabitq::Result<Rows, PyErrValue> out = without_gil([&]() -> ivf_rabitq::Result<Rows, PyErrValue> {
    auto opened = h.opened_search();
    if (!opened) return std::move(opened).error();
    IndexPtr ix = std::move(opened).value();
    ivf_rabitq::index::PredicatePtr pred;
    if (!no_filter(filter)) {
      auto compiled = ix->compile_filter_cached(filter->text);
      if (!compiled) return value_err(std::move(compiled).error().text);
      pred = std::move(compiled).value();
    }
    Rows rows;
    {
      auto hits = ivf_rabitq::index::search_core(*ix, query, k, nprobe, rerank, pred, ensure_target_k);
      rows.reserve(hits.size());
      for (const auto& hit : hits) ix->prefetch_id(hit.first);
      for (const auto& [slot, dist] : hits) rows.emplace_back(ix->ext_of(slot), dist);
    }
    pred.reset();
    ix.reset();  // possibly the last reference: the teardown runs here, still unlocked
    return rows;
  });

  if (!out) return out.error().raise();
  const Rows& rows = out.value();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    Ref id = str_from(rows[i].first);
    if (!id) return nullptr;
    Ref dist = Ref::steal(PyFloat_FromDouble(static_cast<double>(rows[i].second)));
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
