#include "pause.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "monitoring.hpp"
#include "recorder_requests.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {
namespace {

// What a pause or resume works on, read under the session lock: the
// session's hub, queue and pause log, and (for a pause) its monitoring
// registration, taken out.
struct Session {
  std::shared_ptr<SessionHub> state;
  std::shared_ptr<EventQueue> queue;
  std::shared_ptr<PauseLog> pauses;
  std::optional<MonitoringHandle> handle;
};

// The running session of `self`, or null with RuntimeError. `take_handle`
// takes its registration out unless it is paused already.
std::optional<Session> session_of(PyObject* self, bool take_handle) {
  TracerData& d = data_of(self);
  std::lock_guard<std::mutex> g(d.session_lock);
  if (!d.running) {
    PyErr_SetString(PyExc_RuntimeError, NOT_RUNNING);
    return std::nullopt;
  }
  Session s{d.running->state, d.running->queue, d.running->pauses, std::nullopt};
  if (take_handle && !s.pauses->paused()) s.handle = std::exchange(d.running->handle, std::nullopt);
  return s;
}

std::uint64_t now_ns(const EventQueue& queue) {
  return queue.clock.ns_from_ticks(queue.clock.now_ticks());
}

}  // namespace

PyObject* tracer_pause(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<Session> s = session_of(self, true);
    if (!s) return nullptr;
    if (s->pauses->paused()) Py_RETURN_NONE;
    // Off first, so that every event recorded comes before the pause's start.
    const bool off = !s->handle || disable(*s->handle);
    s->pauses->pause(now_ns(*s->queue));
    if (!off) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* tracer_resume(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<Session> s = session_of(self, false);
    if (!s) return nullptr;
    if (!s->pauses->paused()) Py_RETURN_NONE;
    // Read before monitoring is on, so that every event recorded comes after.
    const std::uint64_t at = now_ns(*s->queue);
    std::optional<MonitoringHandle> handle = claim_tool();
    if (handle && !enable(*handle, s->state)) {
      PendingError pending;
      (void)disable(*handle);
      handle.reset();
    }
    if (!handle) return nullptr;  // still paused: the slot is not ours
    s->pauses->resume(at);
    TracerData& d = data_of(self);
    {
      std::lock_guard<std::mutex> g(d.session_lock);
      if (d.running && d.running->state == s->state) {
        d.running->handle = std::exchange(handle, std::nullopt);
      }
    }
    // The session ended meanwhile: what was claimed for it goes back.
    if (handle && !disable(*handle)) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace fennik::py
