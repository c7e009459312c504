#include "cli_messages.hpp"

namespace fennik::py {
namespace {

constexpr char PREFIX[] = "fennik: ";
constexpr char HOOK[] = "showwarning";

// warnings.showwarning(message, category, filename, lineno, file=None, line=None).
PyObject* show_as_line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "showwarning() takes a message");
    return nullptr;
  }
  PyRef text = PyRef::steal(PyObject_Str(args[0]));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (message == nullptr) return nullptr;
  say(message);
  Py_RETURN_NONE;
}

PyMethodDef SHOW_AS_LINE_DEF = {HOOK, as_cfunction(show_as_line), METH_FASTCALL, nullptr};

}  // namespace

PyRef fs_str(const std::string& bytes) {
  return PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

bool write_to(const char* stream, const std::string& text) {
  PyObject* file = PySys_GetObject(stream);  // borrowed
  if (file == nullptr || file == Py_None) return true;
  PyRef s = fs_str(text);
  return s && PyFile_WriteObject(s.get(), file, Py_PRINT_RAW) == 0;
}

void say(const std::string& text) {
  PendingError kept;
  if (!write_to("stderr", PREFIX + text + "\n")) PyErr_Clear();
}

PyObject* say_failed(const std::string& message) {
  say(message);
  return PyLong_FromLong(EXIT_FAILED);
}

// The warnings module calls showwarning when it was replaced; imported here,
// so that a warning goes through it rather than the interpreter's fallback.
WarningsAsLines::WarningsAsLines() {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  PyRef saved = warnings ? PyRef::steal(PyObject_GetAttrString(warnings.get(), HOOK)) : PyRef();
  PyRef hook = saved ? PyRef::steal(PyCFunction_New(&SHOW_AS_LINE_DEF, nullptr)) : PyRef();
  if (!hook || PyObject_SetAttrString(warnings.get(), HOOK, hook.get()) < 0) return;
  warnings_ = std::move(warnings);
  saved_ = std::move(saved);
}

WarningsAsLines::~WarningsAsLines() {
  if (!warnings_) return;
  PendingError kept;
  if (PyObject_SetAttrString(warnings_.get(), HOOK, saved_.get()) < 0) {
    PyErr_WriteUnraisable(warnings_.get());
  }
}

}  // namespace fennik::py
