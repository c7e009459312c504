#include "monitoring.hpp"

#include <unistd.h>

#include "annotations.hpp"
#include "c_calls.hpp"
#include "callback_object.hpp"
#include "codewatch.hpp"
#include "interpreter_reads.hpp"
#include "process_label.hpp"
#include "thread_caches.hpp"

namespace fennik::py {
namespace {

constexpr std::uint64_t FIBONACCI_MULTIPLIER = 0x9E3779B97F4A7C15ull;
static_assert(CODE_CACHE_SLOTS == 256, "the slot is the hash's top 8 bits");

// The code's slot in the thread's direct-mapped cache, so that alternating
// between many functions stays on the fast path and off the interner's lock.
inline std::size_t code_slot(std::uint64_t code) noexcept {
  return static_cast<std::size_t>((code * FIBONACCI_MULTIPLIER) >> 56);
}

// The thread's depth in recorded frames, counted by the callbacks of a
// session with a depth limit. Frames begun before the session are not
// counted: an end with nothing counted open stays at 0. Reset by the slow
// side on the thread's first event of each session, which always takes it.
struct DepthState {
  std::uint32_t depth;
  std::uint32_t limit;
  std::uint64_t queue_id;
};
constinit thread_local DepthState DEPTH{0, NO_DEPTH_LIMIT, 0};

// Counts an event of a recorded function; true when it lies within the limit.
inline bool within_depth(DepthState& d, std::uint8_t kind) noexcept {
  if (is_begin(kind)) return ++d.depth <= d.limit;
  if (d.depth == 0) return true;
  return d.depth-- <= d.limit;
}

// Events the interpreter lets a callback turn off for a code location.
constexpr bool can_disable(std::uint8_t kind) noexcept {
  return kind != KIND_UNWIND && kind != KIND_THROW;
}

// Set once a callback has turned off an event for a code object that a
// session left out; the next session turns them on again.
std::atomic<bool> DISABLED_SOME{false};
// sys.monitoring.DISABLE, taken when a session first starts and kept for the
// process: a callback's object may be gone by the time it answers.
PyObject* DISABLE_VALUE = nullptr;

constinit thread_local bool IN_SLOW_SIDE = false;

class SlowSide {
 public:
  SlowSide() noexcept : outer_(std::exchange(IN_SLOW_SIDE, true)) {}
  ~SlowSide() { IN_SLOW_SIDE = outer_; }
  SlowSide(const SlowSide&) = delete;
  SlowSide& operator=(const SlowSide&) = delete;

