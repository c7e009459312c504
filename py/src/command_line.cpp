#include "command_line.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "code_filter.hpp"
#include "report.hpp"
#include "selection_args.hpp"
#include "signal_names.hpp"
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
    "  run     Run a script under the tracer\n"
    "  report  Tell where the time went in a trace, profile or dump\n"
    "  dump    Ask a flight recorder started by fennik for a dump\n"
    "  attach  Trace a running Python (3.14 or later) program for a while\n"
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
    "      --dump-signal <SIG>  The signal that asks the flight recorder for a dump\n"
    "                           (`fennik dump PID` sends it) [default: SIGUSR1; none: no signal]\n"
    "      --delay <SECONDS>    Start recording this long after the script starts\n"
    "      --duration <SECONDS> Stop recording after this long; the output is finished then\n"
    "                           and the script goes on untraced\n"
    "      --include <PATTERN>  Record only functions of matching modules ('myapp',\n"
    "                           'json.*') or files ('*/src/*.py'); repeatable\n"
    "      --exclude <PATTERN>  Leave out functions of matching modules or files; repeatable\n"
    "      --only-my-code       Leave out the standard library, installed packages and\n"
    "                           frozen modules (--include adds to what is recorded)\n"
    "      --max-depth <N>      Record only calls at most N deep on each thread\n"
    "      --min-duration <DURATION>\n"
    "                           Leave out of the output calls shorter than this\n"
    "                           ('50us', '1.5ms'; ns, us, ms or s)\n"
    "      --c-calls            Record calls of built-in functions and methods and of C\n"
    "                           classes too (time.sleep, len, list.sort)\n"
    "  -q, --quiet              Say nothing when the run ends\n"
    "      --report[=<N>]       When the run ends, print the report's first N rows [default:\n"
    "                           30] on stderr, as `fennik report OUTPUT` would\n"
    "  -h, --help               Print help\n";
constexpr std::string_view ATTACH_USAGE = "Usage: {} attach [OPTIONS] --output <OUTPUT> <PID>\n";
constexpr std::string_view ATTACH_HELP =
    "Trace a running Python 3.14 (or later) program that can import fennik, until Ctrl-C\n"
    "or for a duration, and print where the output went\n"
    "\n"
    "Usage: {} attach [OPTIONS] --output <OUTPUT> <PID>\n"
    "\n"
    "Arguments:\n"
    "  <PID>  The process to trace\n"
    "\n"
    "Options:\n"
    "  -o, --output <OUTPUT>    Output file path, taken from the current directory\n"
    "  -f, --format <FORMAT>    Output format [default: from the output's name] [possible\n"
    "                           values: {formats}]\n"
    "      --duration <SECONDS> Detach after this long [default: at Ctrl-C]\n"
    "      --record-last-mb <MB>\n"
    "                           Run a flight recorder there instead; the output is a directory\n"
    "      --no-trace-subprocesses\n"
    "                           Leave the processes it starts meanwhile alone\n"
    "      --dump-signal <SIG>  The signal that asks the flight recorder for a dump\n"
    "      --c-calls            Record calls of built-in functions and methods too\n"
    "  -q, --quiet              Say nothing when it detaches\n"
    "  -h, --help               Print help\n";
constexpr std::string_view DUMP_USAGE = "Usage: {} dump <PID> [REASON]\n";
constexpr std::string_view DUMP_HELP =
    "Ask a flight recorder started by fennik for a dump, and print the dump's path\n"
    "\n"
    "Usage: {} dump <PID> [REASON]\n"
    "\n"
    "Arguments:\n"
    "  <PID>     The traced process\n"
    "  [REASON]  What the dump is named after [default: signal-SIGUSR1]\n"
    "\n"
    "Options:\n"
    "  -h, --help  Print help\n";
// The longest delay or duration taken, in seconds (about 31 years).
constexpr double MAX_SECONDS = 1e9;
constexpr char MAX_SECONDS_TEXT[] = "1000000000";

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

