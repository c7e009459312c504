#include "tracer.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "advertisement.hpp"
#include "codewatch.hpp"
#include "control.hpp"
#include "dir_sink.hpp"
#include "env_settings.hpp"
#include "exporter_thread.hpp"
#include "format.hpp"
#include "monitoring.hpp"
#include "pipeline.hpp"
#include "py_errors.hpp"
#include "recorder.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "thread_name.hpp"
#include "tracer_slot.hpp"
#include "whole_number.hpp"

namespace fennik::py {
namespace {

constexpr char ALREADY_RUNNING[] = "the tracer is already running";
constexpr char EXIT_REASON[] = "exit";
constexpr char EXCEPTION_REASON_PREFIX[] = "exception-";
// A requester waiting for a dump looks at pending signals this often, so
// that Ctrl-C interrupts the wait.
constexpr std::chrono::milliseconds DUMP_WAIT_SLICE{50};

// The tracer installed last; how process-level hooks find the running tracer.
// Like the session lock, taken only with the interpreter lock held.
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

// Replaces ACTIVE's reference when it names `expected` (any tracer when
// null); the old one is released outside the lock.
void set_active(PyObject* tracer, PyObject* expected = nullptr) {
  PyObject* old = nullptr;
  {
    std::lock_guard<std::mutex> g(ACTIVE->lock);
    if (expected != nullptr && ACTIVE->tracer != expected) return;
    Py_XINCREF(tracer);
    old = std::exchange(ACTIVE->tracer, tracer);
  }
  Py_XDECREF(old);
}

// ---- process-level hooks ----

// Takes `self`'s session out of its slot and ends it; False, or null with an
// exception on failure, raised after the teardown is complete.
PyObject* exit_session(PyObject* self, const std::string& reason) {
  TracerData& d = data_of(self);
  std::optional<Running> running = d.take();
  // A tracer that is not running touches nothing: ACTIVE and the variables
  // may belong to another tracer's session.
  if (!running) Py_RETURN_FALSE;
  PyRef hold = PyRef::borrow(self);  // LIVE may hold the last reference
  set_active(nullptr, self);
  remove_live(self);
  if (running->pid != getpid()) {
    abandon(std::move(*running));
    Py_RETURN_FALSE;
  }
  PyRef fork_error = std::move(running->fork_error);
  FirstError errors;
  errors.step(end(std::move(*running), d.config.output, reason, d.figures));
  if (fork_error) {
    // Recording stopped at a fork: raised unless the end failed too.
    PyErr_SetRaisedException(fork_error.release());
    errors.step(false);
  }
  errors.step(stop_advertising());
  if (!errors.finish()) return nullptr;
  Py_RETURN_FALSE;
}

// Ends every session still running when the interpreter exits, so each
// output is complete and no native thread outlives finalisation.
PyObject* end_at_exit(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    EXIT_HOOK_RAN = true;
    while (!LIVE->empty()) {
      PyRef tracer = PyRef::borrow(LIVE->back());
      PyRef r = PyRef::steal(exit_session(tracer.get(), EXIT_REASON));
      // Report a failure and go on: the other sessions still deserve their end.
      if (!r) PyErr_WriteUnraisable(tracer.get());
      remove_live(tracer.get());
    }
    Py_RETURN_NONE;
  });
}

// In a forked child, right after the fork and before any Python code runs:
// nothing may record into the parent's sessions or wait for a lock one of
// the parent's other threads held at the fork.
void after_fork_in_child_native() noexcept {
  end_watched_recording();
  abandon_after_fork();
}

// Strong references to every tracer holding a session, so that the list may
// change while they are visited.
std::vector<PyRef> live_tracers() {
  std::vector<PyRef> tracers;
  for (PyObject* t : LIVE.value) tracers.push_back(PyRef::borrow(t));
  return tracers;
}

PyRef active_tracer() {
  std::lock_guard<std::mutex> g(ACTIVE->lock);
  return PyRef::borrow(ACTIVE->tracer);
}

PyMethodDef END_AT_EXIT_DEF = {"_fk_end_at_exit", end_at_exit, METH_NOARGS, nullptr};

// A forked child may leave by os._exit (multiprocessing's children do),
// which skips the at-exit hook but not threading's shutdown, run by the
// interpreter's exit as well: the child's session ends there.
bool end_at_threading_shutdown() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef end_fn = threading ? PyRef::steal(PyCFunction_New(&END_AT_EXIT_DEF, nullptr)) : PyRef();
  return end_fn &&
         PyRef::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", end_fn.get()));
}

}  // namespace

// Nothing is recorded while a process forks: monitoring is off from here
// until the fork is over, in the parent and in the child.
PyObject* before_fork(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    FirstError errors;
    for (const PyRef& tracer : live_tracers()) {
      TracerData& d = data_of(tracer.get());
      std::optional<MonitoringHandle> handle;
      {
        std::lock_guard<std::mutex> g(d.session_lock);
        if (!d.running || !d.running->handle) continue;
        handle = std::exchange(d.running->handle, std::nullopt);
        d.running->paused_for_fork = true;
      }
      errors.step(disable(*handle));
    }
    if (!errors.finish()) return nullptr;
    Py_RETURN_NONE;
  });
}

