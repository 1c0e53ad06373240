#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

const char* exc_name(PyExc e) {
  switch (e) {
    case PyExc::OSError: return "OSError";
    case PyExc::ValueError: return "ValueError";
    case PyExc::RuntimeError: return "RuntimeError";
    case PyExc::TypeError: return "TypeError";
    case PyExc::OverflowError: return "OverflowError";
    case PyExc::ImportError: return "ImportError";
    case PyExc::MemoryError: return "MemoryError";
    case PyExc::NotImplementedError: return "NotImplementedError";
    case PyExc::FileNotFoundError: return "FileNotFoundError";
    case PyExc::PermissionError: return "PermissionError";
    case PyExc::FileExistsError: return "FileExistsError";
    case PyExc::BlockingIOError: return "BlockingIOError";
    case PyExc::TimeoutError: return "TimeoutError";
    case PyExc::InterruptedError: return "InterruptedError";
    case PyExc::ConnectionRefusedError: return "ConnectionRefusedError";
    case PyExc::ConnectionResetError: return "ConnectionResetError";
    case PyExc::ConnectionAbortedError: return "ConnectionAbortedError";
    case PyExc::BrokenPipeError: return "BrokenPipeError";
  }
  return "OSError";
}

PyObject* exc_type(PyExc e) {
  switch (e) {
    case PyExc::OSError: return PyExc_OSError;
    case PyExc::ValueError: return PyExc_ValueError;
    case PyExc::RuntimeError: return PyExc_RuntimeError;
    case PyExc::TypeError: return PyExc_TypeError;
    case PyExc::OverflowError: return PyExc_OverflowError;
    case PyExc::ImportError: return PyExc_ImportError;
    case PyExc::MemoryError: return PyExc_MemoryError;
    case PyExc::NotImplementedError: return PyExc_NotImplementedError;
    case PyExc::FileNotFoundError: return PyExc_FileNotFoundError;
    case PyExc::PermissionError: return PyExc_PermissionError;
    case PyExc::FileExistsError: return PyExc_FileExistsError;
    case PyExc::BlockingIOError: return PyExc_BlockingIOError;
    case PyExc::TimeoutError: return PyExc_TimeoutError;
    case PyExc::InterruptedError: return PyExc_InterruptedError;
    case PyExc::ConnectionRefusedError: return PyExc_ConnectionRefusedError;
    case PyExc::ConnectionResetError: return PyExc_ConnectionResetError;
    case PyExc::ConnectionAbortedError: return PyExc_ConnectionAbortedError;
    case PyExc::BrokenPipeError: return PyExc_BrokenPipeError;
  }
  return PyExc_OSError;
}

PyObject* raise(PyObject* type, std::string_view text) {
  // The exception is built here (not left to lazy normalisation) so that it always carries
  // the message as its single argument, also for OSError, whose constructor would read a
  // 2-tuple as (errno, strerror).
  Ref msg = str_from(text);
  if (!msg) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
  if (!exc) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

PyObject* raise(PyExc type, std::string_view text) { return raise(exc_type(type), text); }

std::string PyErrValue::render() const {
  std::string out = exc_name(type);
  out += ": ";
  out += text;
  return out;
}

std::string render_current_exception() {
  GilAcquire gil;
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  std::string out = "<unknown>";
  if (type && PyType_Check(type.get())) {
    Ref qual = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type.get())));
    Py_ssize_t n = 0;
    const char* s = qual ? PyUnicode_AsUTF8AndSize(qual.get(), &n) : nullptr;
    if (s) out.assign(s, static_cast<size_t>(n));
    PyErr_Clear();
  }
  Ref text = value ? Ref::steal(PyObject_Str(value.get())) : Ref();
  Py_ssize_t n = 0;
  const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
  if (s) {
    out += ": ";
    out.append(s, static_cast<size_t>(n));
  } else {
    PyErr_Clear();
    out += ": <exception str() failed>";
  }
  return out;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // filled under the interpreter lock, never released
  if (!type) type = PyErr_NewException("tandrel.PanicException", PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_panic(std::string_view what) {
  PyObject* t = panic_exception_type();
  if (!t) return nullptr;
  return raise(t, what);
}

std::string type_name(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  Py_ssize_t n = 0;
  const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return std::string(s, static_cast<size_t>(n));
}

Ref str_from(std::string_view s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace ivf_rabitq_py
