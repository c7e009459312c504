// The dump signal (SIGUSR1 unless the tracer says otherwise): while a flight
// recorder runs, it asks for a dump and the program goes on. Taken over and
// put back with the deadly signals (signals.hpp); a handler the program
// installed itself still wins.
#pragma once

#include "pyref.hpp"

namespace fennik::py {

// _handle_dump_signal(signum, frame): the handler itself. The dump is asked
// for and not waited on; it is named after the reason `fennik dump` handed
// over, else "signal-SIGUSR1" and the like.
PyObject* handle_dump_signal(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fennik::py