// The parent records again. A failure is kept and raised when the session
// ends, so that a session that recorded nothing since is not reported as a
// success.
PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    for (const PyRef& tracer : live_tracers()) {
      TracerData& d = data_of(tracer.get());
      std::shared_ptr<State> state;
      {
        std::lock_guard<std::mutex> g(d.session_lock);
        if (!d.running || !d.running->paused_for_fork) continue;
        d.running->paused_for_fork = false;
        state = d.running->state;
      }
      std::optional<MonitoringHandle> handle = claim_tool();
      if (handle && !enable(*handle, state)) {
        PendingError pending;
        (void)disable(*handle);
        handle.reset();
      }
      PyRef error = handle ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
      {
        std::lock_guard<std::mutex> g(d.session_lock);
        if (d.running && d.running->state == state) {
          if (handle) {
            d.running->handle = std::exchange(handle, std::nullopt);
          } else if (!d.running->fork_error) {
            std::swap(d.running->fork_error, error);
          }
        }
      }
      // The session ended meanwhile: what was claimed for it goes back.
      if (handle && !disable(*handle)) PyErr_WriteUnraisable(tracer.get());
    }
    Py_RETURN_NONE;
  });
}

// In a forked child, once the interpreter runs Python again: every session
// of the parent is abandoned (its threads do not exist here), and the
// installed tracer, if it traces subprocesses, starts a session of the
// child's own on the parent's timeline, adding to the parent's output.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::vector<PyObject*> tracers;
    tracers.swap(LIVE.value);
    PyRef active = active_tracer();
    std::optional<Running> parents;
    for (PyObject* tracer : tracers) {
      std::optional<Running> running = data_of(tracer).take();
      if (running) {
        if (running->handle && !disable(*running->handle)) PyErr_WriteUnraisable(tracer);
        running->handle.reset();
        if (tracer == active.get()) {
          parents = std::move(running);
        } else {
          abandon(std::move(*running));
        }
      }
      Py_DECREF(tracer);
    }
    if (!parents) {
      set_active(nullptr);
      Py_RETURN_NONE;
    }
    TracerConfig config = data_of(active.get()).config;
    config.output = parents->output;
    const Clock clock = parents->queue->clock;
    abandon(std::move(*parents));
    std::optional<Running> running;
    if (config.trace_subprocesses) {
      running = start(config, static_cast<std::uint32_t>(getpid()), true, clock);
    }
    if (!running) {
      set_active(nullptr);
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NONE;
    }
    {
      TracerData& d = data_of(active.get());
      std::lock_guard<std::mutex> g(d.session_lock);
      d.running = std::move(running);
    }
    add_live(active.get());
    if (!end_at_threading_shutdown()) return nullptr;
    Py_RETURN_NONE;
  });
}

namespace {

bool PROCESS_HOOKS_REGISTERED = false;

// The at-exit hook and the fork hooks, once per process; before any session
// starts, so that importing atexit is not traced.
bool register_process_hooks() {
  if (PROCESS_HOOKS_REGISTERED) return true;
  PyRef end_fn = PyRef::steal(PyCFunction_New(&END_AT_EXIT_DEF, nullptr));
  PyRef atexit = end_fn ? PyRef::steal(PyImport_ImportModule("atexit")) : PyRef();
  PyRef r = atexit ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", end_fn.get()))
                   : PyRef();
  PyRef module = r ? PyRef::steal(PyImport_ImportModule("fennik._core")) : PyRef();
  PyRef kwargs = module ? PyRef::steal(PyDict_New()) : PyRef();
  if (!kwargs) return false;
  for (auto [key, name] :
       {std::pair{"before", "_before_fork"}, std::pair{"after_in_parent", "_after_fork_in_parent"},
        std::pair{"after_in_child", "_after_fork_in_child"}}) {
    PyRef hook = PyRef::steal(PyObject_GetAttrString(module.get(), name));
    if (!hook || PyDict_SetItemString(kwargs.get(), key, hook.get()) < 0) return false;
  }
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  PyRef register_at_fork =
      os ? PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : PyRef();
  PyRef empty = register_at_fork ? PyRef::steal(PyTuple_New(0)) : PyRef();
  PyRef r2 = empty ? PyRef::steal(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()))
                   : PyRef();
  if (!r2) return false;
  if (int err = pthread_atfork(hold_registry_for_fork, release_registry_after_fork,
                               after_fork_in_child_native);
      err != 0) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  PROCESS_HOOKS_REGISTERED = true;
  return true;
}

PyObject* install(PyObject* self, Running running) {
  TracerData& d = data_of(self);
  if (!take_over_deadly_signals()) {
    // Interrupted before the session was published: it ends here and the
    // interrupt is what the caller sees.
    PendingError interrupted;
    (void)end(std::move(running), d.config.output, EXIT_REASON, d.figures);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> g(d.session_lock);
    d.running = std::move(running);
  }
  add_live(self);
  set_active(self);
  return Py_NewRef(self);
}

