// How failures of code that runs without the interpreter lock reach Python: I/O errors
// become OSError (`io_err`), query paths carry a three-way `SearchErr`, and exceptions that
// must travel on as plain text are rendered "{type name}: {message}".
#pragma once

#include <string>
#include <utility>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

// OSError whose only argument is the I/O error's display text ("{strerror} (os error {n})"
// for a system error, the message alone for an engine error). No subclass mapping: a missing
// file gives OSError, not FileNotFoundError.
inline PyErrValue io_err(const ivf_rabitq::IoError& e) { return PyErrValue{PyExc::OSError, e.text()}; }
// OSError whose only argument is `text`.
inline PyErrValue io_err(std::string text) { return PyErrValue{PyExc::OSError, std::move(text)}; }

// The OSError subclass that matches the error's kind (FileNotFoundError for not found,
// PermissionError, FileExistsError, BlockingIOError, TimeoutError, InterruptedError, the
// connection errors and BrokenPipeError by errno; OSError otherwise), with the display text
// as its only argument. Used by the steps of the directory swap.
PyErrValue io_err_by_kind(const ivf_rabitq::IoError& e);

// The error of query paths computed without the interpreter lock.
struct SearchErr {
  enum class Kind : uint8_t { Io, Invalid, Runtime };
  Kind kind;
  std::string text;

  static SearchErr io(std::string t) { return {Kind::Io, std::move(t)}; }
  static SearchErr io(const ivf_rabitq::IoError& e) { return {Kind::Io, e.text()}; }
  static SearchErr invalid(std::string t) { return {Kind::Invalid, std::move(t)}; }
  static SearchErr runtime(std::string t) { return {Kind::Runtime, std::move(t)}; }
};

// The one place where a query-path error becomes a Python exception: Io -> OSError,
// Invalid -> ValueError, Runtime -> RuntimeError, the text unchanged.
PyErrValue map_search_err(SearchErr e);

// ValueError carrying `text`.
inline PyErrValue value_err(std::string text) { return PyErrValue{PyExc::ValueError, std::move(text)}; }

// The text of handles that hold no index and find none built.
inline constexpr const char* kNotBuilt = "index not built/opened";

}  // namespace ivf_rabitq_py
