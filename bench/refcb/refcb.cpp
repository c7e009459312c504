// fennik_refcb: two reference sys.monitoring callbacks that bench/overhead.py
// compares fennik against. Both are registered exactly as fennik._core
// registers its own: six events in the profiler slot, each callback an
// object the interpreter calls through its vectorcall slot, returning None.
//
//   noop      returns None at once: what sys.monitoring costs by itself.
//   recorder  reads the time-stamp counter and stores one 8-byte word into a
//             ring of its thread's: the least any recorder of this design can do.
//
// Built for the benchmark only; never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace {

constexpr const char TOOL_NAME[] = "fennik-refcb";
constexpr std::size_t EVENT_COUNT = 6;

// 64 KiB per thread: larger than one of fennik's batches, small enough to stay
// in the caches, as the batch being filled does.
constexpr std::size_t RING_WORDS = 8192;
static_assert((RING_WORDS & (RING_WORDS - 1)) == 0, "the ring wraps with a mask");

struct Ring {
  std::uint64_t count;  // words stored so far; the slot is count mod RING_WORDS
  std::uint64_t words[RING_WORDS];
};
// On the heap, as fennik keeps its batches: in the module's thread-local
// storage it would be far too big for the static TLS the C library keeps
// spare for modules loaded late, and every event would take the TLS
// descriptor's dynamic path, which fennik's own per-thread state does not.
constinit thread_local Ring* RING = nullptr;

// Owns the thread's ring; at the thread's exit, forgets it first.
struct RingOwner {
  std::unique_ptr<Ring> ring;
  ~RingOwner() { RING = nullptr; }
};
thread_local RingOwner RING_OWNER;

[[gnu::noinline]] Ring* new_ring() noexcept {
  try {
    RING_OWNER.ring = std::make_unique<Ring>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  RING = RING_OWNER.ring.get();
  return RING;
}

inline std::uint64_t read_tsc() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#elif defined(__aarch64__)
  std::uint64_t v;
  asm volatile("mrs %0, cntvct_el0" : "=r"(v));
  return v;
#else
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

PyObject* noop(PyObject*, PyObject* const*, std::size_t, PyObject*) {
  Py_RETURN_NONE;
}

template <std::uint8_t KIND>
PyObject* record(PyObject*, PyObject* const*, std::size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) != 0) {
    Ring* ring = RING;
    if (ring == nullptr) [[unlikely]] {
      ring = new_ring();
      if (ring == nullptr) Py_RETURN_NONE;
    }
    const std::uint64_t n = ring->count;
    ring->words[n & (RING_WORDS - 1)] = (read_tsc() << 8) | KIND;
    ring->count = n + 1;
  }
  Py_RETURN_NONE;
}

// Attributes of sys.monitoring.events, in registration order; the kinds are 1..6.
const char* const EVENT_NAMES[EVENT_COUNT] = {"PY_START",  "PY_RETURN", "PY_YIELD",
                                              "PY_RESUME", "PY_UNWIND", "PY_THROW"};

constexpr vectorcallfunc NOOP_FUNCTIONS[EVENT_COUNT] = {noop, noop, noop, noop, noop, noop};
constexpr vectorcallfunc RECORD_FUNCTIONS[EVENT_COUNT] = {record<1>, record<2>, record<3>,
                                                          record<4>, record<5>, record<6>};

// A callable calling its function through the vectorcall slot.
struct Callback {
  PyObject_HEAD vectorcallfunc vectorcall;
};

PyMemberDef CALLBACK_MEMBERS[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Callback, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

void callback_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot CALLBACK_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, CALLBACK_MEMBERS},
    {0, nullptr},
};

PyType_Spec CALLBACK_SPEC = {
    "fennik_refcb.Callback",
    sizeof(Callback),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    CALLBACK_SLOTS,
};

PyObject* CALLBACK_TYPE = nullptr;  // made on first use, kept for the process

PyObject* new_callback(vectorcallfunc function) {
  if (CALLBACK_TYPE == nullptr) {
    CALLBACK_TYPE = PyType_FromSpec(&CALLBACK_SPEC);
    if (CALLBACK_TYPE == nullptr) return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(CALLBACK_TYPE);
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj != nullptr) reinterpret_cast<Callback*>(obj)->vectorcall = function;
  return obj;
}

long TOOL = -1;  // the tool id in use, or -1

