// `fennik run`: the command line parsed, the target run under a tracer as
// python would run it, and the outcome reported as python would report it.
#pragma once

#include <optional>
#include <string>

#include "child_tally.hpp"
#include "command_line.hpp"
#include "exporter_thread.hpp"
#include "format.hpp"
#include "pyref.hpp"

namespace fennik::py {

// The format `a` asks for: the one given, else the output's name's.
Format chosen_format(const RunArgs& a);

// The line that says what was written where, and how to look at it.
std::string summary(const RunArgs& a, Format format, const OutputFigures& f,
                    const std::optional<ChildTally>& children);

// cli_main(argv): the exit status, or the target's exception. It ends the
// program's run as the interpreter's exit would (threads joined, exit
// functions run), so it is the last thing a process does.
PyObject* cli_main(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fennik::py
