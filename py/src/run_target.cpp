#include "run_target.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "cli_messages.hpp"
#include "py_compat.hpp"

namespace fennik::py {
namespace {

// The statuses python exits with when it cannot open a script, and when it
// cannot run a module (or a directory or archive without __main__).
constexpr int EXIT_NO_SCRIPT = 2;
constexpr int EXIT_UNRUNNABLE = 1;

using Resolved = std::optional<std::variant<Target, Unrunnable>>;

PyRef string_list(const std::string& first, const std::vector<std::string>& rest) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return list;
  PyRef item = fs_str(first);
  if (!item || PyList_Append(list.get(), item.get()) < 0) return PyRef();
  for (const std::string& s : rest) {
    item = fs_str(s);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return PyRef();
  }
  return list;
}

PyRef attr(PyObject* o, const char* name) {
  return PyRef::steal(PyObject_GetAttrString(o, name));
}

// runpy reports what python refuses without a traceback as runpy._Error:
// that becomes the one line; any other exception stays raised.
Resolved refusal(PyObject* runpy) {
  PyRef error_type = attr(runpy, "_Error");
  if (!error_type || !PyErr_ExceptionMatches(error_type.get())) return std::nullopt;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (message == nullptr) return std::nullopt;
  return Unrunnable{EXIT_UNRUNNABLE, message};
}

// A new __main__ module for code from `file`, found by `spec` (None for a
// plain script, as runpy.run_path has it), its globals set as runpy's
// _run_code sets them; the builtins are those of `python SCRIPT`'s __main__.
PyRef main_module(PyObject* file, PyObject* spec) {
  PyRef module = PyRef::steal(PyModule_New("__main__"));
  PyRef builtins = module ? PyRef::steal(PyImport_ImportModule("builtins")) : PyRef();
  if (!builtins) return PyRef();
  const bool found = spec != Py_None;
  PyRef loader = found ? attr(spec, "loader") : PyRef::borrow(Py_None);
  PyRef cached = found ? attr(spec, "cached") : PyRef::borrow(Py_None);
  PyRef package = found ? attr(spec, "parent") : PyRef::steal(PyUnicode_FromString(""));
  if (!loader || !cached || !package) return PyRef();
  PyObject* globals = PyModule_GetDict(module.get());  // borrowed
  const std::pair<const char*, PyObject*> items[] = {{"__file__", file},
                                                     {"__cached__", cached.get()},
                                                     {"__doc__", Py_None},
                                                     {"__loader__", loader.get()},
                                                     {"__package__", package.get()},
                                                     {"__spec__", spec},
                                                     {"__builtins__", builtins.get()}};
  for (const auto& [key, value] : items) {
    if (PyDict_SetItemString(globals, key, value) < 0) return PyRef();
  }
  return module;
}

// The target from a (name, spec, code) triple of runpy's; the module's file
// becomes `argv`[0] unless `argv` is null.
Resolved from_details(PyObject* details, PyObject* argv) {
  if (!PyTuple_Check(details) || PyTuple_GET_SIZE(details) != 3) {
    PyErr_SetString(PyExc_RuntimeError, "runpy gave no module details");
    return std::nullopt;
  }
  PyObject* spec = PyTuple_GET_ITEM(details, 1);
  PyRef origin = attr(spec, "origin");
  if (!origin) return std::nullopt;
  if (argv != nullptr && PyList_SetItem(argv, 0, Py_NewRef(origin.get())) < 0) {
    return std::nullopt;
  }
  PyRef main = main_module(origin.get(), spec);
  if (!main) return std::nullopt;
  return Target{PyRef::borrow(PyTuple_GET_ITEM(details, 2)), std::move(main)};
}

Resolved resolve_module(const RunArgs& a, TargetView& view, PyObject* runpy) {
  const std::string& name = a.module->front();
  PyRef argv = string_list(name, {a.module->begin() + 1, a.module->end()});
  PyRef os_path = argv ? PyRef::steal(PyImport_ImportModule("os.path")) : PyRef();
  PyRef entry =
      os_path ? PyRef::steal(PyObject_CallMethod(os_path.get(), "abspath", "s", "")) : PyRef();
  if (!entry || !view.replace(PyRef::borrow(argv.get()), std::move(entry))) return std::nullopt;
  PyRef error_type = attr(runpy, "_Error");
  PyRef name_str = error_type ? fs_str(name) : PyRef();
  PyRef details = name_str ? PyRef::steal(PyObject_CallMethod(runpy, "_get_module_details", "OO",
                                                              name_str.get(), error_type.get()))
                           : PyRef();
  if (!details) return refusal(runpy);
  // As python -m has it: the module's file is sys.argv[0].
  return from_details(details.get(), argv.get());
}

Resolved resolve_script(const RunArgs& a, TargetView& view, PyObject* runpy) {
  const std::string& script = *a.script;
  struct stat st{};
  if (::stat(script.c_str(), &st) != 0) {
    const int err = errno;
    return Unrunnable{EXIT_NO_SCRIPT, "can't open file '" + script + "': [Errno " +
                                          std::to_string(err) + "] " +
                                          std::generic_category().message(err)};
  }
  PyRef path = fs_str(script);
  PyRef pkgutil = path ? PyRef::steal(PyImport_ImportModule("pkgutil")) : PyRef();
  PyRef os_path = pkgutil ? PyRef::steal(PyImport_ImportModule("os.path")) : PyRef();
  PyRef importer =
      os_path ? PyRef::steal(PyObject_CallMethod(pkgutil.get(), "get_importer", "O", path.get()))
              : PyRef();
  PyRef argv = importer ? string_list(script, a.script_args) : PyRef();
  if (!argv) return std::nullopt;
  if (importer.get() != Py_None) {
    // A directory or an archive: python puts it first on sys.path and runs
    // the __main__ module it finds there.
    PyRef entry = PyRef::steal(PyObject_CallMethod(os_path.get(), "abspath", "O", path.get()));
    if (!entry || !view.replace(std::move(argv), std::move(entry))) return std::nullopt;
    PyRef error_type = attr(runpy, "_Error");
    PyRef details = error_type ? PyRef::steal(PyObject_CallMethod(runpy, "_get_main_module_details",
                                                                  "O", error_type.get()))
                               : PyRef();
    if (!details) return refusal(runpy);
    return from_details(details.get(), nullptr);
  }
  // A file: its directory, symbolic links resolved, comes first on sys.path.
  PyRef real = PyRef::steal(PyObject_CallMethod(os_path.get(), "realpath", "O", path.get()));
  PyRef entry =
      real ? PyRef::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", real.get())) : PyRef();
  if (!entry || !view.replace(std::move(argv), std::move(entry))) return std::nullopt;
  PyRef code = PyRef::steal(script_code(runpy, path.get()));
  PyRef main = code ? main_module(path.get(), Py_None) : PyRef();
  if (!main) return std::nullopt;
  return Target{std::move(code), std::move(main)};
}

}  // namespace

