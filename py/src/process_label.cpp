#include "process_label.hpp"

#include <Python.h>

#include <utility>

#include "py_text.hpp"
#include "pyref.hpp"

namespace fennik::py {
namespace {

// What multiprocessing calls the process it was imported in.
constexpr char MAIN_PROCESS_NAME[] = "MainProcess";

std::string& run_command_line() {
  static std::string text;
  return text;
}

}  // namespace

void set_run_command_line(std::string text) {
  run_command_line() = std::move(text);
}

std::string command_line() {
  if (!run_command_line().empty()) return run_command_line();
  PyObject* argv = PySys_GetObject("orig_argv");  // borrowed
  std::string out;
  if (argv == nullptr || !PyList_Check(argv)) return out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(argv); ++i) {
    std::string arg = text_of(PyList_GET_ITEM(argv, i));
    if (i == 0) arg = arg.substr(arg.rfind('/') + 1);
    out += (i == 0 ? "" : " ") + arg;
  }
  return out;
}

std::string multiprocessing_name() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(modules, "multiprocessing.process", &found) <= 0) {
    PyErr_Clear();
    return "";
  }
  PyRef module = PyRef::steal(found);
  PyRef current, name;
  if (PyObject_GetOptionalAttrString(module.get(), "_current_process", &found) > 0) {
    current = PyRef::steal(found);
    // The instance's own attribute: no property or Python code in between.
    PyRef dict = PyRef::steal(PyObject_GenericGetDict(current.get(), nullptr));
    if (dict && PyDict_Check(dict.get()) &&
        PyDict_GetItemStringRef(dict.get(), "_name", &found) > 0) {
      name = PyRef::steal(found);
    }
  }
  PyErr_Clear();
  std::string out = text_of(name.get());
  return out == MAIN_PROCESS_NAME ? "" : out;
}

}  // namespace fennik::py
