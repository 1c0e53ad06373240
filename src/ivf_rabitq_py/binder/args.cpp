#include "ivf_rabitq_py/binder/args.hpp"

#include "ivf_rabitq_py/binder/errors.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <cmath>
#include <cstring>

namespace ivf_rabitq_py {

using ivf_rabitq::Result;

// ---------------------------------------------------------------------------------------
// Signatures and binding
// ---------------------------------------------------------------------------------------

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string plural(size_t n, const char* word) {
  std::string s = std::to_string(n) + " " + word;
  if (n != 1) s += "s";
  return s;
}

}  // namespace

Signature Signature::parse(std::string_view fn_name, std::string_view text_sig) {
  Signature sig;
  sig.fn_name = std::string(fn_name);
  std::string_view s = trim(text_sig);
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
  while (!s.empty()) {
    const size_t comma = s.find(',');
    std::string_view part = trim(s.substr(0, comma));
    s = comma == std::string_view::npos ? std::string_view() : s.substr(comma + 1);
    if (part.empty() || part.front() == '$') continue;
    const size_t eq = part.find('=');
    sig.names.emplace_back(trim(part.substr(0, eq)));
    sig.required.push_back(eq == std::string_view::npos);
  }
  return sig;
}

bool Args::bind_core(const Signature& sig, PyObject* const* pos, size_t npos) {
  sig_ = &sig;
  n_ = sig.names.size();
  if (n_ > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters in a method declaration");
    return false;
  }
  if (npos > n_) {
    std::string msg = sig.fn_name + "() takes at most " + plural(n_, "argument") + " (" + std::to_string(npos) +
                      " given)";
    raise(PyExc::TypeError, msg);
    return false;
  }
  for (size_t i = 0; i < npos; ++i) slots_[i] = Ref::borrow(pos[i]);
  return true;
}

bool Args::bind_keyword(PyObject* name, PyObject* value) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  if (!s) {
    if (!PyErr_Occurred()) raise(PyExc::TypeError, sig_->fn_name + "() keywords must be strings");
    return false;
  }
  const std::string_view key(s, static_cast<size_t>(len));
  for (size_t i = 0; i < n_; ++i) {
    if (sig_->names[i] != key) continue;
    if (slots_[i]) {
      raise(PyExc::TypeError, sig_->fn_name + "() got multiple values for argument '" + std::string(key) + "'");
      return false;
    }
    slots_[i] = Ref::borrow(value);
    return true;
  }
  raise(PyExc::TypeError, sig_->fn_name + "() got an unexpected keyword argument '" + std::string(key) + "'");
  return false;
}

bool Args::check_required() {
  for (size_t i = 0; i < n_; ++i) {
    if (sig_->required[i] && !slots_[i]) {
      raise(PyExc::TypeError, sig_->fn_name + "() missing required argument '" + sig_->names[i] + "' (pos " +
                                  std::to_string(i + 1) + ")");
      return false;
    }
  }
  return true;
}

bool Args::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_core(sig, args, static_cast<size_t>(nargs))) return false;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (!name || !bind_keyword(name, args[nargs + k])) return false;
    }
  }
  return check_required();
}

bool Args::bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  if (npos < 0) return false;
  std::array<PyObject*, kMaxParams + 1> pos{};
  const size_t take = std::min<size_t>(static_cast<size_t>(npos), kMaxParams + 1);
  for (size_t i = 0; i < take; ++i) pos[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  // More positional arguments than parameters fail in bind_core before `pos` is read past
  // `take`; report the real count.
  if (static_cast<size_t>(npos) > sig.names.size()) {
    sig_ = &sig;
    n_ = sig.names.size();
    raise(PyExc::TypeError, sig.fn_name + "() takes at most " + plural(n_, "argument") + " (" +
                                std::to_string(npos) + " given)");
    return false;
  }
  if (!bind_core(sig, pos.data(), static_cast<size_t>(npos))) return false;
  if (kwargs) {
    Py_ssize_t it = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(kwargs, &it, &k, &v)) {
      if (!bind_keyword(k, v)) return false;
    }
  }
  return check_required();
}

