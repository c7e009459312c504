#include "monitoring.hpp"

#include <unistd.h>

#include <new>

#include "codewatch.hpp"

namespace fennik::py {
namespace {

// Direct-mapped cache of (code object address, id) per thread, so alternating
// between many functions stays off the interner's lock.
struct CodeSlot {
  std::uint64_t code;
  std::uint32_t id;
};
constinit thread_local std::array<CodeSlot, CODE_CACHE_SLOTS> CODES{};

constexpr std::uint64_t FIBONACCI_MULTIPLIER = 0x9E3779B97F4A7C15ull;

inline std::size_t code_slot(std::uint64_t code) noexcept {
  return static_cast<std::size_t>((code * FIBONACCI_MULTIPLIER) >> 56);
}

void empty_code_cache() noexcept {
  CODES.fill(CodeSlot{0, 0});
}

struct CallbacksObject {
  PyObject_HEAD std::shared_ptr<State> holder;
  State* state;  // holder.get(), read on every event
};

void callbacks_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<CallbacksObject*>(self);
  obj->holder.~shared_ptr<State>();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot CALLBACKS_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callbacks_dealloc)},
    {0, nullptr},
};

PyType_Spec CALLBACKS_SPEC = {
    "fennik._core.Callbacks",
    sizeof(CallbacksObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    CALLBACKS_SLOTS,
};

PyObject* CALLBACKS_TYPE = nullptr;  // built on first use, kept for the process

PyRef new_callbacks(const std::shared_ptr<State>& state) {
  if (CALLBACKS_TYPE == nullptr) {
    CALLBACKS_TYPE = PyType_FromSpec(&CALLBACKS_SPEC);
    if (CALLBACKS_TYPE == nullptr) return {};
  }
  auto* type = reinterpret_cast<PyTypeObject*>(CALLBACKS_TYPE);
  PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
  if (!obj) return {};
  auto* cb = reinterpret_cast<CallbacksObject*>(obj.get());
  new (&cb->holder) std::shared_ptr<State>(state);
  cb->state = state.get();
  return obj;
}

// "utf-8" text of a code attribute, or `fallback`. Errors are cleared, never raised.
std::string text_attr(PyObject* code, const char* attr, const char* fallback) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(code, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return fallback;
  }
  // Lone surrogates (undecodable file names) survive as escapes instead of
  // failing the whole name.
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::uint32_t line_attr(PyObject* code) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(code, "co_firstlineno"));
  if (!value) {
    PyErr_Clear();
    return 0;
  }
  const unsigned long line = PyLong_AsUnsignedLong(value.get());
  if (PyErr_Occurred() || line > UINT32_MAX) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::uint32_t>(line);
}

CodeInfo read_code_info(PyObject* code) {
  return CodeInfo{text_attr(code, "co_qualname", "<unknown>"), text_attr(code, "co_filename", ""),
                  line_attr(code)};
}

// The calling thread's name from threading, or nothing.
std::optional<std::string> current_thread_name() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef thread = threading
                     ? PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr))
                     : PyRef();
  PyRef name = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "name")) : PyRef();
  PyRef text = name ? PyRef::steal(PyObject_Str(name.get())) : PyRef();
  const char* utf8 = nullptr;
  Py_ssize_t size = 0;
  if (text) utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// The slow side of a callback: per-session resets, naming, and code-id
// resolution through the thread cache and then the interner.
[[gnu::noinline]] std::optional<std::uint32_t> resolve_cold(State& state, PyObject* code_obj,
                                                            Hot& hot) {
  const auto code = reinterpret_cast<std::uint64_t>(code_obj);
  if (hot.queue_id.load(std::memory_order_relaxed) != state.queue_id) {
    empty_code_cache();
    hot.cached_code = NO_CODE;
    hot.named = false;
    hot.name_tries = NAME_TRIES;
  }
  const std::uint64_t generation = GENERATION.load(std::memory_order_acquire);
  if (hot.code_gen != generation) {
    empty_code_cache();
    hot.code_gen = generation;
  }
  if (hot.tid.load(std::memory_order_relaxed) == UNKNOWN_TID) {
    hot.tid.store(current_thread_id(), std::memory_order_relaxed);
  }
  if (!hot.named && hot.name_tries != 0) {
    // Counted down first: whatever the interpreter runs inside cannot make
    // more attempts than remain.
    --hot.name_tries;
    hot.named = state.threads.ensure(hot.tid.load(std::memory_order_relaxed), current_thread_name);
  }

  std::uint32_t id;
  CodeSlot& slot = CODES[code_slot(code)];
  if (code != 0 && slot.code == code) {
    id = slot.id;
  } else {
    std::optional<std::uint32_t> found = state.interner.lookup(code);
    if (!found) {
      found = state.interner.insert(code, read_code_info(code_obj), state.queue->recycle_floor());
      if (!found) return std::nullopt;
    }
    id = *found;
    if (code != 0) slot = CodeSlot{code, id};
  }
  hot.cached_id = id;
  // An unnamed thread with attempts left keeps coming back here to retry.
  hot.cached_code = (!hot.named && hot.name_tries != 0) ? NO_CODE : code;
  return id;
}

