// `RabitqIndex.tdql_fuse`: the coordinator's multi-column fusion. Arguments are converted
// and the hit lists read with the interpreter lock held; the pool is built, banned and
// gated; the fill jobs (queries checked, caller tombstones tested) are prepared, still
// holding the lock. Only when some cell needs a lookup is the lock released, once, around
// the lookups, the scores and the top selection. The result tuple is built with the lock.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ivf_rabitq/search/distances.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"
#include "tdql_fuse/convert.hpp"
#include "tdql_fuse/pool.hpp"

namespace ivf_rabitq_py {

namespace fuse {

namespace {

// (column, weight, required, hits list) of `clauses`.
struct ClauseArg {
  uint32_t column = 0;
  double weight = 0.0;
  bool required = false;
  Ref hits;
};
// (factor, divisor, hits list) of `prefer`.
struct PreferArg {
  double factor = 0.0, divisor = 0.0;
  Ref hits;
};
// (required_all, minimum_required_match, minimum_should_match) of `gates`.
struct GatesArg {
  uint32_t required_all = 0;
  std::optional<I64> minimum_required_match;
  I64 minimum_should_match;
};
// (weight, query bytes) of a fill entry.
struct QueryArg {
  double weight = 0.0;
  OwnedBytes bytes;
};
// (sources, tombstones, queries) of `fill`.
struct FillArg {
  std::vector<OwnedHandle> sources;
  Ref tombstones;  // None or a container
  std::vector<QueryArg> queries;
};

bool hits_list(PyObject* o, Ref& out) {
  if (!PyList_Check(o)) return expected("list", o);
  out = Ref::borrow(o);
  return true;
}

}  // namespace
}  // namespace fuse

template <>
struct From<fuse::ClauseArg> {
  static bool convert(PyObject* o, fuse::ClauseArg& out) {
    if (!fuse::tuple_of(o, 4)) return false;
    fuse::F64 w;
    return From<uint32_t>::convert(PyTuple_GetItem(o, 0), out.column) &&
           From<fuse::F64>::convert(PyTuple_GetItem(o, 1), w) && (out.weight = w.v, true) &&
           From<bool>::convert(PyTuple_GetItem(o, 2), out.required) && fuse::hits_list(PyTuple_GetItem(o, 3), out.hits);
  }
};
template <>
struct From<fuse::PreferArg> {
  static bool convert(PyObject* o, fuse::PreferArg& out) {
    if (!fuse::tuple_of(o, 3)) return false;
    fuse::F64 f, d;
    if (!From<fuse::F64>::convert(PyTuple_GetItem(o, 0), f) || !From<fuse::F64>::convert(PyTuple_GetItem(o, 1), d))
      return false;
    out.factor = f.v;
    out.divisor = d.v;
    return fuse::hits_list(PyTuple_GetItem(o, 2), out.hits);
  }
};
template <>
struct From<fuse::GatesArg> {
  static bool convert(PyObject* o, fuse::GatesArg& out) {
    return fuse::tuple_of(o, 3) && From<uint32_t>::convert(PyTuple_GetItem(o, 0), out.required_all) &&
           From<std::optional<fuse::I64>>::convert(PyTuple_GetItem(o, 1), out.minimum_required_match) &&
           From<fuse::I64>::convert(PyTuple_GetItem(o, 2), out.minimum_should_match);
  }
};
template <>
struct From<fuse::QueryArg> {
  static bool convert(PyObject* o, fuse::QueryArg& out) {
    fuse::F64 w;
    if (!fuse::tuple_of(o, 2) || !From<fuse::F64>::convert(PyTuple_GetItem(o, 0), w)) return false;
    out.weight = w.v;
    return From<fuse::OwnedBytes>::convert(PyTuple_GetItem(o, 1), out.bytes);
  }
};
template <>
struct From<fuse::FillArg> {
  static bool convert(PyObject* o, fuse::FillArg& out) {
    if (!fuse::tuple_of(o, 3) || !From<std::vector<fuse::OwnedHandle>>::convert(PyTuple_GetItem(o, 0), out.sources))
      return false;
    out.tombstones = Ref::borrow(PyTuple_GetItem(o, 1));
    return From<std::vector<fuse::QueryArg>>::convert(PyTuple_GetItem(o, 2), out.queries);
  }
};

namespace fuse {
namespace {

// Reads a hits list by position while the position is below both its length at the start
// and its current length (a distance's __float__ may shrink it). Each item must be a tuple
// whose item 0 is a str and item 1 converts as a float; further items are ignored. The id
// objects are kept, with new references, in `objs`.
bool read_hits(PyObject* list, std::vector<tdql_fuse::Hit>& hits, std::vector<Ref>* objs) {
  const Py_ssize_t n0 = PyList_Size(list);
  for (Py_ssize_t i = 0; i < n0 && i < PyList_Size(list); ++i) {
    Ref item = Ref::borrow(PyList_GetItem(list, i));
    if (!item) return false;
    if (!PyTuple_Check(item.get())) return expected("tuple", item.get());
    Ref id = Ref::borrow(PyTuple_GetItem(item.get(), 0));
    if (!id) return false;
    tdql_fuse::Hit hit;
    if (!From<std::string>::convert(id.get(), hit.id)) return false;
    Ref dist = Ref::borrow(PyTuple_GetItem(item.get(), 1));
    if (!dist) return false;
    const double d = PyFloat_AsDouble(dist.get());
    if (d == -1.0 && PyErr_Occurred()) return false;
    hit.dist = d;
    hits.push_back(std::move(hit));
    if (objs) objs->push_back(std::move(id));
  }
  return true;
}

// A column's lookups, prepared with the interpreter lock held.
struct FillJob {
  size_t column = 0;
  std::vector<size_t> rows;
  std::vector<uint8_t> alive;
  std::vector<std::pair<double, std::vector<float>>> queries;
  const std::vector<OwnedHandle>* sources = nullptr;
};

// The lookups of every job, then the fills; the first source that cannot be opened ends it.
std::optional<PyErrValue> run_fills(tdql_fuse::Pool& pool, const std::vector<FillJob>& jobs, bool parallel) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (const FillJob& job : jobs) {
    auto opened = open_sources(*job.sources);
    if (!opened) return std::move(opened).error();
    if (job.queries.empty()) continue;
    const auto indexes = raw(*opened);
    std::vector<std::string_view> lookup;
    for (size_t i = 0; i < job.rows.size(); ++i) {
      if (job.alive[i]) lookup.push_back(pool.ids()[job.rows[i]]);
    }
    std::vector<std::pair<double, std::vector<double>>> per_query;
    per_query.reserve(job.queries.size());
    for (const auto& [w, floats] : job.queries) {
      std::vector<float> d;
      if (!lookup.empty()) d = ivf_rabitq::search::distances_across(indexes, lookup, floats, parallel);
      std::vector<double> spread(job.rows.size(), kNaN);
      size_t k = 0;
      for (size_t i = 0; i < job.rows.size(); ++i) {
        if (job.alive[i]) spread[i] = static_cast<double>(d[k++]);
      }
      per_query.emplace_back(w, std::move(spread));
    }
    pool.fill(job.column, job.rows, per_query);
  }
  return std::nullopt;
}

Ref f64_bytes(const std::vector<double>& v) {
  Ref b = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(v.size() * 8)));
  if (b && !v.empty()) std::memcpy(PyBytes_AsString(b.get()), v.data(), v.size() * 8);  // little-endian host
  return b;
}

