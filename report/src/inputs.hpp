// Which files a report reads, and reading one of them whatever its format:
// the format is recognised from the content, never the name.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "call_table.hpp"

namespace fennik::report {

inline constexpr char NOT_OURS[] = "not a fennik trace or profile";

// The files `path` stands for: itself; for a dump directory its newest dump,
// or every dump; with `children`, also the OUTPUT.<pid> files beside it. An
// error is a phrase to follow "cannot read PATH: ".
std::variant<std::vector<std::string>, std::string> input_files(const std::string& path,
                                                                bool all_dumps, bool children);

struct FileRead {
  std::string format;  // as the header names it
  bool profile = false;
  std::vector<std::string> notes;
  std::optional<std::string> error;
};

FileRead read_file(const std::string& path, CallTable& table);

}  // namespace fennik::report
