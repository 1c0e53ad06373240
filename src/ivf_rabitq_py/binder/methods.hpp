// Method and function tables. One declaration per method gives its name, its calling
// convention, its text signature and its prose; from it come the CPython entry point (with
// argument binding and the catch-all), the docstring "name(sig)\n--\n\n" + prose (from which
// CPython derives __text_signature__) and the binder's parameter list.
//
// Adding a method: write its body
//     PyObject* search(PyObject* self, Args& args);          // keyword / static keyword
//     PyObject* close(PyObject* self);                       // no arguments
// and add one line to the table, in table order:
//     keyword<"search", "($self, query, k, nprobe=32)", search>(kSearchDoc),
//     no_args<"close", "($self)", close>(kCloseDoc),
//     static_keyword<"tdql_fuse", "(n_cols, clauses)", tdql_fuse>(kFuseDoc),
// The body runs with the interpreter lock held, inside the catch-all (std::bad_alloc ->
// MemoryError, any other C++ exception -> PanicException); it returns a new reference, or
// nullptr with a Python exception set. For a static method `self` is null.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

// A string literal usable as a template argument.
template <size_t N>
struct FixedString {
  char s[N];
  constexpr FixedString(const char (&a)[N]) { std::copy_n(a, N, s); }  // NOLINT(implicit)
};

using KeywordBody = PyObject* (*)(PyObject* self, Args& args);
using NoArgsBody = PyObject* (*)(PyObject* self);
using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);

enum class Convention : unsigned char { Keyword, NoArgs, StaticKeyword };

struct MethodDecl {
  const char* name;
  const char* sig;  // text signature, e.g. "($self, ids, max_result_bytes=None)"
  Convention conv;
  FastcallFn fastcall;  // Keyword, StaticKeyword
  NoArgsFn noargs;      // NoArgs
  const char* doc;      // prose after the signature header (may be empty)
};

template <FixedString Name, FixedString Sig, KeywordBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig = Signature::parse(Name.s, Sig.s);
    Args bound;
    if (!bound.bind(sig, args, nargs, kwnames)) return nullptr;
    return Body(self, bound);
  });
}

template <NoArgsBody Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* { return Body(self); });
}

template <FixedString Name, FixedString Sig, KeywordBody Body>
constexpr MethodDecl keyword(const char* doc) {
  return MethodDecl{Name.s, Sig.s, Convention::Keyword, &fastcall_entry<Name, Sig, Body>, nullptr, doc};
}

template <FixedString Name, FixedString Sig, KeywordBody Body>
constexpr MethodDecl static_keyword(const char* doc) {
  return MethodDecl{Name.s, Sig.s, Convention::StaticKeyword, &fastcall_entry<Name, Sig, Body>, nullptr, doc};
}

template <FixedString Name, FixedString Sig, NoArgsBody Body>
constexpr MethodDecl no_args(const char* doc) {
  return MethodDecl{Name.s, Sig.s, Convention::NoArgs, nullptr, &noargs_entry<Body>, doc};
}

// "name" + "sig" + "\n--\n\n" + "prose".
std::string docstring(const MethodDecl& d);

// A null-terminated PyMethodDef array for the declarations, built once per call and kept
// for the life of the process (CPython keeps pointers into it).
PyMethodDef* method_defs(std::span<const MethodDecl> decls);

}  // namespace ivf_rabitq_py
