// fennik.span(name, **args): a span on the calling thread's track, as a
// context manager (its block) or a decorator (each call of the function).
#pragma once

#include "pyref.hpp"

namespace fennik::py {

// fennik.span(name, /, **args): a new span object.
PyObject* span(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The types behind it, made once; a new reference, or null with an exception.
PyObject* span_type();
PyObject* span_call_type();

}  // namespace fennik::py