bool wrap_arg_error(std::string_view name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  Ref text = value ? Ref::steal(PyObject_Str(value.get())) : Ref();
  Py_ssize_t n = 0;
  const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
  if (!s) {
    PyErr_Clear();
    s = "", n = 0;
  }
  std::string msg = "argument '" + std::string(name) + "': " + std::string(s, static_cast<size_t>(n));
  raise(PyExc::TypeError, msg);
  return false;
}

// ---------------------------------------------------------------------------------------
// Converters
// ---------------------------------------------------------------------------------------

namespace {

bool expected(const char* what, PyObject* o) {
  raise(PyExc::TypeError, std::string("expected ") + what + ", got " + type_name(o));
  return false;
}

bool to_u64(PyObject* o, unsigned long long& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) return false;
  out = PyLong_AsUnsignedLongLong(idx.get());
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

}  // namespace

bool From<uint64_t>::convert(PyObject* o, uint64_t& out) {
  unsigned long long v = 0;
  if (!to_u64(o, v)) return false;
  out = v;
  return true;
}

bool From<uint32_t>::convert(PyObject* o, uint32_t& out) {
  unsigned long long v = 0;
  if (!to_u64(o, v)) return false;
  if (v > 0xFFFFFFFFull) {
    raise(PyExc::OverflowError, "int too big to convert to a 32-bit unsigned integer");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

namespace {

// Round to nearest float32; magnitudes from halfway between FLT_MAX and 2^128 upwards
// become infinities (that halfway point rounds to even, i.e. up). Spelled out because a
// plain cast of an out-of-range double is undefined. Every NaN becomes the quiet NaN.
float narrow_to_f32(double d) {
  constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  if (d > static_cast<double>(std::numeric_limits<float>::max())) return std::numeric_limits<float>::max();
  if (d < -static_cast<double>(std::numeric_limits<float>::max())) return -std::numeric_limits<float>::max();
  return static_cast<float>(d);
}

}  // namespace

bool From<float>::convert(PyObject* o, float& out) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = narrow_to_f32(d);
  return true;
}

// Whether type t's __module__ is "numpy" (numpy is never imported here: its types are
// recognised by name and module). Clears any error the lookup raised.
static bool type_from_numpy(PyTypeObject* t) {
  Ref mod = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  Py_ssize_t n = 0;
  const char* s = mod && PyUnicode_Check(mod.get()) ? PyUnicode_AsUTF8AndSize(mod.get(), &n) : nullptr;
  PyErr_Clear();
  return s != nullptr && std::string_view(s, static_cast<size_t>(n)) == "numpy";
}

bool From<bool>::convert(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  // numpy's boolean scalars (numpy.bool_, named numpy.bool from numpy 2) count as bools.
  const std::string name = type_name(o);
  if (name == "bool_" || name == "bool") {
    if (type_from_numpy(Py_TYPE(o))) {
      const int t = PyObject_IsTrue(o);
      if (t < 0) return false;
      out = t != 0;
      return true;
    }
  }
  return expected("bool", o);
}

bool From<StrView>::convert(PyObject* o, StrView& out) {
  if (!PyUnicode_Check(o)) return expected("str", o);
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out.text = std::string_view(s, static_cast<size_t>(n));
  return true;
}

bool From<std::string>::convert(PyObject* o, std::string& out) {
  StrView v;
  if (!From<StrView>::convert(o, v)) return false;
  out.assign(v.text);
  return true;
}

bool From<BytesView>::convert(PyObject* o, BytesView& out) {
  if (!PyBytes_Check(o)) return expected("bytes", o);
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &data, &n) != 0) return false;
  out.data = data;
  out.size = static_cast<size_t>(n);
  return true;
}

Py_ssize_t sequence_length(PyObject* o) {
  if (PyUnicode_Check(o)) {
    raise(PyExc::TypeError, "a str is not accepted where a list is expected");
    return -1;
  }
  if (!PySequence_Check(o)) {
    expected("a sequence", o);
    return -1;
  }
  return PySequence_Size(o);
}

bool From<SparsePair>::convert(PyObject* o, SparsePair& out) {
  if (!PyTuple_Check(o)) return expected("tuple", o);
  const Py_ssize_t n = PyTuple_Size(o);
  if (n < 0) return false;
  if (n != 2) {
    raise(PyExc::ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(n));
    return false;
  }
  Ref term = Ref::borrow(PyTuple_GetItem(o, 0));
  Ref weight = Ref::borrow(PyTuple_GetItem(o, 1));
  if (!term || !weight) return false;
  return From<uint32_t>::convert(term.get(), out.first) && From<float>::convert(weight.get(), out.second);
}

