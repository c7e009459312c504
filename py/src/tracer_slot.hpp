// A Tracer object's own data: its configuration, its session slot and the
// figures of its last session. The Tracer type, the process hooks and the
// recorder requests reach a session through it.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "exporter_thread.hpp"
#include "pyref.hpp"
#include "session.hpp"
#include "tracer_config.hpp"

namespace fennik::py {

// The session slot is read and replaced only with the interpreter lock held
// and never across a call that could release it, so the session lock is
// never contended, never held while Python code runs, and never held by
// another thread at a fork.
struct TracerData {
  TracerConfig config;
  std::mutex session_lock;
  std::optional<Running> running;  // guarded by session_lock
  OutputFigures figures;           // of the session ended last

  std::optional<Running> take() {
    std::lock_guard<std::mutex> g(session_lock);
    return std::exchange(running, std::nullopt);
  }
  bool is_running() {
    std::lock_guard<std::mutex> g(session_lock);
    return running.has_value();
  }
};

struct TracerObject {
  PyObject_HEAD TracerData data;
};

// `self` must be a Tracer.
inline TracerData& data_of(PyObject* self) {
  return reinterpret_cast<TracerObject*>(self)->data;
}

}  // namespace fennik::py