 private:
  bool outer_;
};

// The slow side of a callback: per-session resets, naming, and code-id
// resolution through the thread cache and then the interner. Nothing when
// the event cannot be recorded. `code` is the code object's address, or with
// `callable` a C call's key (never left out: the caller's code decides). The interpreter calls
// callbacks through a borrowed reference, so before anything that may run it
// (and with it another thread that ends the session and frees the callback
// object, and the state with it) `keep` takes a reference to `self`.
[[gnu::noinline]] std::optional<std::uint32_t> resolve_cold(PyObject* self, SessionHub& state,
                                                            PyObject* code_obj, std::uint64_t code,
                                                            PyObject* callable, Hot& hot,
                                                            ThreadCaches& caches, PyRef& keep) {
  if (!state.live()) return std::nullopt;
  // Whatever happens below, the fast path must not reuse a stale answer.
  hot.cached_code.store(NO_CODE, std::memory_order_relaxed);
  join_session(state, hot);
  const std::uint64_t generation = GENERATION.load(std::memory_order_acquire);
  if (hot.code_gen != generation) {
    empty_code_cache();
    hot.code_gen = generation;
  }
  if (DEPTH.queue_id != state.queue_id) DEPTH = DepthState{0, state.max_depth, state.queue_id};
  if (!hot.named && hot.name_tries != 0) {
    keep = PyRef::borrow(self);
    SlowSide in_slow_side;
    // Counted down first: whatever the interpreter runs inside cannot make
    // more attempts than remain.
    --hot.name_tries;
    hot.named = state.threads.ensure(hot.tid.load(std::memory_order_relaxed), thread_serial(),
                                     current_thread_name);
  }

  std::uint32_t id;
  CodeSlot& slot = caches.codes[code_slot(code)];
  if (code != 0 && slot.code == code) {
    id = slot.id;
  } else {
    std::optional<std::uint32_t> found = state.interner.lookup(code);
    if (!found) {
      if (!keep) keep = PyRef::borrow(self);
      SlowSide in_slow_side;
      if (callable != nullptr) {
        CodeInfo info = c_call_info(callable);
        if (fennik_own_call(info)) {
          state.interner.leave_out(code);
          found = LEFT_OUT;
        } else {
          found = state.interner.insert(code, std::move(info), state.queue->recycle_floor());
          if (!found) return std::nullopt;
        }
      } else {
        CodeInfo info = read_code_info(code_obj);
        const ModuleOf module =
            state.filter.needs_module()
                ? module_of(code_obj, state.filter.judges_by_origin(info.filename))
                : ModuleOf{};
        if (state.filter.active() &&
            !state.filter.records({module.name, info.filename, module.file})) {
          state.interner.leave_out(code);
          found = LEFT_OUT;
        } else {
          found = state.interner.insert(code, std::move(info), state.queue->recycle_floor());
          if (!found) return std::nullopt;
        }
        // New code runs: a multiprocessing child may have learnt its name.
        state.set_role(multiprocessing_name());
      }
    }
    id = *found;
    // A function left out is cached too, so that the events the interpreter
    // cannot stop (unwinds, throws) find it without the interner's lock.
    if (code != 0) slot = CodeSlot{code, id};
    if (id == LEFT_OUT) return LEFT_OUT;
  }
  // The interpreter may have run other threads meanwhile; one of them may have
  // ended the session.
  if (keep && !state.live()) return std::nullopt;
  return id;
}

// Everything but the fast path's store: a known code whose batch is full or
// whose delta overflows (`known`), and any event whose code the caches miss.
// True when the function is one the session leaves out.
//
// The session's end may meet it on a free-threaded build: turning the events
// off stops the world, which finds no thread inside the fast path (it runs no
// Python code), but this side may have run the interpreter first. So it holds
// `self`, and with it the state, from then on; it records only through the
// guarded step, which the end's flush waits for; and it caches a code only
// while the queue is not sealed.
[[gnu::noinline]] bool record_cold(PyObject* self, PyObject* code_obj, std::uint64_t code,
                                   PyObject* callable, std::uint64_t now, std::uint8_t kind,
                                   std::optional<std::uint32_t> known) noexcept {
  SessionHub& state = *reinterpret_cast<CallbackObject*>(self)->state;
  Hot& hot = HOT;
  if (known) {
    record_guarded(*state.queue, now, make_word(kind, *known));
    return false;
  }
  // The interpreter passes a code object; a program calling the callback by
  // hand may pass anything, which is no function of the program's and is
  // never cached, so the fast path never meets it.
  if (callable == nullptr && !PyCode_Check(code_obj)) return false;
  ThreadCaches* caches = thread_caches(state.queue_id);
  if (caches == nullptr) {
    if (state.live()) state.queue->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  PyRef keep;  // set by resolve_cold before it may run the interpreter
  std::optional<std::uint32_t> id;
  try {
    id = resolve_cold(self, state, code_obj, code, callable, hot, *caches, keep);
  } catch (...) {  // allocation failure: the event is lost, and counted
    id.reset();
  }
  if (!state.live()) return false;
  if (id == LEFT_OUT) return true;
  LostOpens& lost_opens = caches->lost_opens;
  lost_opens.bind(state.queue_id);
  bool lost = !id;
  if (is_begin(kind)) {
    lost_opens.open(lost);
  } else if (lost_opens.close()) {
    lost = true;
  }
  if (lost) {
    state.queue->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (state.max_depth == NO_DEPTH_LIMIT || within_depth(DEPTH, kind)) {
    record_guarded(*state.queue, now, make_word(kind, *id));
  }
  // Cached only once HOT mirrors this session's batch: what resets the cache
  // at a session's end reaches exactly the threads bound to it. Not when a
  // code object was forgotten since resolve_cold emptied the code slots (it may have
  // run the interpreter): the next event empties them again; nor when the
  // session ended meanwhile. An unnamed thread with attempts left keeps
  // coming back here to retry, and so does a thread with a lost frame open.
  if (hot.queue_id.load(std::memory_order_relaxed) == state.queue_id &&
      (hot.named || hot.name_tries == 0) && !lost_opens.following()) {
    publish_cached_code(hot, *state.queue, code, *id, GENERATION);
  }
  return false;
}

// The answer for an event of a function the session leaves out: turned off
// where the interpreter allows it.
template <std::uint8_t KIND>
PyObject* left_out() noexcept {
  if constexpr (can_disable(KIND)) {
    DISABLED_SOME.store(true, std::memory_order_relaxed);
    return Py_NewRef(DISABLE_VALUE);
  }
  Py_RETURN_NONE;
}

// The fast path: the clock, the code id from the thread's caches, and the
// store. The clock's kind is fixed per session, so it is chosen when the
// callbacks are registered instead of on every event. CODE_SLOTS is trusted only
// while `cached_code` is set (see Hot); the fast path never writes either, so
// it cannot undo a reset made by another thread. LIMITED counts the depth, for
// a session with a depth limit; a function the session leaves out is turned
// off where the interpreter allows it.
// Records an event of `code`: a code object's address, or with `callable` a
// C call's key.
template <std::uint8_t KIND, bool COUNTER, bool LIMITED>
[[gnu::always_inline]] inline PyObject* record_event(PyObject* self, PyObject* code_obj,
                                                     std::uint64_t code, PyObject* callable) {
  // HOT's address first, then the counter: the compiler would rather read
  // the counter first, and that order measures about 1 ns per event slower.
  Hot* hot_address = &HOT;
  asm volatile("" : "+r"(hot_address));
  Hot& hot = *hot_address;
  const std::uint64_t now =
      COUNTER ? read_counter()
              : reinterpret_cast<CallbackObject*>(self)->state->queue->clock.now_ticks();
  const std::uint64_t cached = hot.cached_code.load(std::memory_order_relaxed);
  std::uint32_t id = hot.cached_id;
  if (cached != code) [[unlikely]] {
    const CodeSlot& slot = CODE_SLOTS[code_slot(code)];
    if (cached == NO_CODE || slot.code != code) {
      if (record_cold(self, code_obj, code, callable, now, KIND, std::nullopt)) {
        return left_out<KIND>();
      }
      Py_RETURN_NONE;
    }
    if (slot.id == LEFT_OUT) [[unlikely]]
      return left_out<KIND>();
    id = slot.id;
  }
  if constexpr (LIMITED) {
    if (!within_depth(DEPTH, KIND)) Py_RETURN_NONE;
  }
  if (!try_store(hot, now, make_word(KIND, id))) [[unlikely]] {
    record_cold(self, code_obj, code, callable, now, KIND, id);
  }
  Py_RETURN_NONE;
}

template <std::uint8_t KIND, bool COUNTER, bool LIMITED>
PyObject* callback(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) == 0) [[unlikely]]
    Py_RETURN_NONE;
  return record_event<KIND, COUNTER, LIMITED>(self, args[0],
                                              reinterpret_cast<std::uint64_t>(args[0]), nullptr);
}

// True when the session leaves out the function whose code makes a C call:
// its C calls are left out with it, their time its own. Sets `keep` as
// resolve_cold does; the caller holds it until the event is recorded.
[[gnu::noinline]] bool caller_left_out_cold(PyObject* self, PyObject* code_obj,
                                            PyRef& keep) noexcept {
  SessionHub& state = *reinterpret_cast<CallbackObject*>(self)->state;
  Hot& hot = HOT;
  const auto code = reinterpret_cast<std::uint64_t>(code_obj);
  ThreadCaches* caches = thread_caches(state.queue_id);
  if (caches == nullptr) return true;  // as when memory runs out below
  std::optional<std::uint32_t> id;
  try {
    id = resolve_cold(self, state, code_obj, code, nullptr, hot, *caches, keep);
  } catch (...) {  // allocation failure: nothing is recorded
    return true;
  }
  // No id to be had: a left-out code needs none, so the caller is one the
  // session records, and its C calls are recorded or lost on their own
  // account. Were this call skipped, its return could find the caller's id
  // by then and be recorded without it.
  if (!id) return false;
  caches->lost_opens.bind(state.queue_id);
  if (hot.queue_id.load(std::memory_order_relaxed) == state.queue_id &&
      (hot.named || hot.name_tries == 0) && !caches->lost_opens.following()) {
    publish_cached_code(hot, *state.queue, code, *id, GENERATION);
  }
  return *id == LEFT_OUT;
}

inline bool caller_left_out(PyObject* self, PyObject* code_obj, PyRef& keep) noexcept {
  if (!reinterpret_cast<CallbackObject*>(self)->state->filter.active()) return false;
  const auto code = reinterpret_cast<std::uint64_t>(code_obj);
  const CodeSlot& slot = CODE_SLOTS[code_slot(code)];
  if (HOT.cached_code.load(std::memory_order_relaxed) != NO_CODE && slot.code == code) {
    return slot.id == LEFT_OUT;
  }
  return caller_left_out_cold(self, code_obj, keep);
}

// CALL, C_RETURN and C_RAISE: (code, offset, callable, arg0). CALL comes for
// every call, and a Python function's returns at once: PY_START records it.
// None of them answers DISABLE: that would turn CALL off at the call site for
// whatever it calls later, and C_RETURN and C_RAISE with it.
template <std::uint8_t KIND, bool COUNTER, bool LIMITED>
PyObject* c_callback(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) < 3) [[unlikely]]
    Py_RETURN_NONE;
  const std::uint64_t key = c_call_key(args[2]);
  // Not a code object: called by hand (see record_cold).
  if (key == 0 || !PyCode_Check(args[0])) Py_RETURN_NONE;
  // Where the caller's code was resolved by running the interpreter, another
  // thread may have ended the session meanwhile: `keep` holds this callback,
  // and the state with it, to the event's end.
  PyRef keep;
  if (caller_left_out(self, args[0], keep)) Py_RETURN_NONE;
  if (keep && !reinterpret_cast<CallbackObject*>(self)->state->live()) Py_RETURN_NONE;
  PyObject* answer = record_event<KIND, COUNTER, LIMITED>(self, args[0], key, args[2]);
  if (answer == DISABLE_VALUE) [[unlikely]] {  // one of fennik's own calls: see above
    Py_DECREF(answer);
    Py_RETURN_NONE;
  }
  return answer;
}

