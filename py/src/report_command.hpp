// `fennik report PATH [OPTIONS]` from the command line: the report is made
// without the interpreter's lock and printed on sys.stdout; a file it cannot
// read is one `fennik: ...` line on stderr and status 2.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "pyref.hpp"

namespace fennik::py {

// `fennik run --report=N`: the report of `file` (with its children's
// profiles beside it when `children`) on stderr; a failure is a line there.
void report_after_run(const std::string& file, bool children, std::size_t top);

// `args` are the words after "report"; returns the exit status.
PyObject* report_command(const std::vector<std::string>& args, std::string_view program);

}  // namespace fennik::py
