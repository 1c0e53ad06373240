// `search_hybrid` and `sparse_search`: arguments converted and validated with the interpreter
// lock held, then the lock is released once around all native work (the open index, the
// filter, the dense and sparse lists, the fusion, slot-to-id conversion).
#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/search/sparse.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

namespace {

namespace search = ivf_rabitq::search;
namespace engine = ivf_rabitq::index;
using Rows = std::vector<std::pair<std::string, float>>;
using Outcome = std::variant<Rows, PyErrValue>;

// The open index and its compiled filter (the empty text and "null" mean no filter).
struct Opened {
  IndexPtr ix;
  engine::PredicatePtr pred;
};
std::variant<Opened, PyErrValue> open_with_filter(RabitqIndex& h, const std::optional<StrView>& filter) {
  auto opened = h.opened_search();
  if (!opened) return std::move(opened).error();
  Opened o{std::move(opened).value(), nullptr};
  if (!no_filter(filter)) {
    auto compiled = o.ix->compile_filter_cached(filter->text);
    if (!compiled) return value_err(std::move(compiled).error().text);
    o.pred = std::move(compiled).value();
  }
  return o;
}

Rows to_rows(const engine::IvfIndex& ix, const std::vector<search::SlotScore>& hits) {
  Rows rows;
  rows.reserve(hits.size());
  for (const auto& [slot, score] : hits) rows.emplace_back(ix.ext_of(slot), score);
  return rows;
}

// Drops the predicate, then the index (possibly the last reference: the teardown runs here,
// still without the interpreter lock).
void release(Opened& o) {
  o.pred.reset();
  o.ix.reset();
}

PyObject* result_list(Outcome& out) {
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  const Rows& rows = std::get<Rows>(out);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    Ref id = str_from(rows[i].first);
    if (!id) return nullptr;
    Ref score = Ref::steal(PyFloat_FromDouble(static_cast<double>(rows[i].second)));
    if (!score) return nullptr;
    PyObject* tup = PyTuple_New(2);
    if (!tup) return nullptr;
    PyTuple_SetItem(tup, 0, id.release());
    PyTuple_SetItem(tup, 1, score.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tup);
  }
  return list.release();
}

}  // namespace

const char* const method_search_hybrid_doc =
    "Hybrid dense+sparse search fused by Reciprocal Rank Fusion. `sparse_query`\n"
    "is [(term, weight), ...]. Returns [(id, rrf_score)] descending.";

PyObject* method_search_hybrid(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::vector<SparsePair> sparse;
  uint64_t k = 0, nprobe = 64, rerank = 500;
  std::optional<StrView> filter;
  float rrf_k = 60.0f;
  bool ensure_target_k = false;
  if (!args.get(1, sparse) || !args.get(2, k) || !args.get(3, nprobe) || !args.get(4, rerank) ||
      !args.get(5, filter) || !args.get(6, rrf_k) || !args.get(7, ensure_target_k)) {
    return nullptr;
  }
  std::vector<float> scratch;
  std::span<const float> query;
  if (!read_f32_vector(args[0], h.dim, scratch, query)) return nullptr;
  if (query.size() != h.dim) {
    return raise(PyExc::ValueError, "query dim " + std::to_string(query.size()) + " != " + std::to_string(h.dim));
  }
  if (auto st = require_finite(query); !st) return st.error().raise();
  if (auto st = require_finite_sparse(sparse); !st) return st.error().raise();
  if (!(std::isfinite(rrf_k) && rrf_k > 0.0f)) {
    return raise(PyExc::ValueError, "rrf_k must be a finite positive number, got " + fmt_f32(rrf_k));
  }

  Outcome out = without_gil([&]() -> Outcome {
    auto opened = open_with_filter(h, filter);
    if (auto* e = std::get_if<PyErrValue>(&opened)) return std::move(*e);
    Opened& o = std::get<Opened>(opened);
    // Both lists go deeper than k so that rows ranked well by only one of them still fuse.
    const uint64_t cand = std::max<uint64_t>(k > UINT64_MAX / 10 ? UINT64_MAX : 10 * k, 100);
    Rows rows;
    {
      auto dense = search::search_core(*o.ix, query, cand, nprobe, rerank, o.pred, false);
      auto sparse_hits = search::sparse_rank(*o.ix, sparse, cand, o.pred.get());
      auto fused = search::search_hybrid(k, rrf_k, dense, sparse_hits);
      dense = {};
      if (ensure_target_k && fused.size() < k) {
        auto exact = search::search_bruteforce(*o.ix, query, cand, o.pred);
        fused = search::search_hybrid(k, rrf_k, exact, sparse_hits);
      }
      rows = to_rows(*o.ix, fused);
    }
    release(o);
    return rows;
  });
  return result_list(out);
}

const char* const method_sparse_search_doc =
    "Sparse-only retrieval returning [(id, score)] descending. Used by the LSM\n"
    "coordinator to fuse dense+sparse on global ranks across segments.";

PyObject* method_sparse_search(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::vector<SparsePair> sparse;
  uint64_t k = 0;
  std::optional<StrView> filter;
  if (!args.get(0, sparse) || !args.get(1, k) || !args.get(2, filter)) return nullptr;
  if (auto st = require_finite_sparse(sparse); !st) return st.error().raise();

  Outcome out = without_gil([&]() -> Outcome {
    auto opened = open_with_filter(h, filter);
    if (auto* e = std::get_if<PyErrValue>(&opened)) return std::move(*e);
    Opened& o = std::get<Opened>(opened);
    Rows rows = to_rows(*o.ix, search::sparse_rank(*o.ix, sparse, k, o.pred.get()));
    release(o);
    return rows;
  });
  return result_list(out);
}

}  // namespace ivf_rabitq_py
