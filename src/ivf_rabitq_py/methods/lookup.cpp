// Lookups by id: metadata texts, presence, vectors, sparse terms, per-value counts.
//
// The ids are copied into owned strings while the interpreter lock is held (another thread
// may change the caller's list once the lock is released). The lookups themselves run with
// the lock released, on the method's own reference to the open index, which is also
// dropped there (a last reference runs the teardown).
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ivf_rabitq/scan/aggregate.hpp"
#include "ivf_rabitq/scan/meta_read.hpp"
#include "ivf_rabitq/segment/row_readers.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

namespace {

namespace scan = ivf_rabitq::scan;
namespace segment = ivf_rabitq::segment;
using ivf_rabitq::index::IvfIndex;
using Ids = std::vector<std::string>;

constexpr const char* kOverBudget = "search result exceeds max_result_bytes";

// Runs f(index) without the interpreter lock and drops the index reference there too.
template <class F>
auto on_index(IndexPtr ix, F&& f) {
  return without_gil([&] {
    auto out = f(*ix);
    ix.reset();
    return out;
  });
}

// A new list of n items made by item(i) (a new reference or null on failure).
template <class F>
PyObject* make_list(size_t n, F&& item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* o = item(i);
    if (!o) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), o);
  }
  return list.release();
}

PyObject* text_list(const std::vector<std::string>& texts) {
  return make_list(texts.size(), [&](size_t i) { return str_from(texts[i]).release(); });
}

}  // namespace

const char* const method_get_meta_doc =
    "Batch metadata lookup: one JSON string per id (\"null\" if missing/deleted).\n"
    "Optional max_result_bytes bounds estimated peak memory, not wire bytes.";
PyObject* method_get_meta(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  Ids ids;
  std::optional<uint64_t> budget;
  if (!args.get(0, ids) || !args.get(1, budget)) return nullptr;
  IndexPtr ix = h.opened_off_gil();
  if (!ix) return nullptr;
  if (budget) {
    auto res = on_index(std::move(ix), [&](const IvfIndex& index) {
      return scan::get_meta_limited(index, ids, static_cast<size_t>(*budget), true, false);
    });
    if (!res) return raise(PyExc::ValueError, kOverBudget);
    return text_list(res->texts);
  }
  auto texts = on_index(std::move(ix), [&](const IvfIndex& index) { return scan::get_meta(index, ids); });
  return text_list(texts);
}

const char* const method_get_meta_bounded_doc =
    "Bounded source lookup: real metadata's estimated memory units plus a\n"
    "temporary-null count for LSM's final-response accounting.";
PyObject* method_get_meta_bounded(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  Ids ids;
  uint64_t budget = 0;
  bool fast_upper = false;
  if (!args.get(0, ids) || !args.get(1, budget) || !args.get(2, fast_upper)) return nullptr;
  IndexPtr ix = h.opened_off_gil();
  if (!ix) return nullptr;
  auto res = on_index(std::move(ix), [&](const IvfIndex& index) {
    return scan::get_meta_limited(index, ids, static_cast<size_t>(budget), false, fast_upper);
  });
  if (!res) return raise(PyExc::ValueError, kOverBudget);
  Ref texts = Ref::steal(text_list(res->texts));
  if (!texts) return nullptr;
  Ref units = Ref::steal(PyLong_FromSize_t(res->units));
  if (!units) return nullptr;
  Ref nulls = Ref::steal(PyLong_FromSize_t(res->nulls));
  if (!nulls) return nullptr;
  return PyTuple_Pack(3, texts.get(), units.get(), nulls.get());
}

const char* const method_has_ids_doc =
    "Batch existence probe: one bool per id, true when a LIVE row with that id is in\n"
    "this index. The cheap answer to \"is this id here?\" \xe2\x80\x94 unlike get_meta it never\n"
    "materializes metadata, so tombstone bookkeeping (count/upsert probes/delete\n"
    "liveness) is O(ids), not O(metadata bytes).";
PyObject* method_has_ids(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  Ids ids;
  if (!args.get(0, ids)) return nullptr;
  IndexPtr ix = h.opened_off_gil();
  if (!ix) return nullptr;
  auto found = on_index(std::move(ix), [&](const IvfIndex& index) { return segment::has_ids(index, ids); });
  return make_list(found.size(), [&](size_t i) { return boolean(found[i]); });
}

const char* const method_get_vectors_doc =
    "Dequantized f32 vectors for ids (empty list for missing). Backs PCA/3D viz.";
PyObject* method_get_vectors(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  Ids ids;
  if (!args.get(0, ids)) return nullptr;
  IndexPtr ix = h.opened_off_gil();
  if (!ix) return nullptr;
  auto vecs = on_index(std::move(ix), [&](const IvfIndex& index) { return segment::get_vectors(index, ids); });
  return make_list(vecs.size(), [&](size_t i) {
    const auto& v = vecs[i];
    return make_list(v.size(), [&](size_t k) { return PyFloat_FromDouble(static_cast<double>(v[k])); });
  });
}

const char* const method_get_sparse_doc = "Per-id sparse terms (empty for missing). Backs LSM segment merge.";
PyObject* method_get_sparse(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  Ids ids;
  if (!args.get(0, ids)) return nullptr;
  IndexPtr ix = h.opened_off_gil();
  if (!ix) return nullptr;
  auto terms = on_index(std::move(ix), [&](const IvfIndex& index) { return segment::get_sparse(index, ids); });
  return make_list(terms.size(), [&](size_t i) {
    const auto& pairs = terms[i];
    return make_list(pairs.size(), [&](size_t k) -> PyObject* {
      Ref term = Ref::steal(PyLong_FromUnsignedLong(pairs[k].first));
      if (!term) return nullptr;
      Ref weight = Ref::steal(PyFloat_FromDouble(static_cast<double>(pairs[k].second)));
      if (!weight) return nullptr;
      return PyTuple_Pack(2, term.get(), weight.get());
    });
  });
}

const char* const method_aggregate_by_ids_doc =
    "Group the given ids by a STRING metadata field, returning\n"
    "`(counts, resolved_indices)` \xe2\x80\x94 the indices of the ids this index claimed, so the\n"
    "caller can walk sources newest-first and count each row exactly once. Returns\n"
    "None when the field is not a string column here (numeric, or skip_index'd), so\n"
    "the caller falls back to the metadata path.";
PyObject* method_aggregate_by_ids(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::string field;
  Ids ids;
  if (!args.get(0, field) || !args.get(1, ids)) return nullptr;
  using Out = std::variant<std::optional<scan::IdAggregate>, PyErrValue>;
  Out out = without_gil([&]() -> Out {
    auto opened = h.opened_search();
    if (!opened) return std::move(opened).error();
    IndexPtr ix = std::move(opened).value();
    auto agg = scan::aggregate_by_ids(*ix, field, ids);
    ix.reset();
    return agg;
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  const auto& agg = std::get<0>(out);
  if (!agg) return none();
  Ref counts = Ref::steal(PyDict_New());
  if (!counts) return nullptr;
  for (const auto& [text, count] : agg->counts) {
    Ref key = str_from(text);
    if (!key) return nullptr;
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) return nullptr;
  }
  Ref resolved = Ref::steal(make_list(agg->resolved.size(), [&](size_t i) {
    return PyLong_FromUnsignedLong(agg->resolved[i]);
  }));
  if (!resolved) return nullptr;
  return PyTuple_Pack(2, counts.get(), resolved.get());
}

}  // namespace ivf_rabitq_py
