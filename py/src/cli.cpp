#include "cli.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "advertisement.hpp"
#include "attach_command.hpp"
#include "child_tally.hpp"
#include "cli_messages.hpp"
#include "command_line.hpp"
#include "dump_command.hpp"
#include "process_label.hpp"
#include "program_exit.hpp"
#include "recording_window.hpp"
#include "report_command.hpp"
#include "run_target.hpp"
#include "selection_args.hpp"
#include "tracer.hpp"

namespace fennik::py {
namespace {

constexpr char ARGV_TYPE_ERROR[] = "cli_main() argument 'argv' must be a list of str";

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

// The target's command line as `python` would have been given it; an
// argument with a space or nothing in it is quoted.
std::string target_command_line(const RunArgs& a) {
  std::vector<std::string> words = a.module ? *a.module : std::vector<std::string>{*a.script};
  if (!a.module) words.insert(words.end(), a.script_args.begin(), a.script_args.end());
  std::string out = a.module ? "python -m" : "python";
  for (const std::string& w : words) {
    out += w.empty() || w.find(' ') != std::string::npos ? " '" + w + "'" : " " + w;
  }
  return out;
}

PyRef make_tracer(const RunArgs& a, Format format) {
  set_run_command_line(target_command_line(a));
  PyRef type = PyRef::steal(tracer_type());
  PyRef output = fs_str(a.output);
  if (!type || !output) return PyRef();
  PyRef args = PyRef::steal(PyTuple_Pack(1, output.get()));
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:s,s:O}", "format", format.name(), "trace_subprocesses",
                                 a.no_trace_subprocesses ? Py_False : Py_True));
  if (!args || !kwargs) return PyRef();
  if (a.record_last_mb) {
    PyRef mb = PyRef::steal(PyLong_FromUnsignedLongLong(*a.record_last_mb));
    if (!mb || PyDict_SetItemString(kwargs.get(), "record_last_mb", mb.get()) < 0) return PyRef();
  }
  if (a.dump_signal) {
    PyRef sig = fs_str(*a.dump_signal);
    if (!sig || PyDict_SetItemString(kwargs.get(), "dump_signal", sig.get()) < 0) return PyRef();
  }
  if (!selection_kwargs(a.selection, kwargs.get())) return PyRef();
  return PyRef::steal(PyObject_Call(type.get(), args.get(), kwargs.get()));
}

}  // namespace

// The format given, else the one the output's name asks for; a dump
// directory's name asks for none. A given format the name contradicts is
// written all the same, with a warning.
Format chosen_format(const RunArgs& a) {
  if (a.record_last_mb) return a.format.value_or(Format::Protobuf);
  // A name that contradicts the format given is the tracer's to warn of.
  return a.format.value_or(Format::for_output(a.output));
}

namespace {

std::string described(PyObject* exc) {
  PyRef text = PyRef::steal(PyObject_Str(exc));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (message == nullptr) PyErr_Clear();
  return std::string(Py_TYPE(exc)->tp_name) + ": " + (message != nullptr ? message : "?");
}

}  // namespace

std::string summary(const RunArgs& a, Format format, const OutputFigures& f,
                    const std::optional<ChildTally>& children) {
  const std::string& file = f.dump.empty() ? a.output : f.dump;
  std::string line = "wrote " + std::to_string(f.events) + " events (" + std::to_string(f.dropped) +
                     " dropped) to ";
  line += a.record_last_mb ? "the dump directory " + a.output + ": " + file : file;
  if (children && children->started > 0) {
    const bool one = children->ended == 1;
    const std::string count =
        std::to_string(children->ended) + (one ? " child process" : " child processes");
    if (a.record_last_mb) {
      line += "; " + count + (one ? " wrote its dumps" : " wrote theirs") + " there too";
    } else if (format == Format::Pprof) {
      line += "; " + count + (one ? " wrote its profile" : " wrote theirs") + " beside it, as " +
              a.output + ".<pid>";
    } else {
      line += "; " + count + " added " + std::to_string(children->events) + " events (" +
              std::to_string(children->dropped) + " dropped)";
    }
    if (children->started > children->ended) {
      line += ", and " + std::to_string(children->started - children->ended) +
              " more had not finished when this process ended";
    }
  }
  return line + "; " + format.viewer_hint(file) + ", or read it here with: fennik report " + file +
         (format == Format::Pprof && children && children->ended > 0 ? " --children" : "");
}

namespace {

// The tally of the child processes, advertised to them while it lives.
class AdvertisedTally {
 public:
  explicit AdvertisedTally(bool wanted) {
    std::optional<TallyFile> made = wanted ? TallyFile::create() : std::nullopt;
    if (!made) return;
    file_.emplace(std::move(*made));
    PyRef environ = os_environ();
    PyRef path = environ ? fs_str(file_->path()) : PyRef();
    if (!path || PyMapping_SetItemString(environ.get(), ENV_CHILD_TALLY, path.get()) < 0) {
      PyErr_Clear();  // the summary goes without the children's figures
      file_.reset();
    }
  }
  AdvertisedTally(const AdvertisedTally&) = delete;
  AdvertisedTally& operator=(const AdvertisedTally&) = delete;
  ~AdvertisedTally() {
    if (!file_) return;
    PendingError kept;
    PyRef environ = os_environ();
    if (!environ ||
        !PyRef::steal(PyObject_CallMethod(environ.get(), "pop", "sO", ENV_CHILD_TALLY, Py_None))) {
      PyErr_Clear();
    }
  }
  std::optional<ChildTally> read() const {
    return file_ ? std::optional<ChildTally>(file_->read()) : std::nullopt;
  }

