// Engine error values. No exception crosses the engine boundary: every fallible
// operation returns Result<T>, carrying either a value or an IoError.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace ivf_rabitq {

// Kinds of I/O errors. Operating-system errors keep the kind that matches their errno;
// engine errors made with a message carry the kind chosen by the code that made them.
enum class ErrorKind : uint8_t {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  StorageFull,
  CrossesDevices,
  Other,
};

// The fixed description of a kind, shown for an error that carries a kind only.
const char* kind_description(ErrorKind k);
// The kind that matches an errno value.
ErrorKind kind_from_errno(int e);

class IoError {
 public:
  IoError() = default;
  // An error made by the system: displays as "{strerror} (os error {errno})".
  static IoError os(int errnum);
  static IoError last_os() { return os(errno); }
  // An error made with a message: displays as the message alone.
  static IoError msg(ErrorKind kind, std::string text);
  // An error with a kind only: displays as the kind's description.
  static IoError kind_only(ErrorKind kind);

  ErrorKind kind() const { return kind_; }
  // errno of an operating-system error, 0 otherwise.
  int os_code() const { return os_code_; }
  bool is_os() const { return os_code_ != 0; }
  // The one-line display text.
  std::string text() const;
  // The message of an error made with a message (empty otherwise).
  const std::string& message() const { return msg_; }

 private:
  ErrorKind kind_ = ErrorKind::Other;
  int os_code_ = 0;
  bool has_msg_ = false;
  std::string msg_;
};

inline IoError invalid_data(std::string text) { return IoError::msg(ErrorKind::InvalidData, std::move(text)); }
inline IoError invalid_input(std::string text) { return IoError::msg(ErrorKind::InvalidInput, std::move(text)); }
inline IoError other_error(std::string text) { return IoError::msg(ErrorKind::Other, std::move(text)); }

// Result<T>: a value or an error. Result<void> carries only success or an error.
template <class T, class E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}  // NOLINT(implicit)
  Result(E e) : v_(std::in_place_index<1>, std::move(e)) {}  // NOLINT(implicit)
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, T> &&
                                               !std::is_same_v<std::decay_t<U>, E>>>
  Result(U&& u) : v_(std::in_place_index<0>, T(std::forward<U>(u))) {}  // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E e) : has_err_(true), e_(std::move(e)) {}  // NOLINT(implicit)
  bool ok() const { return !has_err_; }
  explicit operator bool() const { return ok(); }
  E& error() & { return e_; }
  const E& error() const& { return e_; }
  E&& error() && { return std::move(e_); }

 private:
  bool has_err_ = false;
  E e_{};
};

using Status = Result<void>;

}  // namespace ivf_rabitq

// Propagate an error from an expression yielding Result<...>.
#define TANDREL_TRY(expr)                                   \
  do {                                                      \
    auto _tandrel_r = (expr);                               \
    if (!_tandrel_r.ok()) return std::move(_tandrel_r).error(); \
  } while (0)

#define TANDREL_CONCAT_INNER(a, b) a##b
#define TANDREL_CONCAT(a, b) TANDREL_CONCAT_INNER(a, b)
// Assign the value of a Result expression to `lhs`, or return its error.
#define TANDREL_ASSIGN(lhs, expr) TANDREL_ASSIGN_IMPL(TANDREL_CONCAT(_tandrel_a_, __LINE__), lhs, expr)
#define TANDREL_ASSIGN_IMPL(tmp, lhs, expr)        \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error();    \
  lhs = std::move(tmp).value()