template <std::uint8_t KIND, bool COUNTER, bool LIMITED, bool C_CALL>
constexpr vectorcallfunc callback_function() {
  return C_CALL ? c_callback<KIND, COUNTER, LIMITED> : callback<KIND, COUNTER, LIMITED>;
}

struct EventSpec {
  const char* event;  // attribute of sys.monitoring.events
  const char* name;   // the callback's, in its repr
  // By [whether the clock reads the counter][whether depth is limited].
  vectorcallfunc functions[2][2];
};

template <std::uint8_t KIND, bool C_CALL = false>
constexpr EventSpec event_spec(const char* event, const char* name) {
  return {event,
          name,
          {{callback_function<KIND, false, false, C_CALL>(),
            callback_function<KIND, false, true, C_CALL>()},
           {callback_function<KIND, true, false, C_CALL>(),
            callback_function<KIND, true, true, C_CALL>()}}};
}

// Registration order.
constexpr EventSpec EVENT_SPECS[CALLBACK_COUNT] = {
    event_spec<KIND_START>("PY_START", "_fk_py_start"),
    event_spec<KIND_RETURN>("PY_RETURN", "_fk_py_return"),
    event_spec<KIND_YIELD>("PY_YIELD", "_fk_py_yield"),
    event_spec<KIND_RESUME>("PY_RESUME", "_fk_py_resume"),
    event_spec<KIND_UNWIND>("PY_UNWIND", "_fk_py_unwind"),
    event_spec<KIND_THROW>("PY_THROW", "_fk_py_throw"),
    // Registered only for a session that records C calls. A C call that
    // raises ends as an unwind.
    event_spec<KIND_START, true>("CALL", "_fk_call"),
    event_spec<KIND_RETURN, true>("C_RETURN", "_fk_c_return"),
    event_spec<KIND_UNWIND, true>("C_RAISE", "_fk_c_raise"),
};

