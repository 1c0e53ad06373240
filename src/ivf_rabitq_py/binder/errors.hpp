// How failures of code that runs without the interpreter lock reach Python. There is one
// carrier, PyErrValue (binder/py.hpp): an exception type and its message, made and moved
// without the interpreter lock and raised once it is held again. The helpers below make the
// values each path needs: I/O errors as OSError (`io_err`) or as the matching subclass
// (`io_err_by_kind`), bad input as ValueError, a missing index as RuntimeError, and an
// exception that travels on as the text of an OSError ("{type name}: {message}",
// `as_os_err_text`).
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

// ValueError carrying `text`.
inline PyErrValue value_err(std::string text) { return PyErrValue{PyExc::ValueError, std::move(text)}; }
// RuntimeError carrying `text`.
inline PyErrValue runtime_err(std::string text) { return PyErrValue{PyExc::RuntimeError, std::move(text)}; }

// The exception `e` carried on as an OSError whose message is `e` rendered ("OSError: ...",
// "RuntimeError: index not built/opened"): the form of paths that report every failure of
// their unlocked part as one OSError (add, delete, the exclusive lock of maintenance).
inline PyErrValue as_os_err_text(const PyErrValue& e) { return io_err(e.render()); }

// The text of handles that hold no index and find none built.
inline constexpr const char* kNotBuilt = "index not built/opened";

}  // namespace ivf_rabitq_py
