// fennik._core.Tracer: a configuration, and while it is entered, one
// session. Its methods check their arguments and the tracer's state; the
// session itself, its installation and the recorder requests live in files
// of their own.
#include "tracer.hpp"

#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "control.hpp"
#include "format.hpp"
#include "installed.hpp"
#include "monitoring.hpp"
#include "pause.hpp"
#include "process_hooks.hpp"
#include "process_type.hpp"
#include "py_errors.hpp"
#include "recorder_requests.hpp"
#include "selection_args.hpp"
#include "session.hpp"
#include "signal_names.hpp"
#include "signals.hpp"
#include "snapshot_object.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {
namespace {

constexpr char ALREADY_RUNNING[] = "the tracer is already running";
constexpr char EXCEPTION_REASON_PREFIX[] = "exception-";

// The format asked for by name, or else the one the output's name asks for (a
// dump directory's name asks for none: protobuf). A name that contradicts the
// format given is written all the same, after a warning. False with an
// exception.
bool choose_format(TracerConfig& config, const std::optional<std::string>& name) {
  if (!name) {
    config.format =
        config.record_last_mb ? Format(Format::Protobuf) : Format::for_output(config.output);
    return true;
  }
  auto parsed = Format::parse(*name);
  if (auto* message = std::get_if<std::string>(&parsed)) {
    PyErr_SetString(PyExc_ValueError, message->c_str());
    return false;
  }
  config.format = std::get<Format>(parsed);
  const std::optional<Format> asked =
      config.record_last_mb ? std::nullopt : config.format.contradicted_by(config.output);
  if (!asked) return true;
  PyRef output = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      config.output.data(), static_cast<Py_ssize_t>(config.output.size())));
  return output &&
         PyErr_WarnFormat(PyExc_UserWarning, 1, "writing %s into %U, whose name asks for %s",
                          config.format.name(), output.get(), asked->name()) == 0;
}