// ---------------------------------------------------------------------------------------
// Vectors and validation
// ---------------------------------------------------------------------------------------

Result<std::span<const float>, PyErrValue> as_f32_slice(const char* data, size_t len, size_t expected_count,
                                                        std::vector<float>& scratch) {
  if (len % 4 != 0) {
    return value_err("vector bytes length " + std::to_string(len) + " is not a multiple of 4 (little-endian f32)");
  }
  const size_t n = len / 4;
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) == 0 && n == expected_count) {
    return std::span<const float>(reinterpret_cast<const float*>(data), n);
  }
  scratch.resize(n);
  if (n != 0) std::memcpy(scratch.data(), data, len);  // the host is little-endian
  return std::span<const float>(scratch.data(), n);
}

namespace {

// numpy's array type once an object of it has been seen (a reference to it is kept, so the
// pointer stays valid), for a pointer comparison on later calls.
PyTypeObject* g_ndarray = nullptr;

// Whether `o` is exactly a numpy.ndarray (not a subclass: a subclass may give its items
// other values than its buffer holds). numpy is never imported here: the type is recognised
// by its name and module.
bool is_ndarray(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  if (t == g_ndarray) return true;
  if (g_ndarray != nullptr || PyList_Check(o) || PyTuple_Check(o)) return false;
  if (type_name(o) != "ndarray" || !type_from_numpy(t)) return false;
  Py_INCREF(reinterpret_cast<PyObject*>(t));
  g_ndarray = t;
  return true;
}

// A one-dimensional array of float32 or float64 in the host's byte order, read from its
// buffer: the same floats as converting item by item (each item as a Python float, narrowed
// to float32), without a Python object per item. False, with no error set, for any other
// array (the caller then reads it item by item).
bool read_float_array(PyObject* o, std::vector<float>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const char* f = view.format != nullptr ? view.format : "B";
  if (*f == '@' || *f == '=' || *f == '<') ++f;  // the host is little-endian
  const bool f32 = f[0] == 'f' && f[1] == '\0' && view.itemsize == 4;
  const bool f64 = f[0] == 'd' && f[1] == '\0' && view.itemsize == 8;
  const bool ok = view.ndim == 1 && view.shape != nullptr && (f32 || f64);
  if (ok) {
    const size_t n = static_cast<size_t>(view.shape[0]);
    const Py_ssize_t step = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* p = static_cast<const char*>(view.buf);
    out.resize(n);
    for (size_t i = 0; i < n; ++i, p += step) {
      double d;
      if (f32) {
        float v;
        std::memcpy(&v, p, 4);
        d = v;
      } else {
        std::memcpy(&d, p, 8);
      }
      out[i] = narrow_to_f32(d);
    }
  }
  PyBuffer_Release(&view);
  return ok;
}

}  // namespace

bool read_f32_vector(PyObject* o, size_t dim, std::vector<float>& scratch, std::span<const float>& out) {
  if (!PyBytes_Check(o) && is_ndarray(o) && read_float_array(o, scratch)) {
    out = std::span<const float>(scratch.data(), scratch.size());
    return true;
  }
  if (PyBytes_Check(o)) {
    BytesView b;
    if (!From<BytesView>::convert(o, b)) return false;
    auto r = as_f32_slice(b.data, b.size, dim, scratch);
    if (!r) {
      r.error().raise();
      return false;
    }
    out = r.value();
    return true;
  }
  if (!From<std::vector<float>>::convert(o, scratch)) return false;
  out = std::span<const float>(scratch.data(), scratch.size());
  return true;
}

size_t first_non_finite(std::span<const float> v) {
  constexpr size_t kBlock = 256;
  const size_t n = v.size();
  const float* p = v.data();
  for (size_t b = 0; b < n; b += kBlock) {
    const size_t e = std::min(n, b + kBlock);
    uint32_t bad = 0;
    for (size_t i = b; i < e; ++i) {
      uint32_t u;
      std::memcpy(&u, p + i, 4);
      bad |= static_cast<uint32_t>((u & 0x7F800000u) == 0x7F800000u);
    }
    if (bad) {
      for (size_t i = b; i < e; ++i) {
        if (!std::isfinite(p[i])) return i;
      }
    }
  }
  return n;
}

