#include "io_error.hpp"

#include <string.h>

namespace fennik {

IoError IoError::from_errno(int code) {
  char buf[256];
  // The GNU variant may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return IoError{IoErrorKind::Os, text, code};
}

std::string IoError::text() const {
  if (kind != IoErrorKind::Os) return description;
  return description + " (os error " + std::to_string(os_code) + ")";
}

}  // namespace fennik