// dump_signal=: a signal number, a name ("SIGUSR1", "usr2"), or None (or
// "none") for no dump signal; SIGUSR1 when not given.
bool dump_signal_arg(PyObject* arg, std::optional<int>& out) {
  out = default_dump_signal();
  if (arg == nullptr) return true;
  if (arg == Py_None) {
    out.reset();
    return true;
  }
  std::variant<std::optional<int>, std::string> parsed = std::string();
  if (PyLong_Check(arg)) {
    const int signum = PyLong_AsInt(arg);
    if (signum == -1 && PyErr_Occurred()) return false;
    const std::optional<std::string> refused = refuse_dump_signal(signum);
    parsed = refused ? std::variant<std::optional<int>, std::string>(*refused)
                     : std::optional<int>(signum);
  } else if (PyUnicode_Check(arg)) {
    const char* text = PyUnicode_AsUTF8(arg);
    if (text == nullptr) return false;
    parsed = parse_dump_signal(text);
  } else {
    type_error("Tracer", "dump_signal", "int, str or None", arg);
    return false;
  }
  if (auto* message = std::get_if<std::string>(&parsed)) {
    PyErr_Format(PyExc_ValueError, "Tracer() argument 'dump_signal': %s", message->c_str());
    return false;
  }
  out = std::get<std::optional<int>>(parsed);
  return true;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"output",          "format",       "trace_subprocesses",
                                     "record_last_mb",  "dump_signal",  "include",
                                     "exclude",         "only_my_code", "max_depth",
                                     "min_duration_us", "c_calls",      nullptr};
    PyObject *output = nullptr, *format = nullptr, *trace = nullptr, *record = nullptr,
             *dump_signal = nullptr;
    PyObject *include = nullptr, *exclude = nullptr, *only_mine = nullptr, *depth = nullptr;
    PyObject *shortest = nullptr, *c_calls = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO$OOOOOO:Tracer",
                                     const_cast<char**>(keywords), &output, &format, &trace,
                                     &record, &dump_signal, &include, &exclude, &only_mine, &depth,
                                     &shortest, &c_calls)) {
      return nullptr;
    }
    TracerConfig config;
    // Whatever open() takes: str (undecodable bytes as surrogate escapes),
    // bytes or a path-like object. Embedded NUL bytes are refused.
    PyObject* encoded = nullptr;
    if (!PyUnicode_Check(output) && !PyBytes_Check(output) &&
        !PyObject_HasAttrString(output, "__fspath__")) {
      return type_error("Tracer", "output", "str, bytes or os.PathLike", output);
    }
    if (!PyUnicode_FSConverter(output, &encoded)) return nullptr;
    PyRef output_bytes = PyRef::steal(encoded);
    config.output.assign(PyBytes_AS_STRING(encoded),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    std::optional<std::string> format_name;  // none: chosen by the output's name
    if (format != nullptr && format != Py_None) {
      if (!PyUnicode_Check(format)) return type_error("Tracer", "format", "str or None", format);
      Py_ssize_t n = 0;
      const char* text = PyUnicode_AsUTF8AndSize(format, &n);
      if (text == nullptr) return nullptr;
      format_name.emplace(text, static_cast<std::size_t>(n));
    }
    if (trace != nullptr) {
      if (!PyBool_Check(trace)) return type_error("Tracer", "trace_subprocesses", "bool", trace);
      config.trace_subprocesses = trace == Py_True;
    }
    if (!optional_u64("Tracer", "record_last_mb", record, config.record_last_mb)) return nullptr;
    if (config.record_last_mb > MAX_RECORD_MB) {
      PyErr_Format(PyExc_OverflowError,
                   "Tracer() argument 'record_last_mb' must be at most %llu megabytes",
                   static_cast<unsigned long long>(MAX_RECORD_MB));
      return nullptr;
    }
    if (!parse_selection(include, exclude, only_mine, depth, config.selection) ||
        !parse_min_duration(shortest, config.selection)) {
      return nullptr;
    }
    if (c_calls != nullptr) {
      if (!PyBool_Check(c_calls)) return type_error("Tracer", "c_calls", "bool", c_calls);
      config.selection.c_calls = c_calls == Py_True;
    }
    if (!choose_format(config, format_name)) return nullptr;
    if (!dump_signal_arg(dump_signal, config.dump_signal)) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<TracerObject*>(self);
    new (&obj->data) TracerData{std::move(config), {}, {}, {}};
    return self;
  });
}

void tracer_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<TracerObject*>(self);
  // A running tracer is in LIVE, which keeps it alive until its session
  // ends, so a tracer freed here holds no session.
  obj->data.~TracerData();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* enter_common(PyObject* self, std::uint32_t pid, bool child) {
  if (data_of(self).is_running()) {
    PyErr_SetString(PyExc_RuntimeError, ALREADY_RUNNING);
    return nullptr;
  }
  if (!register_process_hooks()) return nullptr;
  std::optional<Running> running = start(data_of(self).config, pid, child);
  if (!running) return nullptr;
  return install(self, std::move(*running));
}

PyObject* tracer_enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return enter_common(self, 0, false); });
}

PyObject* tracer_enter_as_child(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return enter_common(self, static_cast<std::uint32_t>(getpid()), true);
  });
}

// 1 when the block left without an exception or by SystemExit with a code
// of None or 0 (a normal exit), 0 for any other exception, -1 with an error.
int exits_normally(PyObject* exc_type, PyObject* exc) {
  if (exc_type == Py_None) return 1;
  if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(exc_type),
                        reinterpret_cast<PyTypeObject*>(PyExc_SystemExit))) {
    return 0;
  }
  // A SystemExit given as a type alone, never raised, carries no code.
  if (exc == nullptr || !PyExceptionInstance_Check(exc)) return 1;
  PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
  if (!code) return -1;
  if (code.get() == Py_None) return 1;
  if (!PyLong_Check(code.get())) return 0;
  const int zero = PyObject_Not(code.get());
  return zero < 0 ? -1 : zero;
}

