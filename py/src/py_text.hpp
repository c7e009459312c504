// A Python str's text as UTF-8.
#pragma once

#include <string>

#include "pyref.hpp"

namespace fennik::py {

// The text of `value`, or "" when it is null, not a str, or cannot be
// encoded (the error cleared, never raised).
inline std::string text_of(PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 =
      value != nullptr && PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  std::string out = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size)) : "";
  PyErr_Clear();
  return out;
}

}  // namespace fennik::py