std::string fmt_f32(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // The exponent form carries the shortest round-trip digits; the fixed form would print
  // every digit of the exact binary value of a large float ("1000000015047466219876688855040"
  // for 1e30f). The digits are placed around the decimal point here instead.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (!s.empty() && s.front() == '-') {
    out += '-';
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e)) {
    if (c != '.') digits += c;
  }
  std::string_view exp_text = s.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  if (digits == "0") return out + "0";
  // Digits before the decimal point: the leading digit stands for 10^exp.
  const long point = static_cast<long>(exp) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

std::string fmt_f64_exp(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, r.ptr);
  const size_t e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e), exp = s.substr(e + 1);
  bool neg = false;
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
    neg = exp[0] == '-';
    exp.erase(0, 1);
  }
  while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
  return mant + "e" + (neg ? "-" : "") + exp;
}

std::string non_finite_err(std::string_view label, size_t index, float value) {
  return std::string(label) + " has a non-finite component at index " + std::to_string(index) + " (" +
         fmt_f32(value) + "); a NaN/inf vector cannot be ranked";
}

Result<void, PyErrValue> require_finite_vec(std::span<const float> v, std::string_view label) {
  const size_t i = first_non_finite(v);
  if (i == v.size()) return {};
  return value_err(non_finite_err(label, i, v[i]));
}

double squared_norm_f64(std::span<const float> v) {
  const size_t n = v.size(), whole = n / 4 * 4;
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (size_t i = 0; i < whole; i += 4) {
    const double a = v[i], b = v[i + 1], c = v[i + 2], d = v[i + 3];
    s0 += a * a;
    s1 += b * b;
    s2 += c * c;
    s3 += d * d;
  }
  double s = (s0 + s1) + (s2 + s3);
  for (size_t i = whole; i < n; ++i) {
    const double a = v[i];
    s += a * a;
  }
  return s;
}

Result<void, PyErrValue> require_finite(std::span<const float> q) {
  if (auto r = require_finite_vec(q, "query"); !r) return std::move(r).error();
  const double norm = squared_norm_f64(q);
  if (norm > kSquaredNormLimit) {
    return value_err("query is too large to rank: its squared L2 norm " + fmt_f64_exp(norm) +
                     " overflows float32 distances (limit " + fmt_f64_exp(kSquaredNormLimit) + ")");
  }
  return {};
}

Result<void, PyErrValue> require_finite_sparse(std::span<const SparsePair> pairs) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!std::isfinite(pairs[i].second)) {
      return value_err("sparse query has a non-finite weight at position " + std::to_string(i) + " (" +
                       fmt_f32(pairs[i].second) + "); a NaN/inf sparse weight cannot be ranked");
    }
  }
  return {};
}

Result<void, PyErrValue> require_finite_sparse_write(std::span<const SparsePair> pairs) {
  for (const SparsePair& p : pairs) {
    if (!std::isfinite(p.second)) {
      return value_err("sparse weight " + fmt_f32(p.second) + " for term " + std::to_string(p.first) +
                       " is not finite; a NaN/inf sparse weight cannot be ranked");
    }
  }
  return {};
}

Result<std::vector<float>, PyErrValue> source_queries(std::span<const uint32_t> dims, const char* data, size_t len) {
  if (dims.empty()) return std::vector<float>();
  const uint32_t d = dims[0];
  bool ok = d != 0 && len != 0 && len % (4 * static_cast<size_t>(d)) == 0;
  for (uint32_t x : dims) ok = ok && x == d;
  if (!ok) {
    return value_err("queries must be whole " + std::to_string(d) +
                     "-dim little-endian f32 vectors for sources of one dim, got " + std::to_string(len) + " bytes");
  }
  std::vector<float> scratch;
  auto view = as_f32_slice(data, len, len / 4, scratch);
  if (!view) return std::move(view).error();
  std::vector<float> out(view->begin(), view->end());
  if (auto r = require_finite(out); !r) return std::move(r).error();
  return out;
}

}  // namespace ivf_rabitq_py
