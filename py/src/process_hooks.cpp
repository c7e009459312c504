#include "process_hooks.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "codewatch.hpp"
#include "installed.hpp"
#include "monitoring.hpp"
#include "tls.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {

std::atomic<bool> EXIT_HOOK_RAN{false};

namespace {

// Ends every session still running when the interpreter exits, so each
// output is complete and no native thread outlives finalisation.
void end_live_sessions() {
  EXIT_HOOK_RAN = true;
  while (PyRef tracer = last_live()) {
    PyRef r = PyRef::steal(exit_session(tracer.get(), EXIT_REASON));
    // Report a failure and go on: the other sessions still deserve their end.
    if (!r) PyErr_WriteUnraisable(tracer.get());
    remove_live(tracer.get());
  }
}

PyObject* end_at_exit(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    end_live_sessions();
    Py_RETURN_NONE;
  });
}

// os._exit as the process found it; what our replacement calls.
constinit NoDestroy<PyRef> ORIGINAL_OS_EXIT;

// os._exit skips the interpreter's exit, at-exit hooks included; forked
// children leave that way (multiprocessing's workers, after joining their
// threads, and servers' worker pools), so the sessions end here first.
PyObject* exit_now(PyObject*, PyObject* args, PyObject* kwargs) {
  PyRef original = PyRef::borrow(ORIGINAL_OS_EXIT->get());
  if (PyRef ended = PyRef::steal(end_at_exit(nullptr, nullptr)); !ended) {
    PyErr_WriteUnraisable(original.get());
  }
  return PyObject_Call(original.get(), args, kwargs);
}

// In a forked child, right after the fork and before any Python code runs:
// nothing may record into the parent's sessions or wait for a lock one of
// the parent's other threads held at the fork.
void after_fork_in_child_native() noexcept {
  end_watched_recording();
  abandon_after_fork();
}

PyMethodDef END_AT_EXIT_DEF = {"_fk_end_at_exit", end_at_exit, METH_NOARGS, nullptr};
PyMethodDef EXIT_NOW_DEF = {"_exit", as_cfunction(exit_now), METH_VARARGS | METH_KEYWORDS,
                            "_exit(status)\n--\n\nEnds fennik's sessions, then exits at once "
                            "with the given status, as os._exit does."};

constexpr char HOOKS_BEING_MADE[] =
    "fennik's process hooks are being registered meanwhile: start the tracer again later";

// Each registration is made once per process and marked as soon as it
// succeeds, so that a retry after a partial failure never makes one twice
// (twice-run fork hooks would abandon the child's own new session). It runs
// Python code, in which the interpreter may run another thread, or this one
// again, that registers too; so the one that claims a registration makes
// it, and any other meanwhile fails instead of waiting (with no lock held
// over Python code, nor a wait a fork could leave unending). A step's state:
// UNDONE, MADE, or the id of the process whose thread is making it, which
// in a forked child names a vanished thread: that claim is taken over.
constexpr pid_t UNDONE = 0;
constexpr pid_t MADE = -1;
struct ProcessHooks {
  std::atomic<pid_t> at_exit{UNDONE};
  std::atomic<pid_t> fork{UNDONE};
  std::atomic<pid_t> native_fork{UNDONE};
  std::atomic<pid_t> os_exit{UNDONE};
};
ProcessHooks PROCESS_HOOKS;

// Runs `step` unless it is made, or being made by a live thread (an error).
bool make_once(std::atomic<pid_t>& state, bool (*step)()) {
  const pid_t self = getpid();
  pid_t seen = state.load(std::memory_order_acquire);
  for (;;) {
    if (seen == MADE) return true;
    if (seen == self) {
      PyErr_SetString(PyExc_RuntimeError, HOOKS_BEING_MADE);
      return false;
    }
    if (state.compare_exchange_weak(seen, self, std::memory_order_acq_rel)) break;
  }
  const bool made = step();
  state.store(made ? MADE : UNDONE, std::memory_order_release);
  return made;
}

bool register_at_exit() {
  PyRef end_fn = PyRef::steal(PyCFunction_New(&END_AT_EXIT_DEF, nullptr));
  PyRef atexit = end_fn ? PyRef::steal(PyImport_ImportModule("atexit")) : PyRef();
  return atexit && PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", end_fn.get()));
}

bool register_fork_hooks() {
  PyRef module = PyRef::steal(PyImport_ImportModule("fennik._core"));
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
  return empty && PyRef::steal(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()));
}

bool register_native_fork_hooks() {
  if (int err = pthread_atfork(hold_registry_for_fork, release_registry_after_fork,
                               after_fork_in_child_native);
      err != 0) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

bool replace_os_exit() {
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  PyRef original = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "_exit")) : PyRef();
  PyRef ours = original ? PyRef::steal(PyCFunction_New(&EXIT_NOW_DEF, nullptr)) : PyRef();
  if (!ours) return false;
  ORIGINAL_OS_EXIT.value = std::move(original);
  return PyObject_SetAttrString(os.get(), "_exit", ours.get()) == 0;
}

}  // namespace

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

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    for (const PyRef& tracer : live_tracers()) {
      TracerData& d = data_of(tracer.get());
      std::shared_ptr<SessionHub> state;
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

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::vector<PyObject*> tracers = take_live_in_child();
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
    Py_RETURN_NONE;
  });
}

bool register_process_hooks() {
  for (auto [state, step] : {std::pair{&PROCESS_HOOKS.at_exit, register_at_exit},
                             std::pair{&PROCESS_HOOKS.fork, register_fork_hooks},
                             std::pair{&PROCESS_HOOKS.native_fork, register_native_fork_hooks},
                             std::pair{&PROCESS_HOOKS.os_exit, replace_os_exit}}) {
    if (!make_once(*state, step)) return false;
  }
  return true;
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

}  // namespace fennik::py
