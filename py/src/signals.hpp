// SIGTERM, SIGHUP and SIGQUIT while a tracer is installed: the tracer's
// output is finished before the process dies by the signal. A flight
// recorder's dump signal is taken over and put back the same way; its
// handler lives in dump_signal.cpp.
#pragma once

#include "pyref.hpp"

namespace fennik::py {

inline constexpr char DEADLY_SIGNAL_REASON[] = "signal";

// Makes the module's handler the Python handler of each deadly signal and
// remembers the one it replaced. A signal that cannot be taken over (not the
// main thread, a handler installed from C) keeps its handler. False with an
// exception when the modules cannot be imported or a pending signal handler
// raised (a KeyboardInterrupt) while the handlers were being changed.
bool take_over_deadly_signals();

// The same for the dump signal, with the dump handler.
bool take_over_dump_signal(int signum);

// A new reference to the handler replaced for `signum`, or null when ours is
// not installed for it (or is a copy that outlived its session).
PyRef saved_previous(int signum);

// Puts back the handlers replaced where ours is still installed. Off the
// main thread nothing can be changed and our handler keeps what it needs to
// forward a later signal. False with an exception as take-over.
bool restore_deadly_signals();

// A call of one of our handlers: its arguments and the handler ours replaced.
struct SignalCall {
  PyObject* signum_arg = nullptr;  // borrowed
  PyObject* frame = nullptr;       // borrowed
  int signum = 0;
  PyRef previous;  // null: ours is not installed for it, or is a stale copy

  bool program_handles() const { return previous && PyCallable_Check(previous.get()); }
  PyObject* to_program() const {
    return PyObject_CallFunctionObjArgs(previous.get(), signum_arg, frame, nullptr);
  }
};
// False with an exception when the arguments are not (signum, frame).
bool read_signal_call(const char* func, PyObject* args, PyObject* kwargs, SignalCall& call);

// Makes `handler` (SIG_DFL when null) the signal's handler again and raises
// the signal, so that it meets that disposition. None, or null with an
// exception.
PyObject* pass_on_signal(PyObject* signum_arg, PyObject* handler);

// _handle_deadly_signal(signum, frame): the handler itself.
PyObject* handle_deadly_signal(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fennik::py
