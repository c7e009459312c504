#include "tracer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "codewatch.hpp"
#include "format.hpp"
#include "monitoring.hpp"
#include "pipeline.hpp"
#include "thread_name.hpp"

namespace fennik::py {
namespace {

constexpr char ENV_CHILD_OUTPUT[] = "FENNIK_CHILD_OUTPUT";
constexpr char ENV_CHILD_FORMAT[] = "FENNIK_CHILD_FORMAT";
constexpr char ENV_CHILD_RECORD_MB[] = "FENNIK_CHILD_RECORD_MB";
constexpr char EXPORTER_PANICKED[] = "exporter thread panicked";
constexpr char FLIGHT_RECORDER_UNAVAILABLE[] =
    "record_last_mb needs the flight recorder, which this build does not have yet";

// The "fennik-exporter" thread and what it ended with.
class ExporterThread {
 public:
  struct Outcome {
    IoStatus status;
    bool panicked = false;
  };

  // Runs the streaming pipeline; throws std::system_error if it cannot start.
  ExporterThread(std::shared_ptr<EventQueue> queue, std::shared_ptr<State> state,
                 std::unique_ptr<Exporter> exporter)
      : outcome_(std::make_shared<Outcome>()) {
    thread_ = std::thread([outcome = outcome_, queue = std::move(queue), state = std::move(state),
                           exporter = std::move(exporter)]() mutable {
      name_current_thread(EXPORTER_THREAD_NAME);
      try {
        outcome->status = run_pipeline(queue, state, state, std::move(exporter));
      } catch (...) {
        outcome->panicked = true;
      }
    });
  }
  ExporterThread(ExporterThread&&) noexcept = default;
  ExporterThread& operator=(ExporterThread&&) noexcept = default;
  ~ExporterThread() {
    // A session dropped without being ended (an abandoned install) must not
    // take the process down with it.
    if (thread_.joinable()) thread_.detach();
  }

  // Waits without the interpreter lock.
  Outcome join() {
    {
      WithoutGil nogil;
      thread_.join();
    }
    return std::move(*outcome_);
  }

 private:
  std::shared_ptr<Outcome> outcome_;
  std::thread thread_;
};

// One live session.
struct Running {
  std::optional<MonitoringHandle> handle;
  std::shared_ptr<EventQueue> queue;
  std::shared_ptr<State> state;
  ExporterThread thread;
};

struct TracerConfig {
  std::optional<std::uint64_t> record_last_mb;
  std::string output;
  bool trace_subprocesses = true;
  Format format = Format::Protobuf;
};

struct TracerData {
  TracerConfig config;
  std::mutex session_lock;
  std::optional<Running> running;  // guarded by session_lock
};

struct TracerObject {
  PyObject_HEAD TracerData data;
};

TracerData& data_of(PyObject* self) {
  return reinterpret_cast<TracerObject*>(self)->data;
}

// The tracer installed last; how process-level hooks find the running tracer.
struct Active {
  std::mutex lock;
  PyObject* tracer = nullptr;  // strong reference
};
constinit NoDestroy<Active> ACTIVE;

// Every tracer holding a session (strong references), so the interpreter's exit
// can end them all, whatever ACTIVE names by then. Touched only with the
// interpreter lock held.
constinit NoDestroy<std::vector<PyObject*>> LIVE;

void add_live(PyObject* tracer) {
  if (std::find(LIVE->begin(), LIVE->end(), tracer) != LIVE->end()) return;
  LIVE->push_back(Py_NewRef(tracer));
}

void remove_live(PyObject* tracer) {
  auto it = std::find(LIVE->begin(), LIVE->end(), tracer);
  if (it == LIVE->end()) return;
  LIVE->erase(it);
  Py_DECREF(tracer);
}

// Replaces ACTIVE's reference; the old one is released outside the lock.
void set_active(PyObject* tracer) {
  PyObject* old;
  {
    lock_releasing_gil(ACTIVE->lock);
    std::lock_guard<std::mutex> g(ACTIVE->lock, std::adopt_lock);
    Py_XINCREF(tracer);
    old = std::exchange(ACTIVE->tracer, tracer);
  }
  Py_XDECREF(old);
}

// Converts C++ failures into Python exceptions: nothing may unwind into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
  }
  return nullptr;
}

PyObject* raise_io(const IoError& e) {
  PyErr_SetString(PyExc_OSError, e.text().c_str());
  return nullptr;
}

