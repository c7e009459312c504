#include "code_filter.hpp"

#include <fnmatch.h>

#include <algorithm>

namespace fennik {
namespace {

bool glob_matches(const std::string& glob, std::string_view text) {
  // fnmatch needs a terminated string; names are short and this runs once per code object.
  const std::string terminated(text);
  return ::fnmatch(glob.c_str(), terminated.c_str(), 0) == 0;
}

bool any_matches(const std::vector<CodePattern>& patterns, std::string_view module,
                 std::string_view file) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const CodePattern& p) { return p.matches(module, file); });
}

std::vector<CodePattern> parsed(const std::vector<std::string>& texts) {
  std::vector<CodePattern> out;
  out.reserve(texts.size());
  for (const std::string& t : texts) out.push_back(CodePattern::parse(t));
  return out;
}

}  // namespace

CodePattern CodePattern::parse(std::string text) {
  const bool file =
      text.find('/') != std::string::npos || text.starts_with('<') || text.ends_with(".py");
  return CodePattern{std::move(text), file};
}

bool CodePattern::matches(std::string_view module, std::string_view file_name) const {
  if (file) return glob_matches(glob, file_name);
  if (module.empty()) return false;
  return glob_matches(glob, module) || glob_matches(glob + ".*", module);
}

CodeFilter::CodeFilter(const std::vector<std::string>& include,
                       const std::vector<std::string>& exclude,
                       const std::vector<std::string>& library)
    : include_(parsed(include)), exclude_(parsed(exclude)), library_(parsed(library)) {
  auto names_module = [](const CodePattern& p) { return !p.file; };
  needs_module_ = std::any_of(include_.begin(), include_.end(), names_module) ||
                  std::any_of(exclude_.begin(), exclude_.end(), names_module);
}

bool CodeFilter::records(const Place& p) const {
  if (any_matches(exclude_, p.module, p.file)) return false;
  if (any_matches(include_, p.module, p.file)) return true;
  if (!include_.empty() && library_.empty()) return false;
  const bool by_origin = judges_by_origin(p.file) && !p.origin.empty();
  return !any_matches(library_, p.module, p.file) &&
         !(by_origin && any_matches(library_, p.module, p.origin));
}

std::string beneath(std::string_view dir) {
  std::string out;
  for (const char c : dir) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
    out += c;
  }
  if (!out.ends_with('/')) out += '/';
  return out + "*";
}

}  // namespace fennik