// sys.monitoring without importing anything: sys is always there.
PyRef sys_monitoring() {
  PyObject* mon = PySys_GetObject("monitoring");  // borrowed
  if (mon == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "sys.monitoring is not available");
    return {};
  }
  return PyRef::borrow(mon);
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

long profiler_id(PyObject* mon) {
  PyRef tool_obj = PyRef::steal(PyObject_GetAttrString(mon, "PROFILER_ID"));
  if (!tool_obj) return -1;
  const long tool = PyLong_AsLong(tool_obj.get());
  if (tool == -1 && PyErr_Occurred()) return -1;
  if (tool < 0 || tool > UINT8_MAX) {
    PyErr_SetString(PyExc_OverflowError, "tool id out of range");
    return -1;
  }
  return tool;
}

// Turns events off and unregisters every callback of `tool`; every step tried.
void unregister_all(PyObject* mon, long tool, FirstError& errors) {
  errors.step(call_ok(PyObject_CallMethod(mon, "set_events", "ll", tool, 0L)));
  PyRef events = PyRef::steal(PyObject_GetAttrString(mon, "events"));
  errors.step(static_cast<bool>(events));
  if (!events) return;
  for (const EventSpec& spec : EVENT_SPECS) {
    const long value = event_value(events.get(), spec.event);
    errors.step(value >= 0);
    if (value < 0) continue;
    errors.step(
        call_ok(PyObject_CallMethod(mon, "register_callback", "llO", tool, value, Py_None)));
  }
}

