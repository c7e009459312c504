// `fennik run`: the command line parsed, the target run under a tracer as
// python would run it, and the outcome reported as python would report it.
#pragma once

#include "pyref.hpp"

namespace fennik::py {

// cli_main(argv): the exit status, or the target's exception. It ends the
// program's run as the interpreter's exit would (threads joined, exit
// functions run), so it is the last thing a process does.
PyObject* cli_main(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fennik::py