PyObject* tracer_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!exit_arguments(args, nargs)) return nullptr;
    PyObject* exc_type = args[0];
    if (in_callback_slow_side()) {
      PyErr_SetString(PyExc_RuntimeError, SELF_END_REFUSED);
      return nullptr;
    }
    std::string reason = EXIT_REASON;
    const int normal = exits_normally(exc_type, args[1]);
    if (normal < 0) return nullptr;
    if (normal == 0) {
      PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(exc_type)));
      const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
      if (text == nullptr) return nullptr;
      reason = std::string(EXCEPTION_REASON_PREFIX) + text;
    }
    const bool was_running = data_of(self).is_running();
    // The session ends before the handlers are put back: a deadly signal
    // handled meanwhile finds the output complete (ending twice is harmless).
    PyRef ended = PyRef::steal(exit_session(self, reason));
    PyRef end_error = ended ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
    // A pending handler that raised there (a KeyboardInterrupt) is what the
    // caller sees.
    if (was_running && !restore_deadly_signals()) return nullptr;
    if (end_error) {
      PyErr_SetRaisedException(end_error.release());
      return nullptr;
    }
    return ended.release();
  });
}

PyObject* tracer_dump(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"reason", nullptr};
    PyObject* reason = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:dump", const_cast<char**>(keywords),
                                     &reason)) {
      return nullptr;
    }
    if (!str_arg(reason, "dump", "reason")) return nullptr;
    const char* text = PyUnicode_AsUTF8(reason);
    if (text == nullptr) return nullptr;
    return request_dump(self, [&](const Clock& clock, ReplyTo reply) -> Control {
      return Dump{std::move(reply), text, clock.now_ticks()};
    });
  });
}

PyObject* tracer_snapshot(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"reason", "start", "end", nullptr};
    PyObject *reason = nullptr, *start_obj = Py_None, *end_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:snapshot", const_cast<char**>(keywords),
                                     &reason, &start_obj, &end_obj)) {
      return nullptr;
    }
    if (!str_arg(reason, "snapshot", "reason")) return nullptr;
    std::optional<std::uint64_t> start_ns, end_ns;
    if (!optional_clamped_ns("snapshot", "start", start_obj, start_ns) ||
        !optional_clamped_ns("snapshot", "end", end_obj, end_ns)) {
      return nullptr;
    }
    if (start_ns.has_value() != end_ns.has_value()) {
      PyErr_SetString(PyExc_ValueError, "start and end come together");
      return nullptr;
    }
    const char* text = PyUnicode_AsUTF8(reason);
    if (text == nullptr) return nullptr;
    if (start_ns) {
      return request_dump(self, [&](const Clock& clock, ReplyTo reply) -> Control {
        return DumpWindow{std::move(reply), text,
                          NEXT_WINDOW.fetch_add(1, std::memory_order_relaxed),
                          clock.ticks_from_ns(*start_ns), clock.ticks_from_ns(*end_ns)};
      });
    }
    if (!with_recorder(self, [](const RecorderAccess&) -> const char* { return nullptr; })) {
      return nullptr;
    }
    return new_snapshot(self, reason);
  });
}

PyObject* tracer_now_ns(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<std::uint64_t> now;
    {
      TracerData& d = data_of(self);
      std::lock_guard<std::mutex> g(d.session_lock);
      if (d.running)
        now = d.running->queue->clock.ns_from_ticks(d.running->queue->clock.now_ticks());
    }
    if (!now) {
      PyErr_SetString(PyExc_RuntimeError, NOT_RUNNING);
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*now);
  });
}

// For `fennik attach`, which reads them in the traced process.
PyObject* tracer_figures(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const OutputFigures f = session_figures(self);
    return Py_BuildValue(
        "(KKN)", static_cast<unsigned long long>(f.events),
        static_cast<unsigned long long>(f.dropped),
        PyUnicode_DecodeFSDefaultAndSize(f.dump.data(), static_cast<Py_ssize_t>(f.dump.size())));
  });
}