// True when `tool`'s PY_START callback is still `ours`: nobody freed the
// slot and gave it to another tool meanwhile. Leaves the registration as it was.
bool still_ours(PyObject* mon, long tool, PyObject* ours) {
  PyRef events = PyRef::steal(PyObject_GetAttrString(mon, "events"));
  const long start = events ? event_value(events.get(), EVENT_SPECS[0].event) : -1;
  if (start < 0) return false;
  PyRef previous =
      PyRef::steal(PyObject_CallMethod(mon, "register_callback", "llO", tool, start, Py_None));
  if (!previous) return false;
  if (previous.get() == ours) return true;
  (void)call_ok(PyObject_CallMethod(mon, "register_callback", "llO", tool, start, previous.get()));
  return false;
}

}  // namespace

void join_session(const SessionHub& state, Hot& hot) noexcept {
  if (hot.queue_id.load(std::memory_order_relaxed) != state.queue_id) {
    empty_code_cache();
    hot.named = false;
    hot.name_tries = NAME_TRIES;
  }
  if (hot.tid.load(std::memory_order_relaxed) == UNKNOWN_TID) {
    hot.tid.store(current_thread_id(), std::memory_order_relaxed);
  }
}

std::uint32_t current_thread_id() noexcept {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(gettid()));
}

bool in_callback_slow_side() noexcept {
  return IN_SLOW_SIDE;
}

