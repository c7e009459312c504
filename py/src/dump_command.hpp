// `fennik dump PID [REASON]`: asks the flight recorder of another process for
// a dump through its dump signal and says which file appeared.
#pragma once

#include "command_line.hpp"
#include "pyref.hpp"

namespace fennik::py {

// The command's exit status (0 once the dump's path is printed), or null with
// an exception (an interrupt while waiting).
PyObject* dump_command(const DumpArgs& a);

}  // namespace fennik::py
