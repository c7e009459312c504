// Calls of built-in functions and methods and of C classes, recorded as
// slices when a session asks for them: which callables count, the key they
// are interned under, and the name a user knows them by.
#pragma once

#include <Python.h>

#include <cstdint>

#include "sink.hpp"

namespace fennik::py {

// The tags of a key, in the low bits an object's or a method table's address
// leaves clear: a key is never a code object's address, so the two share one
// interner and one per-thread cache without meeting.
inline constexpr std::uint64_t METHOD_KEY = 1;  // a method table entry (PyMethodDef)
inline constexpr std::uint64_t CLASS_KEY = 2;   // a C class, called to make an instance
inline constexpr std::uint64_t OBJECT_KEY = 3;  // an instance of a C class, called
inline constexpr std::uint64_t KEY_TAGS = 7;
static_assert(alignof(PyMethodDef) > KEY_TAGS && alignof(PyObject) > KEY_TAGS);

namespace detail {
std::uint64_t object_key(PyObject* callable, PyTypeObject* type) noexcept;
}  // namespace detail

// The key a call of `callable` is interned under, or 0 when it is not one
// recorded: Python functions (their own events cover them) and objects
// whose identity may not last (Python classes, their instances, and bound
// slot wrappers, made anew for each call). The key outlives the callable: a
// bound built-in method is keyed by its method table entry, shared by every
// binding of it.
inline std::uint64_t c_call_key(PyObject* callable) noexcept {
  PyTypeObject* type = Py_TYPE(callable);
  if (type == &PyFunction_Type) [[likely]]
    return 0;
  if (type == &PyCFunction_Type || type == &PyCMethod_Type) {
    return reinterpret_cast<std::uint64_t>(reinterpret_cast<PyCFunctionObject*>(callable)->m_ml) |
           METHOD_KEY;
  }
  if (type == &PyMethodDescr_Type || type == &PyClassMethodDescr_Type) {
    return reinterpret_cast<std::uint64_t>(
               reinterpret_cast<PyMethodDescrObject*>(callable)->d_method) |
           METHOD_KEY;
  }
  return detail::object_key(callable, type);
}

// The name and place of what `key`'s callable is: `time.sleep`, `len`,
// `list.sort`, `_json.make_encoder`, `functools.partial.__call__`; no file
// and line 0. Errors are cleared, never raised.
CodeInfo c_call_info(PyObject* callable);

// Whether a C call is one of fennik's own (its module's functions, its types'
// methods), which are never recorded, like the runner's frames: a span opened
// inside `span.__enter__`'s slice would otherwise end with it.
bool fennik_own_call(const CodeInfo& info) noexcept;

}  // namespace fennik::py
