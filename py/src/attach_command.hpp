// `fennik attach PID -o OUTPUT`: traces a running Python 3.14 (or later)
// program that can import fennik, through sys.remote_exec: a script run there
// enters a Tracer, a second one, at Ctrl-C or after --duration, ends it; the
// usual summary line follows. Every way this fails is one line and status 1.
#pragma once

#include "command_line.hpp"
#include "pyref.hpp"

namespace fennik::py {

// The command's exit status, or null with an exception.
PyObject* attach_command(const RunArgs& a);

}  // namespace fennik::py
