// The target of `fennik run` as `python SCRIPT` or `python -m MODULE` would
// run it: sys as it sees it, and its code resolved before the tracer starts,
// so that nothing of the runner's runs while the trace records.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "command_line.hpp"
#include "pyref.hpp"

namespace fennik::py {

// A target python would refuse without a traceback: its one-line message
// and the status python gives it.
struct Unrunnable {
  int status;
  std::string message;
};

// sys.argv, sys.path[0] and sys.modules["__main__"] as the target sees them,
// put back on restore.
class TargetView {
 public:
  TargetView() = default;
  TargetView(const TargetView&) = delete;
  TargetView& operator=(const TargetView&) = delete;

  // The target's argv and first path entry; false with an exception.
  bool replace(PyRef argv, PyRef first_entry);
  // `module` becomes sys.modules["__main__"] until restore.
  bool install_main(PyObject* module);
  // Puts everything back, sys.path[0] only if it is still the target's;
  // every step is tried, false with the first error.
  bool restore();

 private:
  PyRef argv_, path_, entry_, first_, main_;
  bool main_replaced_ = false;
};

// The code of the target and the fresh __main__ module it runs in, its
// globals set as runpy sets them.
struct Target {
  PyRef code;
  PyRef main;
};

// Puts the target's view of sys in place through `view` and resolves its
// code (a module's parent packages are imported then, untraced). Null with
// an exception for an error python would show with a traceback.
std::optional<std::variant<Target, Unrunnable>> resolve_target(const RunArgs& a, TargetView& view);

// Runs the target's code in its __main__ module; null with its exception.
PyRef run_target(const Target& target);

}  // namespace fennik::py