// ---- advertising the session to child processes ----

bool set_env(PyObject* environ, const char* key, const std::string& value) {
  PyRef v = PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  return v && PyMapping_SetItemString(environ, key, v.get()) == 0;
}

bool remove_env(PyObject* environ, const char* key) {
  PyRef r = PyRef::steal(PyObject_CallMethod(environ, "pop", "sO", key, Py_None));
  return static_cast<bool>(r);
}

PyRef os_environ() {
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  return os ? PyRef::steal(PyObject_GetAttrString(os.get(), "environ")) : PyRef();
}

bool stop_advertising() {
  PyRef environ = os_environ();
  return environ && remove_env(environ.get(), ENV_CHILD_OUTPUT) &&
         remove_env(environ.get(), ENV_CHILD_FORMAT) &&
         remove_env(environ.get(), ENV_CHILD_RECORD_MB);
}

bool advertise(const TracerConfig& c) {
  PyRef environ = os_environ();
  if (!environ || !set_env(environ.get(), ENV_CHILD_OUTPUT, c.output) ||
      !set_env(environ.get(), ENV_CHILD_FORMAT, c.format.name())) {
    return false;
  }
  if (c.record_last_mb) {
    return set_env(environ.get(), ENV_CHILD_RECORD_MB, std::to_string(*c.record_last_mb));
  }
  return remove_env(environ.get(), ENV_CHILD_RECORD_MB);
}

// ---- start, install, end ----

std::optional<Running> start(const TracerConfig& c, std::uint32_t pid, bool child) {
  if (c.record_last_mb) {
    PyErr_SetString(PyExc_RuntimeError, FLIGHT_RECORDER_UNAVAILABLE);
    return std::nullopt;
  }
  auto queue = EventQueue::create(Clock::starting_now());
  auto state = std::make_shared<State>(queue);
  if (!watch(state)) return std::nullopt;

  IoResult<std::unique_ptr<Exporter>> exporter = Format::open(c.format, c.output, pid, child);
  if (!exporter.ok()) {
    raise_io(exporter.error());
    return std::nullopt;
  }
  std::optional<ExporterThread> thread;
  try {
    thread.emplace(queue, state, std::move(exporter).value());
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "spawn exporter: %s", e.what());
    return std::nullopt;
  }

  std::optional<MonitoringHandle> handle = enable(state);
  if (!handle) {
    // Nothing was recorded; let the exporter finish its empty output, then
    // report the registration error.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    queue->close();
    (void)thread->join();
    PyErr_Restore(type, value, tb);
    return std::nullopt;
  }
  return Running{std::move(handle), std::move(queue), std::move(state), std::move(*thread)};
}

// Ends `running`, already taken out of its tracer's slot. False with an exception set.
bool end(Running running) {
  PyObject *dtype = nullptr, *dvalue = nullptr, *dtb = nullptr;
  if (running.handle) {
    if (!disable(*running.handle)) PyErr_Fetch(&dtype, &dvalue, &dtb);
    running.handle.reset();
  }
  // Monitoring is off and this thread holds the interpreter lock, so no
  // thread is inside a recording step while their batches are flushed.
  running.queue->dropped.fetch_add(flush_every_thread(), std::memory_order_relaxed);
  running.queue->close();
  ExporterThread::Outcome outcome = running.thread.join();
  if (dtype != nullptr) {
    PyErr_Restore(dtype, dvalue, dtb);
    return false;
  }
  if (outcome.status) {
    raise_io(*outcome.status);
    return false;
  }
  if (outcome.panicked) {
    PyErr_SetString(PyExc_RuntimeError, EXPORTER_PANICKED);
    return false;
  }
  return true;
}

PyObject* install(PyObject* self, Running running) {
  // Fork hooks and the deadly-signal take-over are installed here.
  TracerData& d = data_of(self);
  {
    lock_releasing_gil(d.session_lock);
    std::lock_guard<std::mutex> g(d.session_lock, std::adopt_lock);
    d.running = std::move(running);
  }
  add_live(self);
  set_active(self);
  return Py_NewRef(self);
}

