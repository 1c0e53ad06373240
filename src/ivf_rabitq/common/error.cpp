#include "ivf_rabitq/common/error.hpp"

#include <cstring>

namespace ivf_rabitq {

const char* kind_description(ErrorKind k) {
  switch (k) {
    case ErrorKind::NotFound: return "entity not found";
    case ErrorKind::PermissionDenied: return "permission denied";
    case ErrorKind::AlreadyExists: return "entity already exists";
    case ErrorKind::WouldBlock: return "operation would block";
    case ErrorKind::InvalidInput: return "invalid input parameter";
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::TimedOut: return "timed out";
    case ErrorKind::WriteZero: return "write zero";
    case ErrorKind::Interrupted: return "operation interrupted";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::UnexpectedEof: return "unexpected end of file";
    case ErrorKind::OutOfMemory: return "out of memory";
    case ErrorKind::NotADirectory: return "not a directory";
    case ErrorKind::IsADirectory: return "is a directory";
    case ErrorKind::DirectoryNotEmpty: return "directory not empty";
    case ErrorKind::ReadOnlyFilesystem: return "read-only filesystem or storage medium";
    case ErrorKind::StorageFull: return "no storage space";
    case ErrorKind::CrossesDevices: return "cross-device link or rename";
    case ErrorKind::Other: return "other error";
  }
  return "other error";
}

ErrorKind kind_from_errno(int e) {
  switch (e) {
    case ENOENT: return ErrorKind::NotFound;
    case EACCES:
    case EPERM: return ErrorKind::PermissionDenied;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EAGAIN: return ErrorKind::WouldBlock;
    case EINVAL: return ErrorKind::InvalidInput;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case EINTR: return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case EISDIR: return ErrorKind::IsADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ENOSPC: return ErrorKind::StorageFull;
    case EXDEV: return ErrorKind::CrossesDevices;
    default: return ErrorKind::Other;
  }
}

IoError IoError::os(int errnum) {
  IoError e;
  e.os_code_ = errnum;
  e.kind_ = kind_from_errno(errnum);
  return e;
}

IoError IoError::msg(ErrorKind kind, std::string text) {
  IoError e;
  e.kind_ = kind;
  e.has_msg_ = true;
  e.msg_ = std::move(text);
  return e;
}

IoError IoError::kind_only(ErrorKind kind) {
  IoError e;
  e.kind_ = kind;
  return e;
}

std::string IoError::text() const {
  if (os_code_ != 0) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* s = strerror_r(os_code_, buf, sizeof buf);
    return std::string(s) + " (os error " + std::to_string(os_code_) + ")";
  }
  if (has_msg_) return msg_;
  return kind_description(kind_);
}

}  // namespace ivf_rabitq
