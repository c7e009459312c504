// The grammar of the command line: `fennik run [OPTIONS] SCRIPT [ARGS]...`
// or `fennik run [OPTIONS] -m MODULE [ARGS]...`, `fennik dump PID [REASON]`,
// `fennik attach [OPTIONS] -o OUTPUT PID`,
// and `fennik --version`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "format.hpp"
#include "tracer_config.hpp"

namespace fennik::py {

inline constexpr int EXIT_PARSE_ERROR = 2;

struct RunArgs {
  std::string output;
  std::optional<Format> format;  // as given; without it, the output's name decides
  std::optional<std::vector<std::string>> module;  // the name, then its arguments
  std::optional<std::uint64_t> record_last_mb;
  bool no_trace_subprocesses = false;
  Selection selection;
  bool quiet = false;
  std::optional<std::size_t> report_top;  // print the report's first rows when the run ends
  std::optional<std::string> script;
  std::vector<std::string> script_args;
  std::optional<std::string> dump_signal;  // as given, already checked
  std::optional<double> delay_s;           // recording starts this late
  std::optional<double> duration_s;        // and lasts at most this long
  // `fennik attach [OPTIONS] --output OUTPUT PID`: the process to trace, in
  // place of a script, with a subset of run's options.
  std::optional<int> attach_pid;
};

// `fennik dump PID [REASON]`.
struct DumpArgs {
  int pid = 0;
  std::optional<std::string> reason;
};

// Help (status 0, for stdout) or a parse error (status 2, for stderr).
struct ParserExit {
  int status;
  std::string text;
};

// `--version`: the version is the package's, which only Python knows.
struct VersionWanted {};

// The command's name as usage lines show it, from argv[0].
std::string_view program_name(const std::vector<std::string>& argv);

// `argv` is the whole vector, the program's path first.
using Command = std::variant<RunArgs, ParserExit, VersionWanted, DumpArgs>;

Command parse_command_line(const std::vector<std::string>& argv);

}  // namespace fennik::py
