// What the command line says on the process's streams, apart from the
// target's own output: parser output, `fennik: ...` lines and the summary.
#pragma once

#include <string>

#include "pyref.hpp"

namespace fennik::py {

// `bytes` as the operating system gave them, as a str (undecodable bytes as
// surrogate escapes); null with an exception.
PyRef fs_str(const std::string& bytes);

// Writes `text` to sys.stdout or sys.stderr, if there is one.
bool write_to(const char* stream, const std::string& text);

// Writes "fennik: " and `text` as a line on stderr; a stream that fails is
// not the command's failure, so nothing is raised.
void say(const std::string& text);

// The exit status of a command that could not do what it was asked.
inline constexpr int EXIT_FAILED = 1;
// Says `message` and returns EXIT_FAILED as an int; null with an exception
// when the int cannot be made.
PyObject* say_failed(const std::string& message);

// While one lives, a warning that is shown (the filters still decide) is
// one `fennik: ...` line on stderr rather than a message pointing into the
// command's own code.
class WarningsAsLines {
 public:
  WarningsAsLines();
  ~WarningsAsLines();
  WarningsAsLines(const WarningsAsLines&) = delete;
  WarningsAsLines& operator=(const WarningsAsLines&) = delete;
  // False with an exception when the warnings module could not be set up.
  bool ok() const noexcept { return static_cast<bool>(warnings_); }

 private:
  PyRef warnings_, saved_;
};

}  // namespace fennik::py
