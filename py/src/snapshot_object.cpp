#include "snapshot_object.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "process_type.hpp"
#include "recorder_requests.hpp"

namespace fennik::py {
namespace {

struct Window {
  std::uint64_t id;
  std::uint64_t since;
  std::uint64_t session;  // a window belongs to the session it was opened in
};

struct SnapshotData {
  PyRef reason;  // str
  PyRef tracer;
  std::mutex window_lock;
  std::optional<Window> window;  // guarded by window_lock
  std::mutex path_lock;
  PyRef path;  // str once a dump was written; guarded by path_lock
};

struct SnapshotObject {
  PyObject_HEAD SnapshotData data;
};

SnapshotData& snapshot_data(PyObject* self) {
  return reinterpret_cast<SnapshotObject*>(self)->data;
}

// The reason as UTF-8, or null with an exception.
const char* reason_text(SnapshotData& d) {
  if (!d.reason || !d.tracer) {
    PyErr_SetString(PyExc_RuntimeError, NOT_RUNNING);
    return nullptr;
  }
  return PyUnicode_AsUTF8(d.reason.get());
}

inline constexpr char ALREADY_OPEN[] = "the snapshot is already open";

// Lets the recorder forget `window`, which will not be dumped, so that it
// stops keeping the ring; quiet, as a window's owner may be going away.
void forget(PyObject* tracer, const Window& window) {
  PyObject* raised = PyErr_GetRaisedException();
  with_recorder(tracer, [&](const RecorderAccess& recorder) -> const char* {
    if (recorder.session == window.session) recorder.channel.send(CloseWindow{window.id});
    return nullptr;
  });
  PyErr_Clear();  // a tracer no longer running keeps no window
  PyErr_SetRaisedException(raised);
}

PyObject* snapshot_enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SnapshotData& d = snapshot_data(self);
    if (reason_text(d) == nullptr) return nullptr;
    {
      std::lock_guard<std::mutex> g(d.window_lock);
      if (d.window) {
        PyErr_SetString(PyExc_RuntimeError, ALREADY_OPEN);
        return nullptr;
      }
    }
    std::optional<Window> opened;
    const bool sent =
        with_recorder(d.tracer.get(), [&](const RecorderAccess& recorder) -> const char* {
          const Window w{NEXT_WINDOW.fetch_add(1, std::memory_order_relaxed),
                         recorder.clock.now_ticks(), recorder.session};
          if (!recorder.channel.send(OpenWindow{w.id, w.since})) return RECORDER_GONE;
          opened = w;
          return nullptr;
        });
    if (!sent) return nullptr;
    bool raced;
    {
      std::lock_guard<std::mutex> g(d.window_lock);
      raced = d.window.has_value();  // another thread entered meanwhile
      if (!raced) d.window = opened;
    }
    if (raced) {
      forget(d.tracer.get(), *opened);
      PyErr_SetString(PyExc_RuntimeError, ALREADY_OPEN);
      return nullptr;
    }
    return Py_NewRef(self);
  });
}

PyObject* snapshot_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!exit_arguments(args, nargs)) return nullptr;
    SnapshotData& d = snapshot_data(self);
    std::optional<Window> window;
    {
      std::lock_guard<std::mutex> g(d.window_lock);
      window = std::exchange(d.window, std::nullopt);
    }
    if (!window) Py_RETURN_FALSE;
    const char* reason = reason_text(d);
    if (reason == nullptr) return nullptr;
    auto reply = std::make_shared<DumpReply>();
    std::string reason_copy = reason;  // made before the lock is taken
    const bool sent =
        with_recorder(d.tracer.get(), [&](const RecorderAccess& recorder) -> const char* {
          // Its window was in an earlier session, whose ticks mean nothing now.
          if (recorder.session != window->session) return NOT_RUNNING;
          const bool accepted =
              recorder.channel.send(DumpWindow{ReplyTo(reply), std::move(reason_copy), window->id,
                                               window->since, recorder.clock.now_ticks()});
          return accepted ? nullptr : RECORDER_GONE;
        });
    if (!sent) return nullptr;
    PyRef path = PyRef::steal(await_dump(*reply));
    if (!path) return nullptr;
    {
      std::lock_guard<std::mutex> g(d.path_lock);
      std::swap(d.path, path);
    }
    Py_RETURN_FALSE;  // the old path, if any, is released outside the lock
  });
}

PyObject* snapshot_path(PyObject* self, void*) {
  SnapshotData& d = snapshot_data(self);
  std::lock_guard<std::mutex> g(d.path_lock);
  return Py_NewRef(d.path ? d.path.get() : Py_None);
}

void snapshot_dealloc(PyObject* self) {
  SnapshotData& d = snapshot_data(self);
  // Entered and dropped without an exit: the window must not keep the ring
  // for the rest of the session.
  if (d.window && d.tracer) forget(d.tracer.get(), *d.window);
  d.~SnapshotData();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef SNAPSHOT_METHODS[] = {
    {"__enter__", snapshot_enter, METH_NOARGS,
     "__enter__($self, /)\n--\n\nOpens the window: the recorder keeps everything from now on."},
    {"__exit__", as_cfunction(snapshot_exit), METH_FASTCALL,
     "__exit__($self, exc_type, _exc_val, _exc_tb, /)\n--\n\n"
     "Dumps the window and closes it; path then names the dump."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SNAPSHOT_GETSET[] = {
    {"path", snapshot_path, nullptr, "The dump's path, or None before one was written.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SNAPSHOT_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A window of the flight recorder's time, dumped on exit; made "
                                  "by Tracer.snapshot(reason).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(snapshot_dealloc)},
    {Py_tp_methods, SNAPSHOT_METHODS},
    {Py_tp_getset, SNAPSHOT_GETSET},
    {0, nullptr},
};

PyType_Spec SNAPSHOT_SPEC = {
    "fennik._core.Snapshot",
    sizeof(SnapshotObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SNAPSHOT_SLOTS,
};

constinit ProcessType SNAPSHOT_TYPE{SNAPSHOT_SPEC};

}  // namespace

PyObject* snapshot_type() {
  return SNAPSHOT_TYPE.get();
}

PyObject* new_snapshot(PyObject* tracer, PyObject* reason) {
  PyRef type = PyRef::steal(snapshot_type());
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;
  new (&snapshot_data(self))
      SnapshotData{PyRef::borrow(reason), PyRef::borrow(tracer), {}, {}, {}, {}};
  return self;
}

}  // namespace fennik::py
