#include "interpreter_reads.hpp"

#include <cstdint>

#include "pyref.hpp"

namespace fennik::py {
namespace {

// "utf-8" text of a code attribute, or `fallback`. Errors are cleared, never raised.
std::string text_attr(PyObject* code, const char* attr, const char* fallback) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(code, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return fallback;
  }
  // Lone surrogates (undecodable file names) survive as escapes instead of
  // failing the whole name.
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::uint32_t line_attr(PyObject* code) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(code, "co_firstlineno"));
  if (!value) {
    PyErr_Clear();
    return 0;
  }
  const unsigned long line = PyLong_AsUnsignedLong(value.get());
  if (PyErr_Occurred() || line > UINT32_MAX) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::uint32_t>(line);
}

}  // namespace

CodeInfo read_code_info(PyObject* code) {
  return CodeInfo{text_attr(code, "co_qualname", "<unknown>"), text_attr(code, "co_filename", ""),
                  line_attr(code)};
}

namespace {

std::string global_text(PyObject* globals, const char* key) {
  PyObject* value = nullptr;
  std::string out;
  if (PyDict_GetItemStringRef(globals, key, &value) > 0) {
    PyRef held = PyRef::steal(value);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (utf8 != nullptr) out.assign(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return out;
}

}  // namespace

ModuleOf module_of(PyObject* code, bool origin) {
  ModuleOf out;
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  PyRef running = PyRef::steal(
      frame != nullptr ? reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)) : nullptr);
  if (running.get() == code && code != nullptr) {
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    if (globals && PyDict_Check(globals.get())) {
      out.name = global_text(globals.get(), "__name__");
      if (origin) out.file = global_text(globals.get(), "__file__");
    }
    PyRef back = PyRef::steal(
        origin && out.file.empty() ? reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)) : nullptr);
    PyRef caller = PyRef::steal(back ? reinterpret_cast<PyObject*>(PyFrame_GetCode(
                                           reinterpret_cast<PyFrameObject*>(back.get())))
                                     : nullptr);
    if (caller) out.file = text_attr(caller.get(), "co_filename", "");
  }
  PyErr_Clear();
  return out;
}

std::optional<std::string> current_thread_name() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyRef threading, active, key, thread, dict, name;
  PyObject* out = nullptr;
  // Not imported yet: the thread is unnamed for now and asks again later.
  if (PyDict_GetItemStringRef(modules, "threading", &out) <= 0) goto none;
  threading = PyRef::steal(out);
  if (PyObject_GetOptionalAttrString(threading.get(), "_active", &out) <= 0) goto none;
  active = PyRef::steal(out);
  if (!PyDict_Check(active.get())) goto none;
  key = PyRef::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
  if (!key || PyDict_GetItemRef(active.get(), key.get(), &out) <= 0) goto none;
  thread = PyRef::steal(out);
  dict = PyRef::steal(PyObject_GenericGetDict(thread.get(), nullptr));
  if (!dict || !PyDict_Check(dict.get()) ||
      PyDict_GetItemStringRef(dict.get(), "_name", &out) <= 0) {
    goto none;
  }
  name = PyRef::steal(out);
  if (PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  }
none:
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace fennik::py
