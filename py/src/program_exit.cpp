#include "program_exit.hpp"

#include <memory>
#include <utility>

namespace fennik::py {
namespace {

constexpr char CAPSULE_NAME[] = "fennik.program_exit";

// What the finisher and cli_main share; owned by the capsule, so that a
// finisher the exit functions still hold never outlives it.
struct Ending {
  PyRef tracer;
  PyRef target_error;
  PyRef end_error;
  bool ended = false;
};

Ending* ending_of(PyObject* capsule) {
  return static_cast<Ending*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

void free_ending(PyObject* capsule) {
  std::unique_ptr<Ending> owned(ending_of(capsule));
}

// Ends the session once, with the target's exception unless it exited
// successfully; the error is kept for cli_main, which decides the status,
// rather than printed by atexit.
void end_session(Ending& e) {
  if (e.ended) return;
  e.ended = true;
  const bool failed = e.target_error && !exits_successfully(e.target_error.get());
  PyObject* exc = failed ? e.target_error.get() : Py_None;
  PyObject* type = failed ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None;
  PyRef tb = failed ? PyRef::steal(PyException_GetTraceback(exc)) : PyRef();
  PyRef r = PyRef::steal(
      PyObject_CallMethod(e.tracer.get(), "__exit__", "OOO", type, exc, tb ? tb.get() : Py_None));
  if (!r) e.end_error = PyRef::steal(PyErr_GetRaisedException());
}

PyObject* finisher(PyObject* capsule, PyObject*) {
  return guarded([&]() -> PyObject* {
    Ending* e = ending_of(capsule);
    if (e == nullptr) return nullptr;
    end_session(*e);
    Py_RETURN_NONE;
  });
}

PyMethodDef FINISHER_DEF = {"_fk_end_run", finisher, METH_NOARGS, nullptr};

PyRef attr_of(const char* module, const char* name) {
  PyRef m = PyRef::steal(PyImport_ImportModule(module));
  return m ? PyRef::steal(PyObject_GetAttrString(m.get(), name)) : PyRef();
}

}  // namespace

bool exits_successfully(PyObject* exc) {
  if (!PyErr_GivenExceptionMatches(exc, PyExc_SystemExit)) return false;
  PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
  if (!code) {
    PyErr_Clear();
    return false;
  }
  if (code.get() == Py_None) return true;
  return PyLong_Check(code.get()) && PyObject_Not(code.get()) == 1;
}

std::optional<ProgramExit> ProgramExit::prepare(PyObject* tracer) {
  auto ending = std::make_unique<Ending>();
  ending->tracer = PyRef::borrow(tracer);
  PyRef capsule = PyRef::steal(PyCapsule_New(ending.get(), CAPSULE_NAME, free_ending));
  if (!capsule) return std::nullopt;
  static_cast<void>(ending.release());  // the capsule's now
  ProgramExit p(std::move(capsule));
  p.finisher_ = PyRef::steal(PyCFunction_New(&FINISHER_DEF, p.ending_.get()));
  p.register_ = attr_of("atexit", "register");
  p.run_exit_functions_ = attr_of("atexit", "_run_exitfuncs");
  // What the interpreter's exit calls first: threading's own exit hooks,
  // then the wait for every thread that is not a daemon.
  p.shutdown_threads_ = attr_of("threading", "_shutdown");
  if (!p.finisher_ || !p.register_ || !p.run_exit_functions_ || !p.shutdown_threads_) {
    return std::nullopt;
  }
  return p;
}

bool ProgramExit::arm() {
  return static_cast<bool>(PyRef::steal(PyObject_CallOneArg(register_.get(), finisher_.get())));
}

ProgramExit::Outcome ProgramExit::finish(PyRef target_error) {
  Ending& e = *ending_of(ending_.get());
  if (!PyRef::steal(PyObject_CallNoArgs(shutdown_threads_.get()))) {
    // Interrupted while waiting: that is the outcome unless the target failed.
    PyRef interrupted = PyRef::steal(PyErr_GetRaisedException());
    if (!target_error) target_error = std::move(interrupted);
  }
  e.target_error = std::move(target_error);
  // Runs the exit functions and clears them, the last registered first: the
  // target's, then the finisher, then any registered before the target ran
  // (the tracer's own at-exit hook, which finds no session left). They
  // report their own errors, as at the interpreter's exit.
  if (!PyRef::steal(PyObject_CallNoArgs(run_exit_functions_.get()))) {
    PyErr_WriteUnraisable(run_exit_functions_.get());
  }
  // The target may have cleared the exit functions, the finisher with them.
  end_session(e);
  return Outcome{std::move(e.target_error), std::move(e.end_error)};
}

}  // namespace fennik::py
