// The one error type of the output side: a kind and a text. Its text is what
// reaches Python as the message of an OSError.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace fennik {

enum class IoErrorKind {
  Os,         // an operating-system call failed; `os_code` holds errno
  WriteZero,  // a write accepted no bytes
  Other,      // anything else (a thread that could not start or died)
};

struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  std::string description;
  int os_code = 0;

  // The system's description of `code`, as an operating-system error.
  static IoError from_errno(int code);
  static IoError other(std::string description) {
    return IoError{IoErrorKind::Other, std::move(description), 0};
  }

  // The description, then " (os error N)" for an operating-system error.
  std::string text() const;
};

// Success, or the first error.
using IoStatus = std::optional<IoError>;
inline constexpr std::nullopt_t IO_OK = std::nullopt;

// A value or an error.
template <class T>
class IoResult {
 public:
  IoResult(T value) : v_(std::move(value)) {}        // NOLINT: implicit on purpose
  IoResult(IoError error) : v_(std::move(error)) {}  // NOLINT
  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};

}  // namespace fennik
