// Filtered scans: ids, counts and existence of rows matching a filter. Each method converts
// its arguments with the interpreter lock held, then releases it once around the open
// index, the filter compile and the engine scan, and builds the result after taking it back.
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ivf_rabitq/scan/scan.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

namespace {

using ivf_rabitq::index::PredicatePtr;

// Runs scan(index, filter) without the interpreter lock: the open index from the read
// path, then the filter (None, "" and "null" mean none; any other text goes through the
// index's compiled-filter cache, its error becoming ValueError). The predicate and the
// index are dropped before the lock is taken back.
template <class T, class Scan>
std::variant<T, PyErrValue> run_scan(RabitqIndex& h, const std::optional<StrView>& filter, Scan&& scan) {
  return without_gil([&]() -> std::variant<T, PyErrValue> {
    auto opened = h.opened_search();
    if (!opened) return std::move(opened).error();
    IndexPtr ix = std::move(opened).value();
    PredicatePtr pred;
    if (!no_filter(filter)) {
      auto compiled = ix->compile_filter_cached(filter->text);
      if (!compiled) return value_err(std::move(compiled).error().text);
      pred = std::move(compiled).value();
    }
    T out = scan(*ix, pred.get());
    pred.reset();
    ix.reset();  // possibly the last reference: the teardown runs here, still unlocked
    return out;
  });
}

PyObject* id_list(const std::vector<std::string>& ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    Ref id = str_from(ids[i]);
    if (!id) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id.release());
  }
  return list.release();
}

}  // namespace

const char* const method_ids_matching_doc =
    "All live ids matching a metadata filter (None/empty = all). Backs\n"
    "delete-by-filter, get_all_items, exists, count-with-filter.";
PyObject* method_ids_matching(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::optional<StrView> filter;
  if (!args.get(0, filter)) return nullptr;
  auto out = run_scan<std::vector<std::string>>(
      h, filter, [](const auto& ix, const auto* p) { return ivf_rabitq::scan::ids_matching(ix, p); });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  return id_list(std::get<0>(out));
}

const char* const method_count_matching_doc =
    "Count live rows matching a filter (None/empty = all) without materializing\n"
    "ids. Backs count-with-filter; segment-local (LSM tombstones handled above).";
PyObject* method_count_matching(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::optional<StrView> filter;
  if (!args.get(0, filter)) return nullptr;
  auto out = run_scan<uint64_t>(
      h, filter, [](const auto& ix, const auto* p) { return ivf_rabitq::scan::count_matching(ix, p); });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  return PyLong_FromUnsignedLongLong(std::get<0>(out));
}

const char* const method_exists_matching_doc =
    "True if any live row matches the filter (short-circuits). Backs exists().";
PyObject* method_exists_matching(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::optional<StrView> filter;
  if (!args.get(0, filter)) return nullptr;
  auto out = run_scan<bool>(
      h, filter, [](const auto& ix, const auto* p) { return ivf_rabitq::scan::exists_matching(ix, p); });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  return boolean(std::get<0>(out));
}

const char* const method_ids_matching_limit_doc =
    "The first `limit` of the ids `ids_matching` would return, in the same order,\n"
    "without scanning past them (see IvfIndex::ids_matching_limit). Last in this block\n"
    "on purpose: code added among the query methods shifted their layout.";
PyObject* method_ids_matching_limit(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::optional<StrView> filter;
  uint64_t limit = 0;
  if (!args.get(0, filter) || !args.get(1, limit)) return nullptr;
  auto out = run_scan<std::vector<std::string>>(h, filter, [limit](const auto& ix, const auto* p) {
    return ivf_rabitq::scan::ids_matching_limit(ix, p, limit);
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  return id_list(std::get<0>(out));
}

}  // namespace ivf_rabitq_py
