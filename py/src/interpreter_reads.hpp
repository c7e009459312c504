// What the callbacks' slow side reads from the interpreter about an event:
// its code's name and place, the module of the function it came from, the
// calling thread's name. Errors are cleared, never raised.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "sink.hpp"

namespace fennik::py {

// A code object's qualified name, file and first line; "<unknown>", "" and 0
// for what it does not hold as expected.
CodeInfo read_code_info(PyObject* code);

// What the filter reads of the module whose function `code` is, from the
// frame the event came from (a code object does not know its module): its
// `__name__`, and with `origin` (for code compiled from a string) its
// `__file__`, or without one (as namedtuple runs its code) the file of the
// code that ran it. Empty when that frame is not running `code`. Errors are
// cleared.
struct ModuleOf {
  std::string name;
  std::string file;
};
ModuleOf module_of(PyObject* code, bool origin);

// The calling thread's name as threading knows it, or nothing. Read from
// threading's own table without calling into it: asking threading for the
// current thread would make it invent a dummy thread object (and use up a
// "Dummy-N" name) for a thread it did not start, and runs Python code.
std::optional<std::string> current_thread_name();

}  // namespace fennik::py
