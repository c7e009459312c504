// SIGTERM, SIGHUP and SIGQUIT while a tracer is installed: the tracer's
// output is finished before the process dies by the signal.
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

// Puts back the handlers replaced where ours is still installed. Off the
// main thread nothing can be changed and our handler keeps what it needs to
// forward a later signal. False with an exception as take-over.
bool restore_deadly_signals();

// _handle_deadly_signal(signum, frame): the handler itself.
PyObject* handle_deadly_signal(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fennik::py
