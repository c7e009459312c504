// What differs between the CPython versions the module builds for (3.13,
// 3.14 and 3.15), in one place.
//
// C API: PyImport_ImportModuleAttrString is new in 3.14; on 3.13 it is
// defined here from the calls it stands for.
//
// runpy: the private _get_code_from_file, which compiles a script the way
// `python SCRIPT` does, takes the module's name from 3.15 on (compile()
// gives it to the warnings the code raises).
//
// Behaviour: the same `sys.monitoring` events, callbacks and code watchers
// serve every version; the module registers only function events, the ones
// 3.14 left as they were (it split BRANCH in two). What the module meets only
// from 3.14 on: `concurrent.interpreters`, which creates the subinterpreters
// the module refuses to load in (3.13 has them only through the private
// `_interpreters`), and `sys.remote_exec`, whose injected code runs, and is
// recorded, on the main thread like any other Python code. The tests that
// need either skip with that reason on 3.13 (tests/versions.py).
#pragma once

#include "pyref.hpp"

#if PY_VERSION_HEX < 0x030E0000
// The attribute `attr` of the module `module`, imported if need be; a new
// reference, or null with an exception. The name and contract are 3.14's.
inline PyObject* PyImport_ImportModuleAttrString(const char* module, const char* attr) {
  PyObject* imported = PyImport_ImportModule(module);
  if (imported == nullptr) return nullptr;
  PyObject* value = PyObject_GetAttrString(imported, attr);
  Py_DECREF(imported);
  return value;
}
#endif

namespace fennik::py {

// The code of the script at `path`, compiled for the module __main__; a new
// reference, or null with an exception.
inline PyObject* script_code(PyObject* runpy, PyObject* path) {
#if PY_VERSION_HEX >= 0x030F0000
  return PyObject_CallMethod(runpy, "_get_code_from_file", "Os", path, "__main__");
#else
  return PyObject_CallMethod(runpy, "_get_code_from_file", "O", path);
#endif
}

}  // namespace fennik::py
