#include "signals.hpp"

#include <array>
#include <csignal>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "monitoring.hpp"
#include "process_hooks.hpp"
#include "py_compat.hpp"
#include "py_errors.hpp"
#include "tls.hpp"

namespace fennik::py {
namespace {

constexpr std::array<int, 3> DEADLY_SIGNALS = {SIGTERM, SIGHUP, SIGQUIT};
constexpr char MODULE_NAME[] = "fennik._core";
constexpr char SIGNAL_MODULE[] = "_signal";
constexpr char HANDLER_NAME[] = "_handle_deadly_signal";
constexpr char DUMP_HANDLER_NAME[] = "_handle_dump_signal";

// The handler a signal had before ours.
struct Saved {
  int signum;
  PyObject* previous;  // strong reference
};

// At most one entry per signal. A pending signal handler may run inside any
// call to the signal module, ours included, so the lock is held only for
// bookkeeping: no interpreter call, and references are released after it.
// It is taken only with the interpreter lock held, so never waits long.
struct SavedHandlers {
  std::mutex lock;
  std::vector<Saved> entries;
};
constinit NoDestroy<SavedHandlers> SAVED;

// Sets the entry for `signum` (null removes it); what it held is returned to
// be released by the caller.
PyRef replace_saved(int signum, PyRef previous) {
  std::lock_guard<std::mutex> g(SAVED->lock);
  auto& entries = SAVED->entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->signum != signum) continue;
    PyRef old = PyRef::steal(it->previous);
    if (previous) {
      it->previous = previous.release();
    } else {
      entries.erase(it);
    }
    return old;
  }
  if (previous) entries.push_back(Saved{signum, previous.release()});
  return {};
}

std::vector<int> saved_signals() {
  std::lock_guard<std::mutex> g(SAVED->lock);
  std::vector<int> signums;
  for (const Saved& s : SAVED->entries) signums.push_back(s.signum);
  return signums;
}

// The interpreter lets handlers be changed only on its main thread. 1 there,
// 0 elsewhere, -1 with an exception.
int on_main_thread() {
  PyRef ident = PyRef::steal(PyImport_ImportModuleAttrString("_thread", "_get_main_thread_ident"));
  PyRef main = ident ? PyRef::steal(PyObject_CallNoArgs(ident.get())) : PyRef();
  if (!main) return -1;
  const unsigned long main_ident = PyLong_AsUnsignedLong(main.get());
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

// The interpreter's signal functions and the installed forms of our
// handlers, which are told from others by identity. The native module, not
// its Python wrapper, so that a running session records none of this.
struct SignalApi {
  PyRef signal;
  PyRef ours;       // for the deadly signals
  PyRef ours_dump;  // for the dump signal

  bool load() {
    signal = PyRef::steal(PyImport_ImportModule(SIGNAL_MODULE));
    if (signal) ours = PyRef::steal(PyImport_ImportModuleAttrString(MODULE_NAME, HANDLER_NAME));
    if (ours) {
      ours_dump = PyRef::steal(PyImport_ImportModuleAttrString(MODULE_NAME, DUMP_HANDLER_NAME));
    }
    return static_cast<bool>(ours_dump);
  }
  bool is_ours(PyObject* handler) const {
    return handler == ours.get() || handler == ours_dump.get();
  }
  PyRef getsignal(PyObject* number) const {
    return PyRef::steal(PyObject_CallMethod(signal.get(), "getsignal", "O", number));
  }
  // On the main thread with a valid handler this fails only when a pending
  // handler that runs first raises; the handler is then unchanged.
  PyRef set(PyObject* number, PyObject* handler) const {
    return PyRef::steal(PyObject_CallMethod(signal.get(), "signal", "OO", number, handler));
  }
};

// Makes `handler` the Python handler of each of `signums`, saving the one
// it replaced; see take_over_deadly_signals.
bool take_over(std::span<const int> signums, bool dump) {
  SignalApi api;
  if (!api.load()) return false;
  const int main = on_main_thread();
  if (main <= 0) return main == 0;
  PyObject* handler = dump ? api.ours_dump.get() : api.ours.get();
  for (const int signum : signums) {
    PyRef number = PyRef::steal(PyLong_FromLong(signum));
    PyRef current = number ? api.getsignal(number.get()) : PyRef();
    if (!current) {
      PyErr_Clear();
      continue;
    }
    // A handler installed from C reads as None and could not be put back.
    // Ours is skipped so the first saved entry stays.
    if (current.get() == Py_None || api.is_ours(current.get())) continue;
    PyRef replaced = api.set(number.get(), handler);
    if (!replaced) return false;
    // What signal.signal replaced is authoritative: a pending handler run
    // inside it may have changed the handler since getsignal.
    if (replaced.get() != Py_None && !api.is_ours(replaced.get())) current = std::move(replaced);
    PyRef old = replace_saved(signum, std::move(current));
  }
  return true;
}

}  // namespace

