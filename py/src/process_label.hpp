// How users know this process (see ProcessLabel), read from the interpreter.
#pragma once

#include <string>

namespace fennik::py {

// The command line `fennik run` runs its target as (`python app.py --flag`,
// `python -m worker 8000`), given before the tracer starts: it stands for
// this process's own, which names fennik.
void set_run_command_line(std::string text);

// The command line: the one `fennik run` gave, else sys.orig_argv with the
// program by its base name. Errors are cleared.
std::string command_line();

// multiprocessing's name for this process (`SpawnPoolWorker-3`), read
// without running Python code; empty for the main process or where
// multiprocessing is not imported. Errors are cleared.
std::string multiprocessing_name();

}  // namespace fennik::py
