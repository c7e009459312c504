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

bool EXIT_HOOK_RAN = false;

namespace {

bool PROCESS_HOOKS_REGISTERED = false;

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