enum class Opt {
  Output,
  Format,
  Module,
  RecordLastMb,
  NoTraceSubprocesses,
  Quiet,
  Help,
  DumpSignal,
  Delay,
  Duration,
  Report,
  Include,
  Exclude,
  OnlyMyCode,
  MaxDepth,
  MinDuration,
  CCalls
};

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
    {Opt::Include, 0, "include", "PATTERN"},
    {Opt::Exclude, 0, "exclude", "PATTERN"},
    {Opt::OnlyMyCode, 0, "only-my-code", ""},
    {Opt::MaxDepth, 0, "max-depth", "N"},
    {Opt::MinDuration, 0, "min-duration", "DURATION"},
    {Opt::CCalls, 0, "c-calls", ""},
    {Opt::Quiet, 'q', "quiet", ""},
    {Opt::DumpSignal, 0, "dump-signal", "SIG"},
    {Opt::Delay, 0, "delay", "SECONDS"},
    {Opt::Duration, 0, "duration", "SECONDS"},
    {Opt::Report, 0, "report", ""},  // its value, optional, only as --report=N
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

// A number of seconds, fractions allowed: nothing unless it is a plain
// decimal from 0 to MAX_SECONDS.
std::optional<double> parse_seconds(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return {};
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(value <= MAX_SECONDS)) return {};
  return value;
}

