#include "cli.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <exception>
#include <limits>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

#include "tracer.hpp"
#include "whole_number.hpp"

namespace fennik::py {
namespace {

constexpr char DEFAULT_PROGRAM[] = "fennik";

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
    "  -h, --help  Print help\n";
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
    "Options:\n"
    "  -o, --output <OUTPUT>    Output file path\n"
    "  -f, --format <FORMAT>    Output format [default: protobuf] [possible values: protobuf,\n"
    "                           json, pprof]\n"
    "  -m, --module <MODULE>... Run a library module as a script, like `python -m`. Every\n"
    "                           following argument belongs to the module\n"
    "      --record-last-mb <MB>\n"
    "                           Keep the last N megabytes of events in memory and write only\n"
    "                           dumps. The output becomes a directory of dump files\n"
    "      --no-trace-subprocesses\n"
    "                           Trace only this process, leaving the ones it starts alone\n"
    "  -q, --quiet              Say nothing when the run ends\n"
    "  -h, --help               Print help\n";

// `text` with its "{}" standing for the program's name.
std::string with_program(std::string_view text, std::string_view program) {
  const std::size_t at = text.find("{}");
  std::string out(text.substr(0, at));
  out += program;
  out += text.substr(at + 2);
  return out;
}

ParserExit parse_error(const std::string& message, std::string_view usage,
                       std::string_view program) {
  return ParserExit{EXIT_PARSE_ERROR, "error: " + message + "\n\n" + with_program(usage, program) +
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

std::variant<RunArgs, ParserExit> parse_run(const std::vector<std::string>& argv, std::size_t i,
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
        return ParserExit{0, with_program(RUN_HELP, program)};
      case Opt::Output:
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
    return fail("the following required arguments were not provided:\n  --output <OUTPUT>");
  }
  if (!a.script && !a.module) {
    return fail(
        "the following required arguments were not provided:\n  <SCRIPT|--module <MODULE>...>");
  }
  return a;
}

}  // namespace

std::variant<RunArgs, ParserExit> parse_command_line(const std::vector<std::string>& argv) {
  std::string_view program = DEFAULT_PROGRAM;
  if (!argv.empty() && !argv[0].empty()) {
    program = argv[0];
    if (const std::size_t slash = program.rfind('/'); slash != std::string_view::npos) {
      program.remove_prefix(slash + 1);
    }
  }
  if (argv.size() < 2) return parse_error("a subcommand is required", ROOT_USAGE, program);
  const std::string& command = argv[1];
  if (command == "-h" || command == "--help")
    return ParserExit{0, with_program(ROOT_HELP, program)};
  if (command != "run") {
    return parse_error(
        (command.starts_with('-') ? "unexpected argument '" : "unrecognized subcommand '") +
            command + "'",
        ROOT_USAGE, program);
  }
  return parse_run(argv, 2, program);
}

namespace {

constexpr char ARGV_TYPE_ERROR[] = "cli_main() argument 'argv' must be a list of str";

PyRef fs_str(const std::string& bytes) {
  return PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The arguments as the operating system gave them (undecodable bytes come
// back from their surrogate escapes).
std::optional<std::vector<std::string>> argument_bytes(PyObject* argv) {
  PyRef seq = PyRef::steal(PySequence_Fast(argv, ARGV_TYPE_ERROR));
  if (!seq) return std::nullopt;
  std::vector<std::string> out;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s, not a list holding %.200s", ARGV_TYPE_ERROR,
                   Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(item));
    if (!bytes) return std::nullopt;
    out.emplace_back(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
  return out;
}

// Writes `text` to sys.stdout or sys.stderr, if there is one.
bool write_to(const char* stream, const std::string& text) {
  PyObject* file = PySys_GetObject(stream);  // borrowed
  if (file == nullptr || file == Py_None) return true;
  PyRef s = fs_str(text);
  return s && PyFile_WriteObject(s.get(), file, Py_PRINT_RAW) == 0;
}

PyRef string_list(const std::string& first, const std::vector<std::string>& rest) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return list;
  PyRef item = fs_str(first);
  if (!item || PyList_Append(list.get(), item.get()) < 0) return PyRef();
  for (const std::string& s : rest) {
    item = fs_str(s);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return PyRef();
  }
  return list;
}

PyRef make_tracer(const RunArgs& a) {
  PyRef type = PyRef::steal(tracer_type());
  PyRef output = fs_str(a.output);
  if (!type || !output) return PyRef();
  PyRef args = PyRef::steal(PyTuple_Pack(1, output.get()));
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:s,s:O}", "format", a.format.name(), "trace_subprocesses",
                                 a.no_trace_subprocesses ? Py_False : Py_True));
  if (!args || !kwargs) return PyRef();
  if (a.record_last_mb) {
    PyRef mb = PyRef::steal(PyLong_FromUnsignedLongLong(*a.record_last_mb));
    if (!mb || PyDict_SetItemString(kwargs.get(), "record_last_mb", mb.get()) < 0) return PyRef();
  }
  return PyRef::steal(PyObject_Call(type.get(), args.get(), kwargs.get()));
}

// What the interpreter puts first on sys.path for the target: the script's
// directory, symbolic links resolved, or for a module the current directory.
PyRef first_path_entry(const RunArgs& a) {
  PyRef os_path = PyRef::steal(PyImport_ImportModule("os.path"));
  if (!os_path) return os_path;
  if (a.module) return PyRef::steal(PyObject_CallMethod(os_path.get(), "abspath", "s", ""));
  PyRef script = fs_str(*a.script);
  if (!script) return script;
  PyRef real = PyRef::steal(PyObject_CallMethod(os_path.get(), "realpath", "O", script.get()));
  if (!real) return real;
  return PyRef::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", real.get()));
}

// sys.argv and sys.path[0] as they were before the target's were put there.
class SysSaved {
 public:
  bool replace(PyRef argv, PyRef entry) {
    argv_ = PyRef::borrow(PySys_GetObject("argv"));
    PyObject* path = PySys_GetObject("path");
    if (path != nullptr && PyList_Check(path)) {
      path_ = PyRef::borrow(path);
      entry_ = PyRef::borrow(entry.get());
      if (PyList_GET_SIZE(path) > 0) {
        first_ = PyRef::borrow(PyList_GET_ITEM(path, 0));
        if (PyList_SetItem(path, 0, entry.release()) < 0) return false;
      } else if (PyList_Insert(path, 0, entry.get()) < 0) {
        return false;
      }
    }
    return PySys_SetObject("argv", argv.get()) == 0;
  }
  // Puts both back, sys.path[0] only if it is still the target's.
  bool restore() {
    FirstError errors;
    if (argv_) errors.step(PySys_SetObject("argv", argv_.get()) == 0);
    PyObject* path = path_.get();
    if (path != nullptr && PyList_GET_SIZE(path) > 0 && PyList_GET_ITEM(path, 0) == entry_.get()) {
      errors.step(first_ ? PyList_SetItem(path, 0, first_.release()) == 0
                         : PySequence_DelItem(path, 0) == 0);
    }
    return errors.finish();
  }

