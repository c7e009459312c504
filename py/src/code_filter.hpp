// Which functions a session records: include and exclude patterns over the
// module name and the file name of a code object, and, for "only my code",
// the directories of the standard library and installed packages. Decided
// once per code object, when the interner first meets it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fennik {

// A session's depth limit when calls at every depth are recorded.
inline constexpr std::uint32_t NO_DEPTH_LIMIT = ~std::uint32_t{0};

// A pattern names a file when it holds a '/', begins with '<' (as
// "<frozen os>" does) or ends in ".py"; otherwise a module. Both are
// shell-style globs ('*' also matches '/' and '.'); a module pattern also
// matches the submodules of what it matches, so "myapp" takes in "myapp.db".
struct CodePattern {
  std::string glob;
  bool file = false;

  static CodePattern parse(std::string text);
  bool matches(std::string_view module, std::string_view file) const;
};

class CodeFilter {
 public:
  CodeFilter() = default;  // records everything
  // `library` lists directories whose files are not the user's own; with
  // them, explicit includes add to the user's code instead of replacing it.
  CodeFilter(const std::vector<std::string>& include, const std::vector<std::string>& exclude,
             const std::vector<std::string>& library);

  // False when every function is recorded, so nothing need be read to decide.
  bool active() const noexcept {
    return !include_.empty() || !exclude_.empty() || !library_.empty();
  }
  // Whether deciding reads the module (a pattern names one, or library
  // directories judge code compiled from a string by its module's file).
  bool needs_module() const noexcept { return needs_module_ || !library_.empty(); }
  // Where a function lies: its module's name and its code's file name, and
  // for code compiled from a string (a file name such as "<string>") the
  // file it came from: its module's, or that of the code that ran it.
  struct Place {
    std::string_view module;
    std::string_view file;
    std::string_view origin;
  };
  // Whether code of this file name is judged by where it came from.
  bool judges_by_origin(std::string_view file) const noexcept {
    return !library_.empty() && file.starts_with('<');
  }
  // A function is recorded when no exclude matches it and an include does,
  // or (with no include, or with library directories) it lies outside them.
  bool records(const Place& place) const;

 private:
  std::vector<CodePattern> include_;
  std::vector<CodePattern> exclude_;
  std::vector<CodePattern> library_;
  bool needs_module_ = false;
};

// `dir` as a file pattern matching everything beneath it (glob characters in
// its name stand for themselves).
std::string beneath(std::string_view dir);

}  // namespace fennik
