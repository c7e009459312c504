#include "my_code.hpp"

#include <algorithm>

#include "code_filter.hpp"
#include "pyref.hpp"

namespace fennik::py {
namespace {

constexpr const char* SYSCONFIG_PATHS[] = {"stdlib", "platstdlib", "purelib", "platlib"};

// Adds `path` (a str) and, when it differs, its resolved form: a file's name
// may reach the interpreter through either.
bool add_directory(PyObject* os_path, PyObject* path, std::vector<std::string>& out) {
  if (!PyUnicode_Check(path)) return true;
  PyRef real = PyRef::steal(PyObject_CallMethod(os_path, "realpath", "O", path));
  if (!real) return false;
  for (PyObject* p : {path, real.get()}) {
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(p));
    if (!bytes) return false;
    std::string pattern = beneath(std::string_view(
        PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
    if (std::find(out.begin(), out.end(), pattern) == out.end()) out.push_back(std::move(pattern));
  }
  return true;
}

// Calls site.NAME() when site has it, and adds the directories it names.
bool add_site(PyObject* site, const char* name, PyObject* os_path, std::vector<std::string>& out) {
  PyObject* function = nullptr;
  if (PyObject_GetOptionalAttrString(site, name, &function) < 0) return false;
  if (function == nullptr) return true;
  PyRef held = PyRef::steal(function);
  PyRef result = PyRef::steal(PyObject_CallNoArgs(function));
  if (!result) return false;
  if (PyUnicode_Check(result.get())) return add_directory(os_path, result.get(), out);
  PyRef seq = PyRef::steal(PySequence_Fast(result.get(), "site gave no list of directories"));
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    if (!add_directory(os_path, PySequence_Fast_GET_ITEM(seq.get(), i), out)) return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> library_patterns() {
  PyRef sysconfig = PyRef::steal(PyImport_ImportModule("sysconfig"));
  PyRef site = sysconfig ? PyRef::steal(PyImport_ImportModule("site")) : PyRef();
  PyRef os_path = site ? PyRef::steal(PyImport_ImportModule("os.path")) : PyRef();
  PyRef paths =
      os_path ? PyRef::steal(PyObject_CallMethod(sysconfig.get(), "get_paths", nullptr)) : PyRef();
  if (!paths) return std::nullopt;
  std::vector<std::string> out{FROZEN_PATTERN};
  for (const char* key : SYSCONFIG_PATHS) {
    PyObject* path = nullptr;
    if (PyMapping_GetOptionalItemString(paths.get(), key, &path) < 0) return std::nullopt;
    PyRef held = PyRef::steal(path);
    if (path != nullptr && !add_directory(os_path.get(), path, out)) return std::nullopt;
  }
  if (!add_site(site.get(), "getsitepackages", os_path.get(), out) ||
      !add_site(site.get(), "getusersitepackages", os_path.get(), out)) {
    return std::nullopt;
  }
  return out;
}

}  // namespace fennik::py