std::optional<MonitoringHandle> claim_tool() {
  PyRef mon = sys_monitoring();
  if (!mon) return std::nullopt;
  const long tool = profiler_id(mon.get());
  if (tool < 0) return std::nullopt;
  PyRef holder = PyRef::steal(PyObject_CallMethod(mon.get(), "get_tool", "l", tool));
  if (!holder) return std::nullopt;
  if (holder.get() != Py_None) {
    PyErr_Format(PyExc_ValueError,
                 "the profiler slot (sys.monitoring tool %ld) is already in use by %R", tool,
                 holder.get());
    return std::nullopt;
  }
  if (!call_ok(PyObject_CallMethod(mon.get(), "use_tool_id", "ls", tool, TOOL_NAME))) {
    return std::nullopt;
  }
  MonitoringHandle handle;
  handle.tool = static_cast<std::uint8_t>(tool);
  return handle;
}

bool enable(MonitoringHandle& handle, const std::shared_ptr<SessionHub>& state) {
  PyRef mon = sys_monitoring();
  if (!mon) return false;
  const long tool = handle.tool;
  auto undo = [&] {
    PendingError pending;
    FirstError ignored;
    unregister_all(mon.get(), tool, ignored);
    annotations_off();
    return false;
  };
  // Before any event is on: turning annotations on may import, which is
  // none of the program's calls.
  annotations_on(state);
  PyRef events = PyRef::steal(PyObject_GetAttrString(mon.get(), "events"));
  if (!events) return false;
  if (DISABLE_VALUE == nullptr) {
    DISABLE_VALUE = PyObject_GetAttrString(mon.get(), "DISABLE");
    if (DISABLE_VALUE == nullptr) return false;
  }
  // A code cached for an earlier session is no answer for this one.
  forget_cached_codes();
  long mask = 0;
  for (std::size_t i = 0; i < (state->c_calls ? CALLBACK_COUNT : PY_CALLBACK_COUNT); ++i) {
    const long value = event_value(events.get(), EVENT_SPECS[i].event);
    if (value < 0) return undo();
    const EventSpec& spec = EVENT_SPECS[i];
    handle.funcs[i] = new_callback(
        state, spec.functions[state->counter_mode][state->max_depth != NO_DEPTH_LIMIT], spec.name);
    if (!handle.funcs[i]) return undo();
    if (!call_ok(PyObject_CallMethod(mon.get(), "register_callback", "llO", tool, value,
                                     handle.funcs[i].get()))) {
      return undo();
    }
    mask |= value;
  }
  if (!call_ok(PyObject_CallMethod(mon.get(), "set_events", "ll", tool, mask))) return undo();
  // Functions an earlier session left out stay turned off in code that has
  // not run since. Turning them on again costs another tool at most one more
  // callback per location it turned off, which it answers as before.
  if (DISABLED_SOME.exchange(false, std::memory_order_relaxed) &&
      !call_ok(PyObject_CallMethod(mon.get(), "restart_events", nullptr))) {
    DISABLED_SOME.store(true, std::memory_order_relaxed);
    return undo();
  }
  handle.enabled = true;
  return true;
}

bool disable(MonitoringHandle& handle) {
  PyRef mon = sys_monitoring();
  if (!mon) return false;
  const long tool = handle.tool;
  annotations_off();
  FirstError errors;
  PyRef holder = PyRef::steal(PyObject_CallMethod(mon.get(), "get_tool", "l", tool));
  errors.step(static_cast<bool>(holder));
  bool ours = holder && PyUnicode_Check(holder.get()) &&
              PyUnicode_CompareWithASCIIString(holder.get(), TOOL_NAME) == 0;
  if (ours && handle.enabled) ours = still_ours(mon.get(), tool, handle.funcs[0].get());
  if (ours) {
    unregister_all(mon.get(), tool, errors);
    errors.step(call_ok(PyObject_CallMethod(mon.get(), "free_tool_id", "l", tool)));
  }
  handle.enabled = false;
  return errors.finish();
}

}  // namespace fennik::py