Ref u8_bytes(const std::vector<uint8_t>& v) {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                              static_cast<Py_ssize_t>(v.size())));
}

}  // namespace
}  // namespace fuse

const char* const method_tdql_fuse_doc =
    "Fuse the hit lists of the match/must/should clauses in query order into one ranked pool. "
    "`clauses` holds (column, weight, required, [(id, distance), ...]) per clause; `divs` one "
    "distance divisor per column; `ban` None or the ids never returned; `gates` None or "
    "(number of distinct required columns under match mode all, or 0; minimum_required_match or "
    "None; minimum_should_match); `fill` per column its sources newest first, its tombstone set "
    "or None and the (weight, query bytes) pairs of its clauses, used to look up the cells a "
    "column's clauses did not return; `prefer` (factor, divisor, hits) boosts; `top` None or the "
    "number of best rows kept (ties kept). Returns (pooled ids, returned rows, their scores, "
    "distances, weights, matched, filled, first columns), the matrices as little-endian bytes in "
    "column-major order. The interpreter lock is released once, only when some row needs a lookup.";

PyObject* method_tdql_fuse(PyObject* /*self*/, Args& args) {
  using namespace fuse;
  uint32_t n_cols = 0;
  std::vector<ClauseArg> clause_args;
  std::vector<F64> div_args;
  PyObject* ban_arg = nullptr;
  std::optional<GatesArg> gates_arg;
  bool has_should = false;
  std::vector<FillArg> fill;
  std::vector<PreferArg> prefer_args;
  std::optional<uint32_t> top;
  bool parallel = false;
  if (!args.get(0, n_cols) || !args.get(1, clause_args) || !args.get(2, div_args) || !args.get(3, ban_arg) ||
      !args.get(4, gates_arg) || !args.get(5, has_should) || !args.get(6, fill) || !args.get(7, prefer_args) ||
      !args.get(8, top) || !args.get(9, parallel)) {
    return nullptr;
  }

  if (div_args.size() != n_cols || fill.size() != n_cols) {
    return raise(PyExc::ValueError, "tdql_fuse: " + std::to_string(n_cols) + " columns, " +
                                        std::to_string(div_args.size()) + " divisors, " +
                                        std::to_string(fill.size()) + " fill entries");
  }
  std::vector<tdql_fuse::Clause> clauses;
  std::vector<std::vector<Ref>> clause_ids;
  for (const ClauseArg& ca : clause_args) {
    if (ca.column >= n_cols) {
      return raise(PyExc::ValueError, "tdql_fuse: clause column " + std::to_string(ca.column) +
                                          " >= " + std::to_string(n_cols));
    }
    tdql_fuse::Clause cl;
    std::vector<Ref> objs;
    if (!read_hits(ca.hits.get(), cl.hits, &objs)) return nullptr;
    cl.column = ca.column;
    cl.weight = ca.weight;
    cl.required = ca.required;
    clauses.push_back(std::move(cl));
    clause_ids.push_back(std::move(objs));
  }
  std::vector<tdql_fuse::Prefer> prefer;
  for (const PreferArg& pa : prefer_args) {
    tdql_fuse::Prefer p;
    if (!read_hits(pa.hits.get(), p.hits, nullptr)) return nullptr;
    p.factor = pa.factor;
    p.divisor = pa.divisor;
    prefer.push_back(std::move(p));
  }
  std::unordered_set<std::string> ban;
  if (ban_arg != Py_None) {
    Ref it = Ref::steal(PyObject_GetIter(ban_arg));
    if (!it) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
      std::string s;
      if (!From<std::string>::convert(item.get(), s)) return nullptr;
      ban.insert(std::move(s));
    }
    if (PyErr_Occurred()) return nullptr;
  }

  std::optional<tdql_fuse::Gates> gates;
  if (gates_arg) {
    gates = tdql_fuse::Gates{gates_arg->required_all, std::nullopt, gates_arg->minimum_should_match.v};
    if (gates_arg->minimum_required_match) gates->minimum_required_match = gates_arg->minimum_required_match->v;
  }
  std::vector<double> divs;
  divs.reserve(div_args.size());
  for (const F64& d : div_args) divs.push_back(d.v);
  tdql_fuse::Pool pool(clauses, std::move(divs), ban, gates, has_should);

  // Fill jobs: only the columns that need lookups read their fill entry.
  std::vector<FillJob> jobs;
  for (auto& [c, rows] : pool.missing()) {
    const FillArg& fa = fill[c];
    FillJob job;
    job.column = c;
    job.sources = &fa.sources;
    const std::vector<uint32_t> dims = dims_of(fa.sources);
    for (const QueryArg& q : fa.queries) {
      auto floats = source_queries(dims, q.bytes.view.data, q.bytes.view.size);
      if (!floats) return floats.error().raise();
      job.queries.emplace_back(q.weight, std::move(floats).value());
    }
    job.alive.assign(rows.size(), 1);
    if (fa.tombstones.get() != Py_None) {
      const Py_ssize_t n = PyObject_Length(fa.tombstones.get());
      if (n < 0) return nullptr;
      if (n > 0) {
        for (size_t i = 0; i < rows.size(); ++i) {
          const auto [ci, hi] = pool.first()[rows[i]];
          const int dead = PySequence_Contains(fa.tombstones.get(), clause_ids[ci][hi].get());
          if (dead < 0) return nullptr;
          job.alive[i] = dead ? 0 : 1;
        }
      }
    }
    job.rows = std::move(rows);
    jobs.push_back(std::move(job));
  }

  std::optional<PyErrValue> err;
  tdql_fuse::Pool::Scored scored;
  const std::optional<size_t> top_n = top ? std::optional<size_t>(*top) : std::nullopt;
  if (!jobs.empty()) {
    FUSE_GIL_RELEASES.fetch_add(1, std::memory_order_relaxed);
    without_gil([&] {
      err = run_fills(pool, jobs, parallel);
      if (!err) scored = pool.score(prefer, top_n);
    });
  } else {
    scored = pool.score(prefer, top_n);
  }
  if (err) return err->raise();

  // The result: pooled id objects, returned rows and scores, the cell matrices as bytes.
  const size_t n_rows = pool.n_rows();
  Ref ids = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n_rows)));
  if (!ids) return nullptr;
  for (size_t r = 0; r < n_rows; ++r) {
    const auto [ci, hi] = pool.first()[r];
    PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(r), clause_ids[ci][hi].new_ref());
  }
  Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scored.rows.size())));
  Ref scores = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scored.rows.size())));
  if (!rows || !scores) return nullptr;
  for (size_t i = 0; i < scored.rows.size(); ++i) {
    PyObject* r = PyLong_FromSize_t(scored.rows[i]);
    if (!r) return nullptr;
    PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), r);
    PyObject* s = PyFloat_FromDouble(scored.scores[scored.rows[i]]);
    if (!s) return nullptr;
    PyList_SetItem(scores.get(), static_cast<Py_ssize_t>(i), s);
  }
  std::vector<uint8_t> first_col(n_rows);
  for (size_t r = 0; r < n_rows; ++r) {
    const size_t c = clauses[pool.first()[r].first].column;
    first_col[r] = static_cast<uint8_t>(c < 255 ? c : 255);
  }
  Ref items[8] = {std::move(ids),
                  std::move(rows),
                  std::move(scores),
                  f64_bytes(pool.dist()),
                  f64_bytes(pool.weight()),
                  u8_bytes(pool.matched()),
                  u8_bytes(pool.filled()),
                  u8_bytes(first_col)};
  Ref tuple = Ref::steal(PyTuple_New(8));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < 8; ++i) {
    if (!items[i]) return nullptr;
    PyTuple_SetItem(tuple.get(), i, items[i].release());
  }
  return tuple.release();
}

}  // namespace ivf_rabitq_py
