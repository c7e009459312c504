// Python exceptions for the module's entry points: argument checks and output
// errors, with the messages and attributes every entry point shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io_error.hpp"
#include "pyref.hpp"

namespace fennik::py {

// An OSError of the subclass that matches the error number (FileNotFoundError,
// PermissionError, ...), with errno and filename set (None when `path` is
// empty). Always null.
PyObject* raise_io(const IoError& e, const std::string& path);

// TypeError "FUNC() argument 'PARAM' must be EXPECTED, not TYPE". Always null.
PyObject* type_error(const char* func, const char* param, const char* expected, PyObject* got);

// A str argument; false with a TypeError.
bool str_arg(PyObject* value, const char* func, const char* param);

// A non-negative int that fits 64 bits, or None (out untouched). False with a
// TypeError or OverflowError.
bool optional_u64(const char* func, const char* param, PyObject* value,
                  std::optional<std::uint64_t>& out);

// A moment as an int of nanoseconds, or None (out untouched): one before 0
// is 0 and one past 2**64 - 1 is 2**64 - 1, as a window is clamped to what
// the session holds anyway. False with a TypeError.
bool optional_clamped_ns(const char* func, const char* param, PyObject* value,
                         std::optional<std::uint64_t>& out);

}  // namespace fennik::py
