// A heap type of the module, made on first use and kept for the process.
#pragma once

#include <atomic>

#include "pyref.hpp"

namespace fennik::py {

class ProcessType {
 public:
  explicit constexpr ProcessType(PyType_Spec& spec) noexcept : spec_(spec) {}
  ProcessType(const ProcessType&) = delete;
  ProcessType& operator=(const ProcessType&) = delete;

  // The type, a new reference, or null with an exception. Threads that make
  // it at once (making a type may collect garbage, and so run other threads;
  // without the interpreter lock they run anyway) keep the first published.
  PyObject* get() noexcept {
    PyObject* type = type_.load(std::memory_order_acquire);
    if (type == nullptr) {
      PyObject* made = PyType_FromSpec(&spec_);
      if (made == nullptr) return nullptr;
      if (type_.compare_exchange_strong(type, made, std::memory_order_acq_rel)) {
        type = made;
      } else {
        Py_DECREF(made);
      }
    }
    return Py_NewRef(type);
  }

 private:
  PyType_Spec& spec_;
  std::atomic<PyObject*> type_{nullptr};  // never released
};

}  // namespace fennik::py