bool TargetView::replace(PyRef argv, PyRef first_entry) {
  argv_ = PyRef::borrow(PySys_GetObject("argv"));
  PyObject* path = PySys_GetObject("path");
  if (path != nullptr && PyList_Check(path)) {
    path_ = PyRef::borrow(path);
    entry_ = PyRef::borrow(first_entry.get());
    if (PyList_GET_SIZE(path) > 0) {
      first_ = PyRef::borrow(PyList_GET_ITEM(path, 0));
      if (PyList_SetItem(path, 0, first_entry.release()) < 0) return false;
    } else if (PyList_Insert(path, 0, first_entry.get()) < 0) {
      return false;
    }
  }
  return PySys_SetObject("argv", argv.get()) == 0;
}

bool TargetView::install_main(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  main_ = PyRef::borrow(PyDict_GetItemString(modules, "__main__"));
  main_replaced_ = PyDict_SetItemString(modules, "__main__", module) == 0;
  return main_replaced_;
}

bool TargetView::restore() {
  FirstError errors;
  if (main_replaced_) {
    // Through sys.modules, as runpy puts its __main__ back.
    main_replaced_ = false;
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyRef key = PyRef::steal(PyUnicode_FromString("__main__"));
    errors.step(modules != nullptr && key &&
                (main_ ? PyObject_SetItem(modules, key.get(), main_.get())
                       : PyObject_DelItem(modules, key.get())) == 0);
  }
  if (argv_) errors.step(PySys_SetObject("argv", std::exchange(argv_, PyRef()).get()) == 0);
  PyObject* path = path_.get();
  if (path != nullptr && PyList_GET_SIZE(path) > 0 && PyList_GET_ITEM(path, 0) == entry_.get()) {
    errors.step(first_ ? PyList_SetItem(path, 0, first_.release()) == 0
                       : PySequence_DelItem(path, 0) == 0);
  }
  path_ = PyRef();
  return errors.finish();
}

std::optional<std::variant<Target, Unrunnable>> resolve_target(const RunArgs& a, TargetView& view) {
  PyRef runpy = PyRef::steal(PyImport_ImportModule("runpy"));
  if (!runpy) return std::nullopt;
  return a.module ? resolve_module(a, view, runpy.get()) : resolve_script(a, view, runpy.get());
}

PyRef run_target(const Target& target) {
  PyObject* globals = PyModule_GetDict(target.main.get());  // borrowed
  return PyRef::steal(PyEval_EvalCode(target.code.get(), globals, globals));
}

}  // namespace fennik::py
