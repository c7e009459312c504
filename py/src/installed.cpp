#include "installed.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "advertisement.hpp"
#include "signals.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {

constinit NoDestroy<Active> ACTIVE;
constinit NoDestroy<Live> LIVE;

void add_live(PyObject* tracer) {
  std::lock_guard<std::mutex> g(LIVE->lock);
  std::vector<PyObject*>& list = LIVE->tracers;
  if (std::find(list.begin(), list.end(), tracer) != list.end()) return;
  list.push_back(Py_NewRef(tracer));
}

void remove_live(PyObject* tracer) {
  {
    std::lock_guard<std::mutex> g(LIVE->lock);
    std::vector<PyObject*>& list = LIVE->tracers;
    auto it = std::find(list.begin(), list.end(), tracer);
    if (it == list.end()) return;
    list.erase(it);
  }
  Py_DECREF(tracer);
}

PyRef last_live() {
  std::lock_guard<std::mutex> g(LIVE->lock);
  return LIVE->tracers.empty() ? PyRef() : PyRef::borrow(LIVE->tracers.back());
}

std::vector<PyObject*> take_live_in_child() noexcept {
  std::construct_at(&LIVE->lock);
  return std::exchange(LIVE->tracers, {});
}

void set_active(PyObject* tracer, PyObject* expected) {
  PyObject* old = nullptr;
  {
    std::lock_guard<std::mutex> g(ACTIVE->lock);
    if (expected != nullptr && ACTIVE->tracer != expected) return;
    Py_XINCREF(tracer);
    old = std::exchange(ACTIVE->tracer, tracer);
  }
  Py_XDECREF(old);
}

std::vector<PyRef> live_tracers() {
  std::vector<PyRef> tracers;
  std::lock_guard<std::mutex> g(LIVE->lock);
  for (PyObject* t : LIVE->tracers) tracers.push_back(PyRef::borrow(t));
  return tracers;
}

PyRef active_tracer() {
  std::lock_guard<std::mutex> g(ACTIVE->lock);
  return PyRef::borrow(ACTIVE->tracer);
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
  if (running.channel && d.config.dump_signal && !take_over_dump_signal(*d.config.dump_signal)) {
    PendingError interrupted;
    (void)restore_deadly_signals();
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

}  // namespace fennik::py
