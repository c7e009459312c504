// The extension module fennik._core. Importing it only adds its classes and
// functions; tracing and the process hooks (at exit, at fork) wait for a Tracer.
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "annotations.hpp"
#include "cli.hpp"
#include "clock.hpp"
#include "dump_signal.hpp"
#include "process_hooks.hpp"
#include "pyref.hpp"
#include "signals.hpp"
#include "snapshot_object.hpp"
#include "span_object.hpp"
#include "tracer.hpp"

namespace fennik::py {
namespace {

int add_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return -1;
  return PyModule_Add(module, name, type);  // steals the reference
}

PyObject* clock(PyObject*, PyObject*) noexcept {
  try {
    const std::optional<ClockRequest> request = clock_request();
    if (!request) return nullptr;
    const std::string text = describe_clock(session_clock(*request));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef MODULE_METHODS[] = {
    {"clock", clock, METH_NOARGS,
     "clock($module, /)\n--\n\nThe clock a session started now would use, and why."},
    {"span", as_cfunction(span), METH_FASTCALL | METH_KEYWORDS,
     "span($module, name, /, **args)\n--\n\n"
     "A span named `name` on the calling thread's track, with `args`: the block\n"
     "of a with statement, or each call of the function it decorates."},
    {"instant", as_cfunction(instant), METH_FASTCALL | METH_KEYWORDS,
     "instant($module, name, /, **args)\n--\n\nAn instant on the calling thread's track."},
    {"counter", as_cfunction(counter), METH_FASTCALL,
     "counter($module, name, value, /)\n--\n\nA value of the process's counter `name`."},
    {"cli_main", as_cfunction(cli_main), METH_VARARGS | METH_KEYWORDS, "cli_main(argv)\n--\n\n"},
    {"_before_fork", before_fork, METH_NOARGS, "_before_fork()\n--\n\n"},
    {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS, "_after_fork_in_parent()\n--\n\n"},
    {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, "_after_fork_in_child()\n--\n\n"},
    {"_handle_deadly_signal", as_cfunction(handle_deadly_signal), METH_VARARGS | METH_KEYWORDS,
     "_handle_deadly_signal(signum, frame)\n--\n\n"},
    {"_handle_dump_signal", as_cfunction(handle_dump_signal), METH_VARARGS | METH_KEYWORDS,
     "_handle_dump_signal(signum, frame)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module exec slot given a non-module");
    return -1;
  }
  try {
    if (add_type(module, "Tracer", tracer_type()) < 0) return -1;
    if (add_type(module, "Snapshot", snapshot_type()) < 0) return -1;
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error while loading fennik._core");
  }
  return -1;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The session slot, the process-wide hooks and the end-of-session flush
    // rely on the interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_USED},
    // The code watcher, the at-exit and fork hooks are per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, MODULE_METHODS, MODULE_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace fennik::py

PyMODINIT_FUNC PyInit__core() {
  return PyModuleDef_Init(&fennik::py::MODULE_DEF);
}