PyMethodDef TRACER_METHODS[] = {
    {"__enter__", tracer_enter, METH_NOARGS,
     "__enter__($self, /)\n--\n\n"
     "Starts a session: a fresh output (or, for a flight recorder, the dump\n"
     "directory), and every Python function on every thread recorded from now on."},
    {"_enter_as_child", tracer_enter_as_child, METH_NOARGS,
     "_enter_as_child($self, /)\n--\n\n"
     "Starts a session of a traced program's child process, adding to its output."},
    {"__exit__", as_cfunction(tracer_exit), METH_FASTCALL,
     "__exit__($self, exc_type, _exc_val, _exc_tb, /)\n--\n\n"
     "Ends the session and finishes its output; a flight recorder writes its\n"
     "last dump, named exit or after the exception that left the block."},
    {"snapshot", as_cfunction(tracer_snapshot), METH_VARARGS | METH_KEYWORDS,
     "snapshot($self, /, reason, start=None, end=None)\n--\n\n"
     "With start and end (the session's nanoseconds, as now_ns gives them),\n"
     "dumps that window of the flight recorder and returns the file's path;\n"
     "without them, returns a Snapshot whose with-block is the window."},
    {"dump", as_cfunction(tracer_dump), METH_VARARGS | METH_KEYWORDS,
     "dump($self, /, reason)\n--\n\n"
     "Writes everything the flight recorder holds into a new dump named after\n"
     "reason, and returns its path; the session goes on."},
    {"now_ns", tracer_now_ns, METH_NOARGS,
     "now_ns($self, /)\n--\n\nThe session's clock: nanoseconds since the session started."},
    {"pause", tracer_pause, METH_NOARGS,
     "pause($self, /)\n--\n\n"
     "Stops recording until resume; the output marks the pause. Frames open\n"
     "when it begins end there. Pausing a paused tracer does nothing."},
    {"_figures", tracer_figures, METH_NOARGS,
     "_figures($self, /)\n--\n\n"
     "(events, dropped, dump path) of the session ended last, as fennik run reports them."},
    {"resume", tracer_resume, METH_NOARGS,
     "resume($self, /)\n--\n\nRecords again after pause; otherwise does nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TRACER_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Tracer(output, format=None, trace_subprocesses=True, record_last_mb=None,\n"
         "       dump_signal='SIGUSR1', *, include=None, exclude=None, only_my_code=False,\n"
         "       max_depth=None, min_duration_us=None, c_calls=False)\n--\n\n"
         "Records every Python function start, return, yield, resume, unwind and\n"
         "throw on every thread while it is entered (with Tracer(...): ...).\n\n"
         "output: the file to write, or a flight recorder's dump directory.\n"
         "format: 'protobuf' (Perfetto), 'json' (trace-event) or 'pprof'; None\n"
         "  chooses by the output's name: .json, .pprof, .prof or .pb.gz, else protobuf.\n"
         "trace_subprocesses: child processes trace themselves into the same output.\n"
         "record_last_mb: keep only the last N megabytes of events in memory and\n"
         "  write dumps (dump, snapshot, at the end, on a deadly signal).\n"
         "dump_signal: the signal that asks a flight recorder for a dump\n"
         "  (fennik dump PID sends it); None leaves it to the program.\n"
         "include, exclude: module name patterns ('myapp', 'json.*') or file name\n"
         "  globs ('*/site-packages/*', '<frozen *>'); a function is recorded when it\n"
         "  matches an include (or there is none) and no exclude.\n"
         "only_my_code: leave out the standard library, installed packages and frozen\n"
         "  modules; includes then add to what is recorded.\n"
         "max_depth: record only calls at most this deep on each thread.\n"
         "min_duration_us: leave out of the output the calls shorter than this;\n"
         "  the output says how many.\n"
         "c_calls: record calls of built-in functions and methods and of C classes\n"
         "  too (time.sleep, len, list.sort), nested with the Python functions.")},
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, TRACER_METHODS},
    {0, nullptr},
};

PyType_Spec TRACER_SPEC = {
    "fennik._core.Tracer", sizeof(TracerObject), 0, Py_TPFLAGS_DEFAULT, TRACER_SLOTS,
};

constinit ProcessType TRACER_TYPE{TRACER_SPEC};

}  // namespace

OutputFigures session_figures(PyObject* tracer) {
  return data_of(tracer).figures;
}

PyObject* tracer_type() {
  return TRACER_TYPE.get();
}

}  // namespace fennik::py