bool call_ok(PyObject* result) {
  Py_XDECREF(result);
  return result != nullptr;
}

long long_attr(PyObject* obj, const char* name) {
  PyObject* v = PyObject_GetAttrString(obj, name);
  if (v == nullptr) return -1;
  const long value = PyLong_AsLong(v);
  Py_DECREF(v);
  return value;
}

// Registers one callable per event and turns the events on.
PyObject* enable(const vectorcallfunc* functions) {
  if (TOOL >= 0) {
    PyErr_SetString(PyExc_RuntimeError, "a reference callback is already enabled");
    return nullptr;
  }
  PyObject* mon = PyImport_ImportModuleAttrString("sys", "monitoring");
  if (mon == nullptr) return nullptr;
  PyObject* events = nullptr;
  long tool = long_attr(mon, "PROFILER_ID");
  bool ok = !(tool == -1 && PyErr_Occurred()) &&
            call_ok(PyObject_CallMethod(mon, "use_tool_id", "ls", tool, TOOL_NAME));
  if (ok) {
    TOOL = tool;
    events = PyObject_GetAttrString(mon, "events");
    ok = events != nullptr;
  }
  long mask = 0;
  for (std::size_t i = 0; ok && i < EVENT_COUNT; ++i) {
    const long value = long_attr(events, EVENT_NAMES[i]);
    PyObject* fn = value < 0 ? nullptr : new_callback(functions[i]);
    ok = fn != nullptr &&
         call_ok(PyObject_CallMethod(mon, "register_callback", "llO", tool, value, fn));
    Py_XDECREF(fn);
    if (ok) mask |= value;
  }
  ok = ok && call_ok(PyObject_CallMethod(mon, "set_events", "ll", tool, mask));
  if (!ok && TOOL >= 0) {
    PyObject* error = PyErr_GetRaisedException();
    if (!call_ok(PyObject_CallMethod(mon, "free_tool_id", "l", TOOL))) PyErr_Clear();
    TOOL = -1;
    PyErr_SetRaisedException(error);
  }
  Py_XDECREF(events);
  Py_DECREF(mon);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* enable_noop(PyObject*, PyObject*) {
  return enable(NOOP_FUNCTIONS);
}
PyObject* enable_recorder(PyObject*, PyObject*) {
  return enable(RECORD_FUNCTIONS);
}

// Turns the events off, unregisters the callbacks and frees the tool id.
PyObject* disable(PyObject*, PyObject*) {
  if (TOOL < 0) Py_RETURN_NONE;
  PyObject* mon = PyImport_ImportModuleAttrString("sys", "monitoring");
  if (mon == nullptr) return nullptr;
  PyObject* events = PyObject_GetAttrString(mon, "events");
  bool ok = events != nullptr && call_ok(PyObject_CallMethod(mon, "set_events", "ll", TOOL, 0L));
  for (std::size_t i = 0; ok && i < EVENT_COUNT; ++i) {
    const long value = long_attr(events, EVENT_NAMES[i]);
    ok = value >= 0 &&
         call_ok(PyObject_CallMethod(mon, "register_callback", "llO", TOOL, value, Py_None));
  }
  ok = ok && call_ok(PyObject_CallMethod(mon, "free_tool_id", "l", TOOL));
  if (ok) TOOL = -1;
  Py_XDECREF(events);
  Py_DECREF(mon);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

// Words the recorder has stored on the calling thread since it started.
PyObject* recorded(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(RING == nullptr ? 0 : RING->count);
}

PyMethodDef MODULE_METHODS[] = {
    {"enable_noop", enable_noop, METH_NOARGS,
     "enable_noop()\n--\n\nRegister the no-op callback for the six events."},
    {"enable_recorder", enable_recorder, METH_NOARGS,
     "enable_recorder()\n--\n\nRegister the minimal recorder for the six events."},
    {"disable", disable, METH_NOARGS,
     "disable()\n--\n\nUnregister whichever callback is enabled and free the tool id."},
    {"recorded", recorded, METH_NOARGS,
     "recorded()\n--\n\nWords the recorder has stored on this thread."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "fennik_refcb",
    "Reference sys.monitoring callbacks for the overhead benchmark.",
    0,
    MODULE_METHODS,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_fennik_refcb() {
  return PyModuleDef_Init(&MODULE_DEF);
}
