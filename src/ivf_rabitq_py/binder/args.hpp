// Argument binding, conversion and validation shared by every Python method and function.
//
// Binding: parameters are positional-or-keyword with the names and defaults of the method's
// text signature (parsed from the same declaration that produces the docstring). Missing
// required arguments, unknown keywords, values given twice and too many positional
// arguments raise TypeError.
//
// Conversion (`Args::get`): arguments are converted in parameter order by the method body;
// a conversion TypeError is re-raised as TypeError "argument '{name}': {message}"; an
// OverflowError or ValueError passes unchanged. Supported target types:
//   uint32_t, uint64_t/size_t   int or any object with __index__, 0..max (else OverflowError)
//   float (float32)              anything that converts as a Python float, narrowed to the
//                                nearest float32 (beyond the range: +-inf)
//   bool                         True/False (and numpy booleans); ints are refused
//   std::string, StrView         str (StrView borrows the UTF-8 of the held object)
//   BytesView                    bytes or a subclass, read in place
//   std::vector<T>               any sequence except str, items converted one by one
//   SparsePair                   a tuple (or subclass) of exactly (u32 term, float32 weight)
//   std::optional<T>             None -> nullopt
//   PyObject*                    the object itself (borrowed for the call)
// Everything here runs with the interpreter lock held. Views (StrView, BytesView, an
// in-place float32 vector) stay valid while the Args object lives: it owns a reference to
// every bound argument.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

// ---------------------------------------------------------------------------------------
// Signatures and binding
// ---------------------------------------------------------------------------------------

inline constexpr size_t kMaxParams = 16;

// A text signature such as "($self, query, k, nprobe=32)": the parameter names in order
// and whether each is required (has no default). "$self" is not a parameter.
struct Signature {
  std::string fn_name;  // as shown in binding errors ("search")
  std::vector<std::string> names;
  std::vector<bool> required;

  static Signature parse(std::string_view fn_name, std::string_view text_sig);
};

// The bound arguments of one call, each held by an owning reference (null when absent).
class Args {
 public:
  // Binds a vectorcall argument vector (METH_FASTCALL | METH_KEYWORDS). False with TypeError
  // set when binding fails.
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Binds a (tuple, dict) call, as tp_new receives it.
  bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);

  size_t size() const { return n_; }
  // The bound object (borrowed from this Args) or null when the argument was not given.
  PyObject* operator[](size_t i) const { return slots_[i].get(); }
  bool given(size_t i) const { return slots_[i].get() != nullptr; }
  const std::string& name(size_t i) const { return sig_->names[i]; }

  // Converts argument i into `out`. An absent argument leaves `out` untouched (so the
  // caller's initial value is the default). False with the Python error set on failure.
  template <class T>
  bool get(size_t i, T& out) const;

 private:
  bool bind_core(const Signature& sig, PyObject* const* pos, size_t npos);
  bool bind_keyword(PyObject* name, PyObject* value);
  bool check_required();

  const Signature* sig_ = nullptr;
  size_t n_ = 0;
  std::array<Ref, kMaxParams> slots_;
};

// Re-raises a pending TypeError as TypeError "argument '{name}': {message}"; other errors
// stay as they are. Returns false, for `return wrap_arg_error(...)`.
bool wrap_arg_error(std::string_view name);

// ---------------------------------------------------------------------------------------
// Converters
// ---------------------------------------------------------------------------------------

// UTF-8 of a str argument, borrowed from the object the Args holds.
struct StrView {
  std::string_view text;
};

// The buffer of a bytes argument, read in place (borrowed from the object the Args holds).
struct BytesView {
  const char* data = nullptr;
  size_t size = 0;
};

// (term, weight) of a sparse list.
using SparsePair = std::pair<uint32_t, float>;

// From<T>::convert(obj, out): false with a Python exception set on failure.
template <class T>
struct From;

template <>
struct From<uint32_t> {
  static bool convert(PyObject* o, uint32_t& out);
};
template <>
struct From<uint64_t> {
  static bool convert(PyObject* o, uint64_t& out);
};
template <>
struct From<float> {
  static bool convert(PyObject* o, float& out);
};
template <>
struct From<bool> {
  static bool convert(PyObject* o, bool& out);
};
template <>
struct From<std::string> {
  static bool convert(PyObject* o, std::string& out);
};
template <>
struct From<StrView> {
  static bool convert(PyObject* o, StrView& out);
};
template <>
struct From<BytesView> {
  static bool convert(PyObject* o, BytesView& out);
};
template <>
struct From<SparsePair> {
  static bool convert(PyObject* o, SparsePair& out);
};
template <>
struct From<PyObject*> {
  static bool convert(PyObject* o, PyObject*& out) {
    out = o;
    return true;
  }
};