 private:
  std::optional<TallyFile> file_;
};

// The outcome, from the target's exception, the session's end error and the
// failure to put sys back. The target's exception stays the outcome, the
// others told on stderr, unless it was a successful exit: then the first
// failure of ours is, the errors chained in the order they happened.
PyObject* outcome(PyRef target_error, PyRef end_error, PyRef restore_error) {
  if (target_error && !(exits_successfully(target_error.get()) && (end_error || restore_error))) {
    if (end_error) say("the trace could not be finished: " + described(end_error.get()));
    if (restore_error) say("sys could not be put back: " + described(restore_error.get()));
    PyErr_SetRaisedException(target_error.release());
    return nullptr;
  }
  PyRef raised;
  for (PyRef* e : {&target_error, &end_error, &restore_error}) {
    if (!*e) continue;
    if (raised) PyException_SetContext(e->get(), raised.release());
    raised = std::move(*e);
  }
  if (!raised) return PyLong_FromLong(0);
  PyErr_SetRaisedException(raised.release());
  return nullptr;
}

// Steps after the arguments are parsed: the target is resolved, the tracer
// made, entered and ended around exactly the target's run.
PyObject* run(const RunArgs& a) {
  const Format format = chosen_format(a);
  TargetView view;
  std::optional<std::variant<Target, Unrunnable>> resolved = resolve_target(a, view);
  if (auto* refused = resolved ? std::get_if<Unrunnable>(&*resolved) : nullptr) {
    if (!view.restore()) return nullptr;
    if (!write_to("stderr", "error: " + refused->message + "\n")) return nullptr;
    return PyLong_FromLong(refused->status);
  }
  // Everything that can fail before the target runs leaves sys as it was.
  auto failed = [&view]() -> PyObject* {
    PendingError kept;
    view.restore();
    return nullptr;
  };
  if (!resolved) return failed();
  const Target& target = std::get<Target>(*resolved);
  PyRef tracer;
  std::optional<ProgramExit> exit;
  AdvertisedTally tally(!a.no_trace_subprocesses);
  {
    WarningsAsLines lines;
    if (!lines.ok()) return failed();
    tracer = make_tracer(a, format);
    if (tracer) exit = ProgramExit::prepare(tracer.get());
    if (!exit || !view.install_main(target.main.get())) return failed();
    if (!a.delay_s && !PyRef::steal(PyObject_CallMethod(tracer.get(), "__enter__", nullptr))) {
      return failed();
    }
  }
  std::unique_ptr<RecordingWindow> window;
  if (a.delay_s || a.duration_s) {
    window = RecordingWindow::open(tracer.get(), exit->finisher(), a.delay_s, a.duration_s);
  }
  if (!exit->arm() || ((a.delay_s || a.duration_s) && !window)) {
    PendingError kept;
    window.reset();
    PyRef ended = PyRef::steal(
        PyObject_CallMethod(tracer.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    return failed();
  }
  // From here to the end of the exit functions, only the target's code runs
  // in Python: its <module> is the outermost frame of the trace.
  PyRef result = run_target(target);
  ProgramExit::Outcome out = exit->finish(PyRef::steal(PyErr_GetRaisedException()));
  RecordingWindow::Closed window_closed{true, PyRef()};
  if (window) window_closed = window->close();
  PyRef restore_error = view.restore() ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  if (window_closed.start_error) {
    say("the tracer could not start: " + described(window_closed.start_error.get()));
  } else if (!window_closed.started) {
    if (!a.quiet) say("recorded nothing: the program ended before the delay was over");
  } else if (!out.end_error) {
    const OutputFigures figures = session_figures(tracer.get());
    if (!a.quiet) say(summary(a, format, figures, tally.read()));
    if (a.report_top) {
      report_after_run(figures.dump.empty() ? a.output : figures.dump, format == Format::Pprof,
                       *a.report_top);
    }
  }
  return outcome(std::move(out.target_error), std::move(out.end_error), std::move(restore_error));
}

// "fennik VERSION" from the package, which knows where its version comes from.
PyObject* show_version() {
  PyRef package = PyRef::steal(PyImport_ImportModule("fennik"));
  PyRef version =
      package ? PyRef::steal(PyObject_GetAttrString(package.get(), "__version__")) : PyRef();
  const char* text = version ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (text == nullptr || !write_to("stdout", std::string("fennik ") + text + "\n")) return nullptr;
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
    if (argv->size() >= 2 && (*argv)[1] == "report") {
      return report_command({argv->begin() + 2, argv->end()}, program_name(*argv));
    }
    Command parsed = parse_command_line(*argv);
    if (auto* done = std::get_if<ParserExit>(&parsed)) {
      if (!write_to(done->status == 0 ? "stdout" : "stderr", done->text)) return nullptr;
      return PyLong_FromLong(done->status);
    }
    if (std::holds_alternative<VersionWanted>(parsed)) return show_version();
    if (auto* dump = std::get_if<DumpArgs>(&parsed)) return dump_command(*dump);
    const RunArgs& a = std::get<RunArgs>(parsed);
    return a.attach_pid ? attach_command(a) : run(a);
  });
}

}  // namespace fennik::py
