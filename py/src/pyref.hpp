// Small RAII helpers for the Python C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace fennik::py {

// A function of another calling convention, as a method table wants it.
template <class F>
PyCFunction as_cfunction(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The arguments of a context manager's __exit__ taken with the fast calling
// convention: exactly three, the first a type or None. False with a TypeError.
inline bool exit_arguments(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "__exit__() takes exactly 3 arguments (%zd given)", nargs);
    return false;
  }
  if (args[0] != Py_None && !PyType_Check(args[0])) {
    PyErr_Format(PyExc_TypeError,
                 "__exit__() argument 'exc_type' must be a type or None, not %.200s",
                 Py_TYPE(args[0])->tp_name);
    return false;
  }
  return true;
}

// Runs `body`, turning C++ failures into Python exceptions: nothing may
// unwind into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
  }
  return nullptr;
}

// An owned (strong) reference.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// Keeps the first error of several steps that are all tried.
class FirstError {
 public:
  FirstError() = default;
  FirstError(const FirstError&) = delete;
  FirstError& operator=(const FirstError&) = delete;
  ~FirstError() { Py_XDECREF(exc_); }

  // A failed step's error is kept if it is the first, else dropped.
  void step(bool ok) {
    if (ok) return;
    PyObject* e = PyErr_GetRaisedException();
    if (exc_ == nullptr) {
      exc_ = e;
    } else {
      Py_XDECREF(e);
    }
  }
  // Restores the first error; true when there was none.
  bool finish() {
    if (exc_ == nullptr) return true;
    PyErr_SetRaisedException(std::exchange(exc_, nullptr));
    return false;
  }

 private:
  PyObject* exc_ = nullptr;
};

// Sets the pending error aside while clean-up code runs, and puts it back
// afterwards in place of anything the clean-up raised.
class PendingError {
 public:
  PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~PendingError() {
    PyErr_Clear();
    PyErr_SetRaisedException(exc_);
  }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

 private:
  PyObject* exc_;
};

// Releases the interpreter lock for a blocking wait.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace fennik::py