// Takes the session out of the slot and ends it. Null with an exception on failure.
PyObject* exit_session(PyObject* self, const std::string& reason) {
  (void)reason;  // the flight recorder names its final dump with it
  set_active(nullptr);
  // The saved deadly-signal handlers are restored here.
  if (!stop_advertising()) return nullptr;
  TracerData& d = data_of(self);
  lock_releasing_gil(d.session_lock);
  std::lock_guard<std::mutex> g(d.session_lock, std::adopt_lock);
  if (!d.running) Py_RETURN_FALSE;
  Running running = std::move(*d.running);
  d.running.reset();
  PyRef hold = PyRef::borrow(self);  // LIVE may hold the last reference
  remove_live(self);
  if (!end(std::move(running))) return nullptr;
  Py_RETURN_FALSE;
}

// Ends every session still running when the interpreter exits, so each
// output is complete and no native thread outlives finalisation.
PyObject* end_at_exit(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    while (!LIVE->empty()) {
      PyRef tracer = PyRef::borrow(LIVE->back());
      PyRef r = PyRef::steal(exit_session(tracer.get(), "exit"));
      // Report a failure and go on: the other sessions still deserve their end.
      if (!r) PyErr_WriteUnraisable(tracer.get());
      remove_live(tracer.get());
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef END_AT_EXIT_DEF = {"_fk_end_at_exit", end_at_exit, METH_NOARGS, nullptr};
bool AT_EXIT_REGISTERED = false;

bool register_end_at_exit() {
  if (AT_EXIT_REGISTERED) return true;
  PyRef fn = PyRef::steal(PyCFunction_New(&END_AT_EXIT_DEF, nullptr));
  PyRef atexit = fn ? PyRef::steal(PyImport_ImportModule("atexit")) : PyRef();
  PyRef r =
      atexit ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get())) : PyRef();
  if (!r) return false;
  AT_EXIT_REGISTERED = true;
  return true;
}

// ---- Python methods ----

PyObject* type_error(const char* func, const char* param, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, param, expected,
               Py_TYPE(got)->tp_name);
  return nullptr;
}

// A non-negative int that fits 64 bits, or None.
bool optional_u64(const char* func, const char* param, PyObject* value,
                  std::optional<std::uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value)) {
    type_error(func, param, "int or None", value);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' must be a non-negative integer below 2**64", func, param);
    return false;
  }
  out = v;
  return true;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"output", "format", "trace_subprocesses", "record_last_mb",
                                     nullptr};
    PyObject *output = nullptr, *format = nullptr, *trace = nullptr, *record = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Tracer", const_cast<char**>(keywords),
                                     &output, &format, &trace, &record)) {
      return nullptr;
    }
    TracerConfig config;
    if (!PyUnicode_Check(output)) return type_error("Tracer", "output", "str", output);
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(output, &n);
    if (text == nullptr) return nullptr;
    config.output.assign(text, static_cast<std::size_t>(n));
    // The operating system would silently cut the path at the first NUL.
    if (config.output.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return nullptr;
    }
    std::string format_name = "protobuf";
    if (format != nullptr) {
      if (!PyUnicode_Check(format)) return type_error("Tracer", "format", "str", format);
      text = PyUnicode_AsUTF8AndSize(format, &n);
      if (text == nullptr) return nullptr;
      format_name.assign(text, static_cast<std::size_t>(n));
    }
    if (trace != nullptr) {
      if (!PyBool_Check(trace)) return type_error("Tracer", "trace_subprocesses", "bool", trace);
      config.trace_subprocesses = trace == Py_True;
    }
    if (!optional_u64("Tracer", "record_last_mb", record, config.record_last_mb)) return nullptr;
    auto parsed = Format::parse(format_name);
    if (auto* message = std::get_if<std::string>(&parsed)) {
      PyErr_SetString(PyExc_ValueError, message->c_str());
      return nullptr;
    }
    config.format = std::get<Format>(parsed);

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<TracerObject*>(self);
    new (&obj->data) TracerData{std::move(config), {}, {}};
    return self;
  });
}

void tracer_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<TracerObject*>(self);
  // A tracer is only freed once nothing, ACTIVE included, refers to it; a
  // session it still holds is abandoned (its thread detached).
  obj->data.~TracerData();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* enter_common(PyObject* self, std::uint32_t pid, bool child) {
  // Before the session starts: importing atexit would otherwise be traced.
  if (!register_end_at_exit()) return nullptr;
  std::optional<Running> running = start(data_of(self).config, pid, child);
  if (!running) return nullptr;
  return install(self, std::move(*running));
}

