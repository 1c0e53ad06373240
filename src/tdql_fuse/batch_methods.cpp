// Batched lookups over the segments of one or more columns, each column's segments newest
// first: `distances_to_many` (per id, the distance a search would report) and the metadata
// status checks `meta_status_across` and `meta_status_columns`. Each converts and checks
// its arguments with the interpreter lock held, copies what the lock-free stretch reads
// (ids, texts, query floats) or holds it by reference (source handles), and releases the
// lock once for all of its work.
#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/scan/meta_status.hpp"
#include "ivf_rabitq/search/distances.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"
#include "tdql_fuse/convert.hpp"

namespace ivf_rabitq_py {

namespace fuse {

namespace {

using ivf_rabitq::scan::CanonMeta;

// (sources, ids, queries) of `distances_to_many`.
struct JobArg {
  std::vector<OwnedHandle> sources;
  std::vector<std::string> ids;
  OwnedBytes queries;
};

// (sources, rows) of `meta_status_columns`.
struct ColumnArg {
  std::vector<OwnedHandle> sources;
  std::optional<std::vector<uint64_t>> rows;
};

std::vector<std::string_view> views(const std::vector<std::string>& v) {
  return std::vector<std::string_view>(v.begin(), v.end());
}

}  // namespace
}  // namespace fuse

template <>
struct From<fuse::JobArg> {
  static bool convert(PyObject* o, fuse::JobArg& out) {
    return fuse::tuple_of(o, 3) && From<std::vector<fuse::OwnedHandle>>::convert(PyTuple_GetItem(o, 0), out.sources) &&
           From<std::vector<std::string>>::convert(PyTuple_GetItem(o, 1), out.ids) &&
           From<fuse::OwnedBytes>::convert(PyTuple_GetItem(o, 2), out.queries);
  }
};
template <>
struct From<fuse::ColumnArg> {
  static bool convert(PyObject* o, fuse::ColumnArg& out) {
    return fuse::tuple_of(o, 2) && From<std::vector<fuse::OwnedHandle>>::convert(PyTuple_GetItem(o, 0), out.sources) &&
           From<std::optional<std::vector<uint64_t>>>::convert(PyTuple_GetItem(o, 1), out.rows);
  }
};

// ---------------------------------------------------------------------------------------
// distances_to_many
// ---------------------------------------------------------------------------------------

const char* const method_distances_to_many_doc =
    "For each job `(sources, ids, queries)`: per id, the distance a search would report\n"
    "between its row and the closest of `queries` (one or more little-endian f32 vectors\n"
    "of the sources' dim, back to back, as `search` accepts them), taken from the first\n"
    "of `sources` (one LSM column's, newest first) holding the id live; NaN if none\n"
    "does. Every job runs in ONE call: a query scoring several columns releases the GIL\n"
    "once, and under concurrent queries each release and reacquire cost more throughput\n"
    "than the lookups themselves.\n"
    "`parallel` spreads large lookups over the work-stealing pool; a caller that knows the\n"
    "machine is busy passes False.";

PyObject* method_distances_to_many(PyObject* /*self*/, Args& args) {
  using namespace fuse;
  std::vector<JobArg> jobs;
  bool parallel = true;
  if (!args.get(0, jobs) || !args.get(1, parallel)) return nullptr;
  std::vector<std::vector<float>> queries;
  queries.reserve(jobs.size());
  for (const JobArg& job : jobs) {
    auto q = source_queries(dims_of(job.sources), job.queries.view.data, job.queries.view.size);
    if (!q) return q.error().raise();
    queries.push_back(std::move(q).value());
  }

  DISTANCES_GIL_RELEASES.fetch_add(1, std::memory_order_relaxed);
  using Out = std::variant<std::vector<std::vector<float>>, PyErrValue>;
  Out out = without_gil([&]() -> Out {
    std::vector<std::vector<float>> all;
    all.reserve(jobs.size());
    for (size_t j = 0; j < jobs.size(); ++j) {
      auto opened = open_sources(jobs[j].sources);
      if (!opened) return std::move(opened).error();
      const auto ids = views(jobs[j].ids);
      all.push_back(ivf_rabitq::search::distances_across(raw(*opened), ids, queries[j], parallel));
    }
    return all;
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  const auto& all = std::get<0>(out);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
  if (!list) return nullptr;
  for (size_t j = 0; j < all.size(); ++j) {
    Ref inner = Ref::steal(PyList_New(static_cast<Py_ssize_t>(all[j].size())));
    if (!inner) return nullptr;
    for (size_t i = 0; i < all[j].size(); ++i) {
      PyObject* f = PyFloat_FromDouble(static_cast<double>(all[j][i]));
      if (!f) return nullptr;
      PyList_SetItem(inner.get(), static_cast<Py_ssize_t>(i), f);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), inner.release());
  }
  return list.release();
}

// ---------------------------------------------------------------------------------------
// meta_status_across
// ---------------------------------------------------------------------------------------

const char* const method_meta_status_across_doc =
    "Status of each id's stored metadata against `metas` (one JSON text per id), across one "
    "column's `sources` newest first: one byte per id, decided by the newest source holding "
    "the id live: 0 none does (or it stores null), 1 the same metadata, 2 different metadata. "
    "Runs without the GIL; `parallel` lets large batches use the work-stealing pool.";

PyObject* method_meta_status_across(PyObject* /*self*/, Args& args) {
  using namespace fuse;
  std::vector<OwnedHandle> sources;
  std::vector<std::string> ids, metas;
  bool parallel = true;
  if (!args.get(0, sources) || !args.get(1, ids) || !args.get(2, metas) || !args.get(3, parallel)) return nullptr;
  if (ids.size() != metas.size()) {
    return raise(PyExc::ValueError,
                 std::to_string(ids.size()) + " ids but " + std::to_string(metas.size()) + " metadata");
  }
  using Out = std::variant<std::vector<uint8_t>, PyErrValue>;
  Out out = without_gil([&]() -> Out {
    auto opened = open_sources(sources);
    if (!opened) return std::move(opened).error();
    std::deque<CanonMeta> canon;
    std::vector<const CanonMeta*> refs;
    refs.reserve(metas.size());
    for (const std::string& m : metas) refs.push_back(&canon.emplace_back(m));
    return ivf_rabitq::scan::meta_status_across(raw(*opened), views(ids), refs, parallel);
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  const auto& status = std::get<0>(out);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(status.data()),
                                   static_cast<Py_ssize_t>(status.size()));
}

// ---------------------------------------------------------------------------------------
// meta_status_columns
// ---------------------------------------------------------------------------------------

const char* const method_meta_status_columns_doc =
    "For each column `(sources, rows)` (sources newest first; rows None for every row, or row "
    "indices into `ids`), the rows whose stored metadata differs (status 2 of "
    "`meta_status_across`) from their text in `metas`, the rows' JSON texts joined with "
    "newlines. Returns one list of row indices per column. Each row's text is parsed at most "
    "once for the whole call; with `parallel` the columns are checked side by side.";

PyObject* method_meta_status_columns(PyObject* /*self*/, Args& args) {
  using namespace fuse;
  std::vector<ColumnArg> columns;
  std::vector<std::string> ids;
  std::string metas;
  bool parallel = true;
  if (!args.get(0, columns) || !args.get(1, ids) || !args.get(2, metas) || !args.get(3, parallel)) return nullptr;

  std::vector<std::string_view> texts;
  if (!ids.empty()) {
    std::string_view rest(metas);
    for (;;) {
      const size_t nl = rest.find('\n');
      if (nl == std::string_view::npos) {
        texts.push_back(rest);
        break;
      }
      texts.push_back(rest.substr(0, nl));
      rest.remove_prefix(nl + 1);
    }
  }
  if (texts.size() != ids.size()) {
    return raise(PyExc::ValueError,
                 std::to_string(ids.size()) + " ids but " + std::to_string(texts.size()) + " metadata");
  }
  for (const ColumnArg& col : columns) {
    if (!col.rows) continue;
    for (uint64_t r : *col.rows) {
      if (r >= ids.size()) {
        return raise(PyExc::ValueError, "a row index is out of range for " + std::to_string(ids.size()) + " ids");
      }
    }
  }

  using Out = std::variant<std::vector<std::vector<uint64_t>>, PyErrValue>;
  Out out = without_gil([&]() -> Out {
    std::deque<CanonMeta> canon;
    std::vector<const CanonMeta*> all_refs;
    all_refs.reserve(texts.size());
    for (std::string_view t : texts) all_refs.push_back(&canon.emplace_back(t));
    const std::vector<std::string_view> all_ids = views(ids);

    std::atomic<bool> failed{false};
    // Checks one column; false (with `err` set) when a source cannot be opened.
    auto check = [&](const ColumnArg& col, std::vector<uint64_t>& result, std::optional<PyErrValue>& err) {
      auto opened = open_sources(col.sources);
      if (!opened) {
        err = std::move(opened).error();
        return false;
      }
      const auto indexes = raw(*opened);
      if (!col.rows) {
        const auto st = ivf_rabitq::scan::meta_status_across(indexes, all_ids, all_refs, parallel);
        for (size_t i = 0; i < st.size(); ++i) {
          if (st[i] == ivf_rabitq::scan::kStatusDifferent) result.push_back(i);
        }
        return true;
      }
      std::vector<std::string_view> sel_ids;
      std::vector<const CanonMeta*> sel_refs;
      sel_ids.reserve(col.rows->size());
      sel_refs.reserve(col.rows->size());
      for (uint64_t r : *col.rows) {
        sel_ids.push_back(all_ids[r]);
        sel_refs.push_back(all_refs[r]);
      }
      const auto st = ivf_rabitq::scan::meta_status_across(indexes, sel_ids, sel_refs, parallel);
      for (size_t j = 0; j < st.size(); ++j) {
        if (st[j] == ivf_rabitq::scan::kStatusDifferent) result.push_back((*col.rows)[j]);
      }
      return true;
    };

    std::vector<std::vector<uint64_t>> results(columns.size());
    std::vector<std::optional<PyErrValue>> errs(columns.size());
    if (parallel && columns.size() >= 2) {
      ivf_rabitq::parallel::for_each(columns.size(), 1, [&](size_t c) {
        if (failed.load(std::memory_order_relaxed)) return;
        if (!check(columns[c], results[c], errs[c])) failed.store(true, std::memory_order_relaxed);
      });
    } else {
      for (size_t c = 0; c < columns.size(); ++c) {
        if (!check(columns[c], results[c], errs[c])) break;
      }
    }
    for (auto& e : errs) {
      if (e) return std::move(*e);
    }
    return results;
  });
  if (auto* e = std::get_if<PyErrValue>(&out)) return e->raise();
  const auto& results = std::get<0>(out);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t c = 0; c < results.size(); ++c) {
    Ref inner = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results[c].size())));
    if (!inner) return nullptr;
    for (size_t i = 0; i < results[c].size(); ++i) {
      PyObject* v = PyLong_FromUnsignedLongLong(results[c][i]);
      if (!v) return nullptr;
      PyList_SetItem(inner.get(), static_cast<Py_ssize_t>(i), v);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), inner.release());
  }
  return list.release();
}

}  // namespace ivf_rabitq_py
