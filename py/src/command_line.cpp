#include "command_line.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "tracer.hpp"
#include "whole_number.hpp"

namespace fennik::py {
namespace {

constexpr char DEFAULT_PROGRAM[] = "fennik";
constexpr std::string_view PROGRAM_MARK = "{}";
constexpr std::string_view FORMATS_MARK = "{formats}";

constexpr std::string_view ROOT_USAGE = "Usage: {} <COMMAND>\n";
constexpr std::string_view ROOT_HELP =
    "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.\n"
    "\n"
    "Usage: {} <COMMAND>\n"
    "\n"
    "Commands:\n"
    "  run  Run a script under the tracer\n"
    "\n"
    "Options:\n"
    "  -h, --help     Print help\n"
    "  -V, --version  Print version\n";
constexpr std::string_view RUN_USAGE =
    "Usage: {} run [OPTIONS] --output <OUTPUT> <SCRIPT|--module <MODULE>...> [SCRIPT_ARGS]...\n";
constexpr std::string_view RUN_HELP =
    "Run a script under the tracer\n"
    "\n"
    "Usage: {} run [OPTIONS] --output <OUTPUT> <SCRIPT|--module <MODULE>...> [SCRIPT_ARGS]...\n"
    "\n"
    "Arguments:\n"
    "  [SCRIPT]          Python script to run\n"
    "  [SCRIPT_ARGS]...  Arguments forwarded to the script\n"
    "\n"
    "Options (before the script):\n"
    "  -o, --output <OUTPUT>    Output file path\n"
    "  -f, --format <FORMAT>    Output format [default: from the output's name: .json json,\n"
    "                           .pprof, .prof or .pb.gz pprof, else protobuf] [possible\n"
    "                           values: {formats}]\n"
    "  -m, --module <MODULE>... Run a library module as a script, like `python -m`. Every\n"
    "                           following argument belongs to the module\n"
    "      --record-last-mb <MB>\n"
    "                           Keep the last N megabytes of events in memory and write only\n"
    "                           dumps. The output becomes a directory of dump files\n"
    "      --no-trace-subprocesses\n"
    "                           Trace only this process, leaving the ones it starts alone\n"
    "  -q, --quiet              Say nothing when the run ends\n"
    "  -h, --help               Print help\n";

// `text` with `mark` standing for `value`.
std::string filled(std::string_view text, std::string_view mark, std::string_view value) {
  std::string out(text);
  if (const std::size_t at = out.find(mark); at != std::string::npos) {
    out.replace(at, mark.size(), value);
  }
  return out;
}

ParserExit parse_error(const std::string& message, std::string_view usage,
                       std::string_view program) {
  return ParserExit{EXIT_PARSE_ERROR, "error: " + message + "\n\n" +
                                          filled(usage, PROGRAM_MARK, program) +
                                          "\nFor more information, try '--help'.\n"};
}

enum class Opt { Output, Format, Module, RecordLastMb, NoTraceSubprocesses, Quiet, Help };

struct OptSpec {
  Opt id;
  char short_name;  // 0 for none
  std::string_view long_name;
  std::string_view value_name;  // empty for a flag
};

constexpr OptSpec RUN_OPTIONS[] = {
    {Opt::Output, 'o', "output", "OUTPUT"},
    {Opt::Format, 'f', "format", "FORMAT"},
    {Opt::Module, 'm', "module", "MODULE"},
    {Opt::RecordLastMb, 0, "record-last-mb", "MB"},
    {Opt::NoTraceSubprocesses, 0, "no-trace-subprocesses", ""},
    {Opt::Quiet, 'q', "quiet", ""},
    {Opt::Help, 'h', "help", ""},
};

// The option `arg` names, with a value attached to it ("--output=x", "-ox").
struct Named {
  const OptSpec* spec = nullptr;
  std::optional<std::string> attached;
};

Named find_option(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-') return {};
  if (arg.starts_with("--")) {
    const std::size_t eq = arg.find('=');
    const std::string_view name =
        std::string_view(arg).substr(2, eq == std::string::npos ? eq : eq - 2);
    for (const OptSpec& o : RUN_OPTIONS) {
      if (o.long_name != name) continue;
      if (eq == std::string::npos) return Named{&o, std::nullopt};
      return Named{&o, arg.substr(eq + 1)};
    }
    return {};
  }
  for (const OptSpec& o : RUN_OPTIONS) {
    if (o.short_name == 0 || arg[1] != o.short_name) continue;
    if (arg.size() == 2) return Named{&o, std::nullopt};
    if (!o.value_name.empty()) return Named{&o, arg.substr(2)};
  }
  return {};
}

std::string shown(const OptSpec& o) {
  std::string s = "--" + std::string(o.long_name);
  if (!o.value_name.empty()) s += " <" + std::string(o.value_name) + ">";
  return s;
}

// A tip for an option of run that came after the target and so became one
// of the target's arguments; empty when there is none.
std::string misplaced_option_tip(const std::vector<std::string>& target_args, const char* target) {
  for (const std::string& arg : target_args) {
    if (find_option(arg).spec != nullptr) {
      return std::string("\n\n  tip: the options of run come before the ") + target + "; '" + arg +
             "' after it is one of the " + target + "'s own arguments";
    }
  }
  return "";
}

std::variant<RunArgs, ParserExit, VersionWanted> parse_run(const std::vector<std::string>& argv,
                                                           std::size_t i,
                                                           std::string_view program) {
  auto fail = [&](const std::string& message) { return parse_error(message, RUN_USAGE, program); };
  RunArgs a;
  bool has_output = false;
  for (; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") {
      if (i + 1 < argv.size()) {
        a.script = argv[i + 1];
        a.script_args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 2, argv.end());
      }
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      // The script: every later argument is its own.
      a.script = arg;
      a.script_args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
      break;
    }
    Named named = find_option(arg);
    if (named.spec == nullptr) return fail("unexpected argument '" + arg + "' found");
    const OptSpec& o = *named.spec;
    if (o.value_name.empty() && named.attached) {
      return fail("unexpected value '" + *named.attached + "' for '--" + std::string(o.long_name) +
                  "' found; no more were expected");
    }
    std::string value;
    if (!o.value_name.empty()) {
      if (named.attached) {
        value = std::move(*named.attached);
      } else if (i + 1 < argv.size()) {
        value = argv[++i];
      } else {
        return fail("a value is required for '" + shown(o) + "' but none was supplied");
      }
    }
    switch (o.id) {
      case Opt::Help:
        return ParserExit{
            0, filled(filled(RUN_HELP, PROGRAM_MARK, program), FORMATS_MARK, Format::names())};
      case Opt::Output:
        if (value.empty()) {
          return fail("invalid value '' for '" + shown(o) + "': an empty path names no file");
        }
        a.output = std::move(value);
        has_output = true;
        break;
      case Opt::Format: {
        std::variant<Format, std::string> format = Format::parse(value);
        if (auto* message = std::get_if<std::string>(&format)) {
          return fail("invalid value '" + value + "' for '" + shown(o) + "': " + *message);
        }
        a.format = std::get<Format>(format);
        break;
      }
      case Opt::Module:
        // Takes the rest of the line, values beginning with "-" included.
        a.module.emplace(1, std::move(value));
        a.module->insert(a.module->end(), argv.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                         argv.end());
        i = argv.size();
        break;
      case Opt::RecordLastMb: {
        const std::optional<std::uint64_t> mb =
            value.starts_with('+') ? std::nullopt : parse_whole_number(value.c_str());
        if (!mb || *mb > MAX_RECORD_MB) {
          return fail("invalid value '" + value + "' for '" + shown(o) +
                      "': a whole number of megabytes up to " + std::to_string(MAX_RECORD_MB));
        }
        a.record_last_mb = mb;
        break;
      }
      case Opt::NoTraceSubprocesses:
        a.no_trace_subprocesses = true;
        break;
      case Opt::Quiet:
        a.quiet = true;
        break;
    }
  }
  if (!has_output) {
    const std::string tip =
        a.module ? misplaced_option_tip({a.module->begin() + 1, a.module->end()}, "module")
                 : misplaced_option_tip(a.script_args, "script");
    return fail("the following required arguments were not provided:\n  --output <OUTPUT>" + tip);
  }
  if (!a.script && !a.module) {
    return fail(
        "the following required arguments were not provided:\n  <SCRIPT|--module <MODULE>...>");
  }
  return a;
}

}  // namespace

std::variant<RunArgs, ParserExit, VersionWanted> parse_command_line(
    const std::vector<std::string>& argv) {
  std::string_view program = DEFAULT_PROGRAM;
  if (!argv.empty() && !argv[0].empty()) {
    program = argv[0];
    if (const std::size_t slash = program.rfind('/'); slash != std::string_view::npos) {
      program.remove_prefix(slash + 1);
    }
  }
  if (argv.size() < 2) return parse_error("a subcommand is required", ROOT_USAGE, program);
  const std::string& command = argv[1];
  if (command == "-h" || command == "--help") {
    return ParserExit{0, filled(ROOT_HELP, PROGRAM_MARK, program)};
  }
  if (command == "-V" || command == "--version") return VersionWanted{};
  if (command != "run") {
    return parse_error(
        (command.starts_with('-') ? "unexpected argument '" : "unrecognized subcommand '") +
            command + "'",
        ROOT_USAGE, program);
  }
  return parse_run(argv, 2, program);
}

}  // namespace fennik::py