PyObject* tracer_enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const TracerConfig& c = data_of(self).config;
    if (!(c.trace_subprocesses ? advertise(c) : stop_advertising())) return nullptr;
    return enter_common(self, 0, false);
  });
}

PyObject* tracer_enter_as_child(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return enter_common(self, static_cast<std::uint32_t>(getpid()), true);
  });
}

PyObject* tracer_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "__exit__() takes exactly 3 arguments (%zd given)", nargs);
      return nullptr;
    }
    PyObject* exc_type = args[0];
    if (exc_type != Py_None && !PyType_Check(exc_type)) {
      PyErr_Format(PyExc_TypeError,
                   "__exit__() argument 'exc_type' must be a type or None, not %.200s",
                   Py_TYPE(exc_type)->tp_name);
      return nullptr;
    }
    std::string reason = "exit";
    if (exc_type != Py_None) {
      reason = std::string("exception-") + _PyType_Name(reinterpret_cast<PyTypeObject*>(exc_type));
    }
    return exit_session(self, reason);
  });
}

// Under the session lock: the not-running and streaming-mode checks shared by
// dump and snapshot. Null with an exception when the session cannot dump.
PyObject* require_recorder(TracerData& d) {
  if (!d.running) {
    PyErr_SetString(PyExc_RuntimeError, NOT_RUNNING);
    return nullptr;
  }
  // Sessions with a recorder do not exist yet: every running session streams.
  PyErr_SetString(PyExc_RuntimeError, STREAMING_MODE);
  return nullptr;
}

bool str_arg(PyObject* value, const char* method, const char* param) {
  if (PyUnicode_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", method, param,
               Py_TYPE(value)->tp_name);
  return false;
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
    TracerData& d = data_of(self);
    lock_releasing_gil(d.session_lock);
    std::lock_guard<std::mutex> g(d.session_lock, std::adopt_lock);
    return require_recorder(d);
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
    if (!optional_u64("snapshot", "start", start_obj, start_ns) ||
        !optional_u64("snapshot", "end", end_obj, end_ns)) {
      return nullptr;
    }
    if (start_ns.has_value() != end_ns.has_value()) {
      PyErr_SetString(PyExc_ValueError, "start and end come together");
      return nullptr;
    }
    TracerData& d = data_of(self);
    lock_releasing_gil(d.session_lock);
    std::lock_guard<std::mutex> g(d.session_lock, std::adopt_lock);
    return require_recorder(d);
  });
}

PyObject* tracer_now_ns(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    TracerData& d = data_of(self);
    lock_releasing_gil(d.session_lock);
    std::lock_guard<std::mutex> g(d.session_lock, std::adopt_lock);
    if (!d.running) {
      PyErr_SetString(PyExc_RuntimeError, NOT_RUNNING);
      return nullptr;
    }
    const Clock& clock = d.running->queue->clock;
    return PyLong_FromUnsignedLongLong(clock.ns_from_ticks(clock.now_ticks()));
  });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef TRACER_METHODS[] = {
    {"__enter__", tracer_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"_enter_as_child", tracer_enter_as_child, METH_NOARGS, "_enter_as_child($self)\n--\n\n"},
    {"__exit__", as_cfunction(tracer_exit), METH_FASTCALL,
     "__exit__($self, exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {"snapshot", as_cfunction(tracer_snapshot), METH_VARARGS | METH_KEYWORDS,
     "snapshot($self, reason, start=None, end=None)\n--\n\n"},
    {"dump", as_cfunction(tracer_dump), METH_VARARGS | METH_KEYWORDS,
     "dump($self, reason)\n--\n\n"},
    {"now_ns", tracer_now_ns, METH_NOARGS, "now_ns($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TRACER_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Tracer(output, format=..., trace_subprocesses=True, record_last_mb=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, TRACER_METHODS},
    {0, nullptr},
};

PyType_Spec TRACER_SPEC = {
    "fennik._core.Tracer", sizeof(TracerObject), 0, Py_TPFLAGS_DEFAULT, TRACER_SLOTS,
};

PyObject* TRACER_TYPE = nullptr;

}  // namespace

PyObject* tracer_type() {
  if (TRACER_TYPE == nullptr) TRACER_TYPE = PyType_FromSpec(&TRACER_SPEC);
  return Py_XNewRef(TRACER_TYPE);
}

}  // namespace fennik::py