 private:
  PyRef argv_, path_, entry_, first_;
};

PyRef run_target(const RunArgs& a, PyObject* runpy) {
  if (a.module) {
    PyRef run = PyRef::steal(PyObject_GetAttrString(runpy, "run_module"));
    PyRef name = fs_str(a.module->front());
    PyRef args = name ? PyRef::steal(PyTuple_Pack(1, name.get())) : PyRef();
    PyRef kwargs =
        PyRef::steal(Py_BuildValue("{s:s,s:O}", "run_name", "__main__", "alter_sys", Py_True));
    if (!run || !args || !kwargs) return PyRef();
    return PyRef::steal(PyObject_Call(run.get(), args.get(), kwargs.get()));
  }
  PyRef path = fs_str(*a.script);
  if (!path) return path;
  return PyRef::steal(
      PyObject_CallMethod(runpy, "run_path", "OOs", path.get(), Py_None, "__main__"));
}

bool exits_successfully(PyObject* exc) {
  if (!PyErr_GivenExceptionMatches(exc, PyExc_SystemExit)) return false;
  PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
  if (!code) {
    PyErr_Clear();
    return false;
  }
  if (code.get() == Py_None) return true;
  return PyLong_Check(code.get()) && PyObject_Not(code.get()) == 1;
}

std::string summary(const RunArgs& a, const OutputFigures& f) {
  const std::string& file = f.dump.empty() ? a.output : f.dump;
  std::string line = "fennik: wrote " + std::to_string(f.events) + " events (" +
                     std::to_string(f.dropped) + " dropped) to ";
  line += a.record_last_mb ? "the dump directory " + a.output + ": " + file : file;
  switch (a.format) {
    case Format::Protobuf:
      line += "; open it in the Perfetto UI, https://ui.perfetto.dev";
      break;
    case Format::Json:
      line += "; open it in chrome://tracing or the Perfetto UI, https://ui.perfetto.dev";
      break;
    case Format::Pprof:
      line += "; open it with: go tool pprof -http=: " + file;
      break;
  }
  return line + "\n";
}

// As the interpreter does when it exits, waits for the threads the target
// left running that are not daemons, so that their calls are traced to the end.
bool join_threads_left() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef current =
      threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr))
                : PyRef();
  PyRef threads =
      current ? PyRef::steal(PyObject_CallMethod(threading.get(), "enumerate", nullptr)) : PyRef();
  if (!threads) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads.get()); ++i) {
    PyObject* thread = PyList_GET_ITEM(threads.get(), i);
    if (thread == current.get()) continue;
    PyRef daemon = PyRef::steal(PyObject_GetAttrString(thread, "daemon"));
    const int is_daemon = daemon ? PyObject_IsTrue(daemon.get()) : -1;
    if (is_daemon < 0) return false;
    if (is_daemon == 0 && !PyRef::steal(PyObject_CallMethod(thread, "join", nullptr))) {
      return false;
    }
  }
  return true;
}