// Refuses a str and anything that is not a sequence; returns the length, or -1 with
// TypeError set.
Py_ssize_t sequence_length(PyObject* o);

template <class T>
struct From<std::vector<T>> {
  static bool convert(PyObject* o, std::vector<T>& out) {
    const Py_ssize_t n = sequence_length(o);
    if (n < 0) return false;
    out.clear();
    // The length comes from the caller's object (a custom __len__ may say anything): never
    // reserve more than a modest amount up front.
    out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(n, 4096)));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = Ref::steal(PySequence_GetItem(o, i));
      if (!item) return false;
      T v{};
      if (!From<T>::convert(item.get(), v)) return false;
      out.push_back(std::move(v));
    }
    return true;
  }
};

template <class T>
struct From<std::optional<T>> {
  static bool convert(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
      out.reset();
      return true;
    }
    T v{};
    if (!From<T>::convert(o, v)) return false;
    out = std::move(v);
    return true;
  }
};

template <class T>
bool Args::get(size_t i, T& out) const {
  PyObject* o = slots_[i].get();
  if (!o) return true;
  if (From<T>::convert(o, out)) return true;
  return wrap_arg_error(sig_->names[i]);
}

// ---------------------------------------------------------------------------------------
// Vectors and validation
// ---------------------------------------------------------------------------------------

// Bytes to a float32 view: in place when 4-byte aligned and exactly `expected` floats long,
// otherwise copied (little-endian) into `scratch`. The view always holds len / 4 floats;
// checking the count is the caller's job. ValueError when len is not a multiple of 4.
ivf_rabitq::Result<std::span<const float>, PyErrValue> as_f32_slice(const char* data, size_t len, size_t expected,
                                                                     std::vector<float>& scratch);

// Reads a vector argument (`add`'s vector, a search query): bytes through `as_f32_slice`
// (its ValueError raised), anything else as a sequence of floats narrowed to
// float32 into `scratch`, its errors raised unchanged (no argument name). False with the
// Python error set. The caller checks the count against its dim. A one-dimensional
// numpy.ndarray of float32 or float64 is read from its buffer into `scratch` (the same
// floats as item by item, without a Python object per item).
bool read_f32_vector(PyObject* o, size_t dim, std::vector<float>& scratch, std::span<const float>& out);

// Index of the first NaN or infinite component, or v.size() when all are finite.
size_t first_non_finite(std::span<const float> v);

// "{label} has a non-finite component at index {i} ({value}); a NaN/inf vector cannot be ranked"
std::string non_finite_err(std::string_view label, size_t index, float value);

// The first non-finite component as a ValueError (`non_finite_err`).
ivf_rabitq::Result<void, PyErrValue> require_finite_vec(std::span<const float> v, std::string_view label);

// Squared L2 norm in double: four lanes over whole groups of four, (s0 + s1) + (s2 + s3),
// then the remaining components in order.
double squared_norm_f64(std::span<const float> v);

// The largest finite float32 divided by 4: squared norms above it overflow float32 distances.
inline constexpr double kSquaredNormLimit = 8.5070586659632215e37;

// One dense query: finiteness (label "query"), then the squared-norm limit; ValueError.
ivf_rabitq::Result<void, PyErrValue> require_finite(std::span<const float> q);

// Sparse query weights (ValueError naming the position) and stored sparse weights
// (ValueError naming weight and term); terms are not examined.
ivf_rabitq::Result<void, PyErrValue> require_finite_sparse(std::span<const SparsePair> pairs);
ivf_rabitq::Result<void, PyErrValue> require_finite_sparse_write(std::span<const SparsePair> pairs);

// The query buffer of one batch-lookup job: `dims` are the source handles' dims (in source
// order). Empty sources give an empty vector without looking at the bytes. Otherwise the
// bytes must be whole d-dim float32 vectors, d the first source's dim, every source of dim
// d; the floats are copied into an owned vector and checked once as a whole with
// `require_finite`.
ivf_rabitq::Result<std::vector<float>, PyErrValue> source_queries(std::span<const uint32_t> dims, const char* data,
                                                                  size_t len);

// ---------------------------------------------------------------------------------------
// Number formatting for messages
// ---------------------------------------------------------------------------------------

// A float32 as messages print it: "NaN", "inf", "-inf", or the shortest decimal that reads
// back to the same value, without exponent ("0.5", "1", "100000000000000000000").
std::string fmt_f32(float v);
// A double in exponent form: shortest round-trip digits, "e", exponent without "+" or
// leading zeros ("8.5070586659632215e37", "1e-5").
std::string fmt_f64_exp(double v);

}  // namespace ivf_rabitq_py