// ---- Python methods ----

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
    Py_ssize_t n = 0;
    const char* text = nullptr;
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
    if (config.record_last_mb > MAX_RECORD_MB) {
      PyErr_Format(PyExc_OverflowError,
                   "Tracer() argument 'record_last_mb' must be at most %llu megabytes",
                   static_cast<unsigned long long>(MAX_RECORD_MB));
      return nullptr;
    }
    auto parsed = Format::parse(format_name);
    if (auto* message = std::get_if<std::string>(&parsed)) {
      PyErr_SetString(PyExc_ValueError, message->c_str());
      return nullptr;
    }
    config.format = std::get<Format>(parsed);

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

PyObject* tracer_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!exit_arguments(args, nargs)) return nullptr;
    PyObject* exc_type = args[0];
    if (in_callback()) {
      PyErr_SetString(PyExc_RuntimeError, SELF_END_REFUSED);
      return nullptr;
    }
    std::string reason = EXIT_REASON;
    if (exc_type != Py_None) {
      PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(exc_type)));
      const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
      if (text == nullptr) return nullptr;
      reason = std::string(EXCEPTION_REASON_PREFIX) + text;
    }
    if (data_of(self).is_running()) {
      // ACTIVE first: a deadly signal arriving while the handlers are put
      // back finds no tracer to end.
      set_active(nullptr, self);
      if (!restore_deadly_signals()) {
        // A pending handler raised (a KeyboardInterrupt): the session is
        // still ended, and the interrupt is what the caller sees.
        PendingError interrupted;
        PyRef ended = PyRef::steal(exit_session(self, reason));
        return nullptr;
      }
    }
    return exit_session(self, reason);
  });
}

// Under the session lock: the not-running and streaming-mode checks shared by
// every request to the recorder. Null when the session has a recorder, else
// the message of the RuntimeError to raise once the lock is released.
const char* refuse_recorder(const TracerData& d) noexcept {
  if (!d.running) return NOT_RUNNING;
  if (!d.running->channel) return STREAMING_MODE;
  return nullptr;
}

// Sends a dump request made by `make(clock, reply)` and waits for its path.
template <class Make>
PyObject* request_dump(PyObject* self, Make&& make) {
  auto reply = std::make_shared<DumpReply>();
  const bool sent = with_recorder(self, [&](const RecorderAccess& recorder) -> const char* {
    return recorder.channel.send(make(recorder.clock, ReplyTo(reply))) ? nullptr : RECORDER_GONE;
  });
  return sent ? await_dump(*reply) : nullptr;
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
    if (!optional_u64("snapshot", "start", start_obj, start_ns) ||
        !optional_u64("snapshot", "end", end_obj, end_ns)) {
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

bool with_recorder(PyObject* tracer,
                   const std::function<const char*(const RecorderAccess&)>& action) {
  const char* refused;
  {
    TracerData& d = data_of(tracer);
    std::lock_guard<std::mutex> g(d.session_lock);
    refused = refuse_recorder(d);
    if (refused == nullptr) {
      refused = action(
          RecorderAccess{*d.running->channel, d.running->queue->clock, d.running->queue->queue_id});
    }
  }
  if (refused == nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, refused);
  return false;
}

PyObject* await_dump(DumpReply& reply) {
  for (;;) {
    bool settled;
    {
      WithoutGil nogil;
      settled = reply.wait_for(DUMP_WAIT_SLICE);
    }
    if (settled) break;
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  switch (reply.outcome()) {
    case DumpReply::Outcome::Written:
      return PyUnicode_DecodeFSDefaultAndSize(reply.path().data(),
                                              static_cast<Py_ssize_t>(reply.path().size()));
    case DumpReply::Outcome::Failed: {
      // The OSError that stopped the dump is its cause.
      raise_io(*reply.error(), {});
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_SetString(PyExc_RuntimeError, DUMP_NOT_FINISHED);
      if (cause == nullptr) return nullptr;
      PyObject* exc = PyErr_GetRaisedException();
      PyException_SetCause(exc, cause);
      PyErr_SetRaisedException(exc);
      return nullptr;
    }
    case DumpReply::Outcome::Pending:
    case DumpReply::Outcome::Gone:
      break;
  }
  PyErr_SetString(PyExc_RuntimeError, RECORDER_GONE);
  return nullptr;
}

PyObject* end_active_tracer(const char* reason) {
  return guarded([&]() -> PyObject* {
    PyRef tracer;
    {
      std::lock_guard<std::mutex> g(ACTIVE->lock);
      tracer = PyRef::borrow(ACTIVE->tracer);
    }
    if (!tracer) Py_RETURN_FALSE;
    return exit_session(tracer.get(), reason);
  });
}

OutputFigures session_figures(PyObject* tracer) {
  return data_of(tracer).figures;
}

PyObject* tracer_type() {
  if (TRACER_TYPE == nullptr) TRACER_TYPE = PyType_FromSpec(&TRACER_SPEC);
  return Py_XNewRef(TRACER_TYPE);
}

}  // namespace fennik::py