PyRef saved_previous(int signum) {
  std::lock_guard<std::mutex> g(SAVED->lock);
  for (const Saved& s : SAVED->entries) {
    if (s.signum == signum) return PyRef::borrow(s.previous);
  }
  return {};
}

bool take_over_deadly_signals() {
  return take_over(DEADLY_SIGNALS, false);
}

bool take_over_dump_signal(int signum) {
  return take_over(std::span<const int>(&signum, 1), true);
}

bool restore_deadly_signals() {
  SignalApi api;
  if (!api.load()) return false;
  const int main = on_main_thread();
  if (main <= 0) return main == 0;
  for (int signum : saved_signals()) {
    PyRef previous = saved_previous(signum);
    PyRef number = PyRef::steal(PyLong_FromLong(signum));
    PyRef current = number && previous ? api.getsignal(number.get()) : PyRef();
    if (!current) {
      PyErr_Clear();
      continue;
    }
    // The entry stays until the previous handler is back: a signal arriving
    // meanwhile still reaches our handler, which forwards it.
    if (api.is_ours(current.get()) && !api.set(number.get(), previous.get())) return false;
    PyRef old = replace_saved(signum, {});
  }
  return true;
}

namespace {

PyObject* handle(PyObject* args, PyObject* kwargs) {
  SignalCall call;
  if (!read_signal_call("_handle_deadly_signal", args, kwargs, call)) return nullptr;
  // The program's own handler decides; the tracer goes on.
  if (call.program_handles()) return call.to_program();
  PyObject* signum_arg = call.signum_arg;
  const int signum = call.signum;
  PyRef previous = std::move(call.previous);
  PyRef signal = PyRef::steal(PyImport_ImportModule(SIGNAL_MODULE));
  PyRef dfl = signal ? PyRef::steal(PyObject_GetAttrString(signal.get(), "SIG_DFL")) : PyRef();
  if (!dfl) return nullptr;
  // A copy of our handler that outlived its entry (a library saved it while a
  // tracer ran and put it back later) acts as the default disposition: the
  // process dies by the signal, as it would have without us.
  if (!previous) previous = PyRef::borrow(dfl.get());
  if (previous.get() == dfl.get()) {
    // Python code run by a monitoring callback was interrupted: the session
    // it records into cannot end under it, so the signal is handled again
    // at the next check, once the callback has returned.
    if (in_callback_slow_side()) {
      PyErr_SetInterruptEx(signum);
      Py_RETURN_NONE;
    }
    // The process dies by the signal whether or not the output was finished.
    if (!PyRef::steal(end_active_tracer(DEADLY_SIGNAL_REASON))) {
      PyErr_FormatUnraisable("Exception ignored while ending the tracer on signal %d", signum);
    }
  }
  return pass_on_signal(signum_arg, previous.get());
}

}  // namespace

bool read_signal_call(const char* func, PyObject* args, PyObject* kwargs, SignalCall& call) {
  static const char* keywords[] = {"signum", "frame", nullptr};
  std::string format = std::string("OO:") + func;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                   &call.signum_arg, &call.frame)) {
    return false;
  }
  if (!PyLong_Check(call.signum_arg)) {
    type_error(func, "signum", "int", call.signum_arg);
    return false;
  }
  call.signum = PyLong_AsInt(call.signum_arg);
  if (call.signum == -1 && PyErr_Occurred()) return false;
  call.previous = saved_previous(call.signum);
  return true;
}

PyObject* pass_on_signal(PyObject* signum_arg, PyObject* handler) {
  PyRef signal = PyRef::steal(PyImport_ImportModule(SIGNAL_MODULE));
  if (!signal) return nullptr;
  PyRef dfl = handler == nullptr ? PyRef::steal(PyObject_GetAttrString(signal.get(), "SIG_DFL"))
                                 : PyRef::borrow(handler);
  if (!dfl) return nullptr;
  PyRef set =
      PyRef::steal(PyObject_CallMethod(signal.get(), "signal", "OO", signum_arg, dfl.get()));
  PyRef raised =
      set ? PyRef::steal(PyObject_CallMethod(signal.get(), "raise_signal", "O", signum_arg))
          : PyRef();
  if (!raised) return nullptr;
  Py_RETURN_NONE;
}

PyObject* handle_deadly_signal(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return handle(args, kwargs); });
}

}  // namespace fennik::py
