#include "py_errors.hpp"

namespace fennik::py {

PyObject* raise_io(const IoError& e, const std::string& path) {
  const std::string text = e.text();
  if (e.kind != IoErrorKind::Os) {
    PyErr_SetString(PyExc_OSError, text.c_str());
    return nullptr;
  }
  PyRef filename = path.empty() ? PyRef::borrow(Py_None)
                                : PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                                      path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!filename) return nullptr;
  PyRef exc = PyRef::steal(
      PyObject_CallFunction(PyExc_OSError, "isO", e.os_code, text.c_str(), filename.get()));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* type_error(const char* func, const char* param, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, param, expected,
               Py_TYPE(got)->tp_name);
  return nullptr;
}

bool str_arg(PyObject* value, const char* func, const char* param) {
  if (PyUnicode_Check(value)) return true;
  type_error(func, param, "str", value);
  return false;
}

bool optional_u64(const char* func, const char* param, PyObject* value,
                  std::optional<std::uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value)) {
    type_error(func, param, "int or None", value);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' must be a non-negative integer below 2**64", func, param);
    return false;
  }
  out = v;
  return true;
}

bool optional_clamped_ns(const char* func, const char* param, PyObject* value,
                         std::optional<std::uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value)) {
    type_error(func, param, "int or None", value);
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  // On overflow `v` is -1, so the sign is read from `overflow` first.
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    out = 0;
  } else if (overflow == 0) {
    out = static_cast<std::uint64_t>(v);
  } else {
    const unsigned long long u = PyLong_AsUnsignedLongLong(value);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) PyErr_Clear();
    out = u;  // all ones when it does not fit
  }
  return true;
}

}  // namespace fennik::py
