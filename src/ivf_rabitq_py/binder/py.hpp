// The thin layer between CPython's stable ABI and our C++: owning references, interpreter
// lock guards, Python exceptions carried as plain C++ values while the interpreter lock is
// released, and the catch-all that every entry point runs its body in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace ivf_rabitq_py {

// ---------------------------------------------------------------------------------------
// Owning reference
// ---------------------------------------------------------------------------------------

// Owns one reference to a Python object (or nothing). Move-only. Must be created and
// destroyed with the interpreter lock held.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of a C API call returning one; may be null).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed object (may be null).
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up ownership: the caller now owns the reference (for returning to CPython).
  PyObject* release() { return std::exchange(p_, nullptr); }
  // A new reference to the same object, for returning while keeping this one.
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Interpreter lock
// ---------------------------------------------------------------------------------------

// Releases the interpreter lock for its lifetime and takes it back on destruction, also
// when a C++ exception unwinds through it (the entry point's catch-all then runs with the
// lock held). No Python object may be touched while it is alive.
class GilRelease {
 public:
  GilRelease() : ts_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(ts_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* ts_;
};

// Runs `f` with the interpreter lock released and returns its result. `f` must not touch
// Python objects; its errors travel back as values (PyErrValue, binder/errors.hpp).
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease release;
  return std::forward<F>(f)();
}

// Takes the interpreter lock for its lifetime from a thread that may or may not hold it.
class GilAcquire {
 public:
  GilAcquire() : st_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(st_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE st_;
};

// ---------------------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------------------

// The Python exception types this module raises by name.
enum class PyExc : uint8_t {
  OSError,
  ValueError,
  RuntimeError,
  TypeError,
  OverflowError,
  ImportError,
  MemoryError,
  NotImplementedError,
  FileNotFoundError,
  PermissionError,
  FileExistsError,
  BlockingIOError,
  TimeoutError,
  InterruptedError,
  ConnectionRefusedError,
  ConnectionResetError,
  ConnectionAbortedError,
  BrokenPipeError,
};

// The type's qualified name ("OSError").
const char* exc_name(PyExc e);
// The type object (borrowed; builtin types live for the whole process).
PyObject* exc_type(PyExc e);

// Sets the Python error indicator to `type(text)` (the text is the exception's only
// argument) and returns nullptr, so entry points can write `return raise(...)`.
PyObject* raise(PyExc type, std::string_view text);
PyObject* raise(PyObject* type, std::string_view text);

// A Python exception not yet raised: its type and message. Made, moved and rendered without
// the interpreter lock; raised once the lock is held again.
struct PyErrValue {
  PyExc type = PyExc::OSError;
  std::string text;

  // "{type name}: {text}", the form used where an error travels on as plain text.
  std::string render() const;
  // Raises it (interpreter lock held); returns nullptr.
  PyObject* raise() const { return ivf_rabitq_py::raise(type, text); }
};

// Renders the current Python exception (error indicator set) to text and clears it:
// "{qualified type name}: {str(value)}", or "{name}: <exception str() failed>" when str()
// itself raises. Takes the interpreter lock for its duration, so it may be called by a
// thread that released it.
std::string render_current_exception();

// The exception raised for an unexpected C++ exception at the Python boundary: a subclass
// of BaseException named `tandrel.PanicException`, created at its first use.
PyObject* panic_exception_type();
PyObject* raise_panic(std::string_view what);

// Runs an entry point's body: std::bad_alloc becomes MemoryError, any other C++ exception
// PanicException. The interpreter lock must be held on entry (and is again on exit, since
// GilRelease re-takes it while unwinding). `R` is PyObject* or int.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  constexpr R fail = [] {
    if constexpr (std::is_pointer_v<R>) return R{nullptr};
    else return R{-1};
  }();
  try {
    return std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return fail;
  } catch (const std::exception& e) {
    raise_panic(e.what());
    return fail;
  } catch (...) {
    raise_panic("unknown C++ exception");
    return fail;
  }
}

// ---------------------------------------------------------------------------------------
// Small object helpers
// ---------------------------------------------------------------------------------------

// The type name of an object for messages ("int", "list"); "object" when unavailable.
std::string type_name(PyObject* o);
// A new str from UTF-8 bytes (invalid sequences replaced); null with an exception on failure.
Ref str_from(std::string_view s);
// Returns a new reference to None.
inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* boolean(bool b) { return PyBool_FromLong(b ? 1 : 0); }

}  // namespace ivf_rabitq_py