// Steps after the arguments are parsed. The target's exception propagates;
// the tracer's own end error is raised instead when the target exited with
// success, and reported on stderr when the target failed.
PyObject* run(const RunArgs& a) {
  // A script that cannot be found is refused before any output exists, with
  // the status python gives it.
  struct stat st;
  if (a.script && stat(a.script->c_str(), &st) != 0) {
    const int err = errno;
    if (!write_to("stderr", "error: can't open file '" + *a.script + "': [Errno " +
                                std::to_string(err) + "] " + std::generic_category().message(err) +
                                "\n")) {
      return nullptr;
    }
    return PyLong_FromLong(EXIT_PARSE_ERROR);
  }
  PyRef tracer = make_tracer(a);
  if (!tracer) return nullptr;
  const std::string& target = a.module ? a.module->front() : *a.script;
  const std::vector<std::string> target_args =
      a.module ? std::vector<std::string>(a.module->begin() + 1, a.module->end()) : a.script_args;
  PyRef runpy = PyRef::steal(PyImport_ImportModule("runpy"));
  if (!runpy) return nullptr;
  PyRef argv = string_list(target, target_args);
  PyRef entry = argv ? first_path_entry(a) : PyRef();
  if (!entry) return nullptr;
  SysSaved saved;
  if (!saved.replace(std::move(argv), std::move(entry))) {
    PendingError failed;
    saved.restore();
    return nullptr;
  }
  PyRef entered = PyRef::steal(PyObject_CallMethod(tracer.get(), "__enter__", nullptr));
  if (!entered) {
    PendingError failed;
    saved.restore();
    return nullptr;
  }
  PyRef result = run_target(a, runpy.get());
  PyRef target_error = PyRef::steal(PyErr_GetRaisedException());
  if (!join_threads_left()) {
    // Interrupted while waiting: that is the outcome unless the target failed.
    PyRef join_error = PyRef::steal(PyErr_GetRaisedException());
    if (!target_error) target_error = std::move(join_error);
  }
  PyRef exited =
      PyRef::steal(PyObject_CallMethod(tracer.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  PyRef exit_error = PyRef::steal(PyErr_GetRaisedException());
  if (!saved.restore()) return nullptr;
  // The summary is a courtesy: a closed stderr does not change the outcome.
  if (!exit_error && !a.quiet && !write_to("stderr", summary(a, session_figures(tracer.get())))) {
    PyErr_Clear();
  }
  if (target_error) {
    if (exit_error && exits_successfully(target_error.get())) {
      PyException_SetContext(exit_error.get(), target_error.release());
      PyErr_SetRaisedException(exit_error.release());
      return nullptr;
    }
    if (exit_error) {
      PyRef text = PyRef::steal(PyObject_Str(exit_error.get()));
      const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      PyErr_Clear();
      PySys_FormatStderr("fennik: the trace could not be finished: %s: %s\n",
                         Py_TYPE(exit_error.get())->tp_name, message ? message : "?");
    }
    PyErr_SetRaisedException(target_error.release());
    return nullptr;
  }
  if (exit_error) {
    PyErr_SetRaisedException(exit_error.release());
    return nullptr;
  }
  return PyLong_FromLong(0);
}

}  // namespace

PyObject* cli_main(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"argv", nullptr};
    PyObject* argv_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:cli_main", const_cast<char**>(keywords),
                                     &argv_object)) {
      return nullptr;
    }
    const std::optional<std::vector<std::string>> argv = argument_bytes(argv_object);
    if (!argv) return nullptr;
    std::variant<RunArgs, ParserExit> parsed = parse_command_line(*argv);
    if (auto* done = std::get_if<ParserExit>(&parsed)) {
      if (!write_to(done->status == 0 ? "stdout" : "stderr", done->text)) return nullptr;
      return PyLong_FromLong(done->status);
    }
    return run(std::get<RunArgs>(parsed));
  });
}

}  // namespace fennik::py