inline void fastcall_record(PyObject* self, PyObject* const* args, Py_ssize_t count,
                            std::uint8_t kind) noexcept {
  if (count == 0) return;
  State& state = *reinterpret_cast<CallbacksObject*>(self)->state;
  Hot& hot = HOT;
  const std::uint64_t now =
      (hot.counter_mode || state.counter_mode) ? read_counter() : state.queue->clock.now_ticks();
  const auto code = reinterpret_cast<std::uint64_t>(args[0]);
  std::uint32_t id;
  if (hot.cached_code == code && hot.queue_id.load(std::memory_order_relaxed) == state.queue_id &&
      hot.code_gen == GENERATION.load(std::memory_order_acquire)) [[likely]] {
    id = hot.cached_id;
  } else {
    std::optional<std::uint32_t> resolved = resolve_cold(state, args[0], hot);
    if (!resolved) return;
    id = *resolved;
  }
  record(*state.queue, now, make_word(kind, id));
}

template <std::uint8_t KIND>
PyObject* callback(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  fastcall_record(self, args, count, KIND);
  Py_RETURN_NONE;
}

struct EventSpec {
  const char* event;  // attribute of sys.monitoring.events
  PyMethodDef def;
};

// Registration order; a method definition must outlive the callables made from it.
EventSpec EVENT_SPECS[CALLBACK_COUNT] = {
    {"PY_START",
     {"_fk_py_start",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_START>)),
      METH_FASTCALL, nullptr}},
    {"PY_RETURN",
     {"_fk_py_return",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_RETURN>)),
      METH_FASTCALL, nullptr}},
    {"PY_YIELD",
     {"_fk_py_yield",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_YIELD>)),
      METH_FASTCALL, nullptr}},
    {"PY_RESUME",
     {"_fk_py_resume",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_RESUME>)),
      METH_FASTCALL, nullptr}},
    {"PY_UNWIND",
     {"_fk_py_unwind",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_UNWIND>)),
      METH_FASTCALL, nullptr}},
    {"PY_THROW",
     {"_fk_py_throw",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<KIND_THROW>)),
      METH_FASTCALL, nullptr}},
};

PyRef sys_monitoring() {
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return {};
  return PyRef::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
}

// The value of sys.monitoring.events.NAME as a 32-bit integer, or -1 with an exception.
long event_value(PyObject* events, const char* name) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(events, name));
  if (!v) return -1;
  const long value = PyLong_AsLong(v.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > INT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "event value of %s out of range", name);
    return -1;
  }
  return value;
}

bool call_ok(PyObject* result) {
  Py_XDECREF(result);
  return result != nullptr;
}

}  // namespace

std::uint32_t current_thread_id() noexcept {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(gettid()));
}

std::optional<MonitoringHandle> enable(const std::shared_ptr<State>& state) {
  PyRef mon = sys_monitoring();
  if (!mon) return std::nullopt;
  PyRef tool_obj = PyRef::steal(PyObject_GetAttrString(mon.get(), "PROFILER_ID"));
  if (!tool_obj) return std::nullopt;
  const long tool = PyLong_AsLong(tool_obj.get());
  if (tool == -1 && PyErr_Occurred()) return std::nullopt;
  if (tool < 0 || tool > UINT8_MAX) {
    PyErr_SetString(PyExc_OverflowError, "tool id out of range");
    return std::nullopt;
  }
  if (!call_ok(PyObject_CallMethod(mon.get(), "use_tool_id", "ls", tool, TOOL_NAME))) {
    return std::nullopt;
  }
  PyRef events = PyRef::steal(PyObject_GetAttrString(mon.get(), "events"));
  if (!events) return std::nullopt;
  MonitoringHandle handle;
  handle.tool = static_cast<std::uint8_t>(tool);
  handle.callbacks = new_callbacks(state);
  if (!handle.callbacks) return std::nullopt;
  long mask = 0;
  for (std::size_t i = 0; i < CALLBACK_COUNT; ++i) {
    const long value = event_value(events.get(), EVENT_SPECS[i].event);
    if (value < 0) return std::nullopt;
    handle.funcs[i] =
        PyRef::steal(PyCFunction_NewEx(&EVENT_SPECS[i].def, handle.callbacks.get(), nullptr));
    if (!handle.funcs[i]) return std::nullopt;
    if (!call_ok(PyObject_CallMethod(mon.get(), "register_callback", "llO", tool, value,
                                     handle.funcs[i].get()))) {
      return std::nullopt;
    }
    mask |= value;
  }
  if (!call_ok(PyObject_CallMethod(mon.get(), "set_events", "ll", tool, mask))) {
    return std::nullopt;
  }
  return handle;
}

bool disable(MonitoringHandle& handle) {
  PyRef mon = sys_monitoring();
  if (!mon) return false;
  const long tool = handle.tool;
  if (!call_ok(PyObject_CallMethod(mon.get(), "set_events", "ll", tool, 0L))) return false;
  PyRef events = PyRef::steal(PyObject_GetAttrString(mon.get(), "events"));
  if (!events) return false;
  for (const EventSpec& spec : EVENT_SPECS) {
    const long value = event_value(events.get(), spec.event);
    if (value < 0) return false;
    if (!call_ok(
            PyObject_CallMethod(mon.get(), "register_callback", "llO", tool, value, Py_None))) {
      return false;
    }
  }
  return call_ok(PyObject_CallMethod(mon.get(), "free_tool_id", "l", tool));
}

}  // namespace fennik::py
