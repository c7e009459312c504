// The end of `fennik run` as the interpreter's own exit would have it: the
// threads the target left are joined and its exit functions run while the
// session records and sys is still the target's, and only then does the
// session end, with the target's outcome.
#pragma once

#include <optional>

#include "pyref.hpp"

namespace fennik::py {

// A SystemExit with status 0 or None: the program ended normally.
bool exits_successfully(PyObject* exc);

class ProgramExit {
 public:
  // Everything the exit needs, found before the tracer starts, so that
  // nothing is imported or looked up while it records.
  static std::optional<ProgramExit> prepare(PyObject* tracer);

  // Once the tracer is entered: the finisher goes into the exit functions,
  // after every one registered before and before every one the target
  // registers. False with an exception; the session is not ended then.
  bool arm();

  struct Outcome {
    PyRef target_error;  // the target's exception, or an interrupt while joining
    PyRef end_error;     // the session's end failed
  };
  // After the target: its threads joined, the exit functions run, the
  // session ended; every step is taken.
  Outcome finish(PyRef target_error);

 private:
  explicit ProgramExit(PyRef ending) : ending_(std::move(ending)) {}
  PyRef ending_;  // a capsule holding the state the finisher shares with us
  PyRef finisher_, register_, run_exit_functions_, shutdown_threads_;
};

}  // namespace fennik::py
