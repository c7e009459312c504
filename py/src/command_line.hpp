// The grammar of the command line: `fennik run [OPTIONS] SCRIPT [ARGS]...`
// or `fennik run [OPTIONS] -m MODULE [ARGS]...`, and `fennik --version`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "format.hpp"

namespace fennik::py {

inline constexpr int EXIT_PARSE_ERROR = 2;

struct RunArgs {
  std::string output;
  std::optional<Format> format;  // as given; without it, the output's name decides
  std::optional<std::vector<std::string>> module;  // the name, then its arguments
  std::optional<std::uint64_t> record_last_mb;
  bool no_trace_subprocesses = false;
  bool quiet = false;
  std::optional<std::string> script;
  std::vector<std::string> script_args;
};

// Help (status 0, for stdout) or a parse error (status 2, for stderr).
struct ParserExit {
  int status;
  std::string text;
};

// `--version`: the version is the package's, which only Python knows.
struct VersionWanted {};

// `argv` is the whole vector, the program's path first.
std::variant<RunArgs, ParserExit, VersionWanted> parse_command_line(
    const std::vector<std::string>& argv);

}  // namespace fennik::py
