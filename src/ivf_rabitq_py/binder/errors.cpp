#include "ivf_rabitq_py/binder/errors.hpp"

#include <cerrno>

namespace ivf_rabitq_py {

PyErrValue io_err_by_kind(const ivf_rabitq::IoError& e) {
  using ivf_rabitq::ErrorKind;
  PyExc t = PyExc::OSError;
  switch (e.kind()) {
    case ErrorKind::NotFound: t = PyExc::FileNotFoundError; break;
    case ErrorKind::PermissionDenied: t = PyExc::PermissionError; break;
    case ErrorKind::AlreadyExists: t = PyExc::FileExistsError; break;
    case ErrorKind::WouldBlock: t = PyExc::BlockingIOError; break;
    case ErrorKind::TimedOut: t = PyExc::TimeoutError; break;
    case ErrorKind::Interrupted: t = PyExc::InterruptedError; break;
    default:
      // The engine's kinds do not name the connection errors; recognise them by errno.
      switch (e.os_code()) {
        case ECONNREFUSED: t = PyExc::ConnectionRefusedError; break;
        case ECONNRESET: t = PyExc::ConnectionResetError; break;
        case ECONNABORTED: t = PyExc::ConnectionAbortedError; break;
        case EPIPE: t = PyExc::BrokenPipeError; break;
        default: break;
      }
  }
  return PyErrValue{t, e.text()};
}

}  // namespace ivf_rabitq_py