// A process id: a whole number from 1 up to the largest pid_t.
std::optional<int> parse_pid(const std::string& text) {
  const std::optional<std::uint64_t> pid =
      text.starts_with('+') ? std::nullopt : parse_whole_number(text.c_str());
  if (!pid || *pid == 0 || *pid > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
  return static_cast<int>(*pid);
}

// `run`, or with `attach` the options of `fennik attach` and its PID.
Command parse_run(const std::vector<std::string>& argv, std::size_t i, std::string_view program,
                  bool attach = false) {
  auto fail = [&](const std::string& message) {
    return parse_error(message, attach ? ATTACH_USAGE : RUN_USAGE, program);
  };
  RunArgs a;
  bool has_output = false;
  for (; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (attach && (arg.size() < 2 || arg[0] != '-')) {
      if (a.attach_pid) return fail("unexpected argument '" + arg + "' found");
      a.attach_pid = parse_pid(arg);
      if (!a.attach_pid) return fail("invalid value '" + arg + "' for '<PID>': not a process id");
      continue;
    }
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
    if (named.spec == nullptr ||
        (attach && (named.spec->id == Opt::Module || named.spec->id == Opt::Delay ||
                    named.spec->id == Opt::Report))) {
      return fail("unexpected argument '" + arg + "' found");
    }
    const OptSpec& o = *named.spec;
    if (o.value_name.empty() && named.attached && o.id != Opt::Report) {
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
        return ParserExit{0, filled(filled(attach ? ATTACH_HELP : RUN_HELP, PROGRAM_MARK, program),
                                    FORMATS_MARK, Format::names())};
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
      case Opt::Include:
      case Opt::Exclude:
        if (const std::string problem = pattern_problem(value); !problem.empty()) {
          return fail("invalid value '" + value + "' for '" + shown(o) + "': " + problem);
        }
        (o.id == Opt::Include ? a.selection.include : a.selection.exclude).push_back(value);
        break;
      case Opt::OnlyMyCode:
        a.selection.only_my_code = true;
        break;
      case Opt::MaxDepth: {
        const std::optional<std::uint64_t> depth =
            value.starts_with('+') ? std::nullopt : parse_whole_number(value.c_str());
        if (!depth || *depth == 0) {
          return fail("invalid value '" + value + "' for '" + shown(o) +
                      "': a whole number of calls, at least 1");
        }
        a.selection.max_depth = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(*depth, NO_DEPTH_LIMIT - std::uint64_t{1}));
        break;
      }
      case Opt::MinDuration: {
        const std::variant<std::uint64_t, std::string> ns = parse_duration(value);
        if (const auto* problem = std::get_if<std::string>(&ns)) {
          return fail("invalid value '" + value + "' for '" + shown(o) + "': " + *problem);
        }
        a.selection.min_duration_ns = std::get<std::uint64_t>(ns);
        break;
      }
      case Opt::CCalls:
        a.selection.c_calls = true;
        break;
      case Opt::Quiet:
        a.quiet = true;
        break;
      case Opt::Report: {
        const std::optional<std::uint64_t> n =
            named.attached ? parse_whole_number(named.attached->c_str()) : report::DEFAULT_TOP;
        if (!n) {
          return fail("invalid value '" + *named.attached +
                      "' for '--report[=<N>]': a whole number of rows");
        }
        a.report_top = static_cast<std::size_t>(*n);
        break;
      }
      case Opt::DumpSignal: {
        const std::variant<std::optional<int>, std::string> signum = parse_dump_signal(value);
        if (auto* message = std::get_if<std::string>(&signum)) {
          return fail("invalid value '" + value + "' for '" + shown(o) + "': " + *message);
        }
        a.dump_signal = std::move(value);
        break;
      }
      case Opt::Delay:
      case Opt::Duration: {
        const std::optional<double> seconds = parse_seconds(value);
        if (!seconds) {
          return fail("invalid value '" + value + "' for '" + shown(o) +
                      "': a number of seconds up to " + MAX_SECONDS_TEXT);
        }
        (o.id == Opt::Delay ? a.delay_s : a.duration_s) = seconds;
        break;
      }
    }
  }
  if (attach && !has_output) {
    return fail("the following required arguments were not provided:\n  --output <OUTPUT>");
  }
  if (attach) {
    if (!a.attach_pid) return fail("the following required arguments were not provided:\n  <PID>");
    return a;
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

Command parse_dump(const std::vector<std::string>& argv, std::string_view program) {
  auto fail = [&](const std::string& message) { return parse_error(message, DUMP_USAGE, program); };
  DumpArgs a;
  std::vector<std::string> positional;
  for (std::size_t i = 2; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "-h" || arg == "--help")
      return ParserExit{0, filled(DUMP_HELP, PROGRAM_MARK, program)};
    if (arg == "--") {
      positional.insert(positional.end(), argv.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        argv.end());
      break;
    }
    if (arg.size() > 1 && arg[0] == '-') return fail("unexpected argument '" + arg + "' found");
    positional.push_back(arg);
  }
  if (positional.empty()) {
    return fail("the following required arguments were not provided:\n  <PID>");
  }
  if (positional.size() > 2) return fail("unexpected argument '" + positional[2] + "' found");
  const std::optional<int> pid = parse_pid(positional[0]);
  if (!pid) return fail("invalid value '" + positional[0] + "' for '<PID>': not a process id");
  a.pid = *pid;
  if (positional.size() == 2) a.reason = positional[1];
  return a;
}

}  // namespace

std::string_view program_name(const std::vector<std::string>& argv) {
  std::string_view program = DEFAULT_PROGRAM;
  if (!argv.empty() && !argv[0].empty()) {
    program = argv[0];
    if (const std::size_t slash = program.rfind('/'); slash != std::string_view::npos) {
      program.remove_prefix(slash + 1);
    }
  }
  return program;
}

Command parse_command_line(const std::vector<std::string>& argv) {
  const std::string_view program = program_name(argv);
  if (argv.size() < 2) return parse_error("a subcommand is required", ROOT_USAGE, program);
  const std::string& command = argv[1];
  if (command == "-h" || command == "--help") {
    return ParserExit{0, filled(ROOT_HELP, PROGRAM_MARK, program)};
  }
  if (command == "-V" || command == "--version") return VersionWanted{};
  if (command == "dump") return parse_dump(argv, program);
  if (command == "attach") return parse_run(argv, 2, program, true);
  if (command != "run") {
    return parse_error(
        (command.starts_with('-') ? "unexpected argument '" : "unrecognized subcommand '") +
            command + "'",
        ROOT_USAGE, program);
  }
  return parse_run(argv, 2, program);
}

}  // namespace fennik::py
