#include "advertisement.hpp"

#include <string>

namespace fennik::py {
namespace {

std::optional<SavedEnv> save_env(PyObject* environ) {
  SavedEnv saved;
  for (std::size_t i = 0; i < std::size(CHILD_VARS); ++i) {
    PyObject* v = nullptr;
    if (PyMapping_GetOptionalItemString(environ, CHILD_VARS[i], &v) < 0) return std::nullopt;
    saved.values[i] = PyRef::steal(v);
  }
  return saved;
}

bool set_env(PyObject* environ, const char* key, const std::string& value) {
  PyRef v = PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  return v && PyMapping_SetItemString(environ, key, v.get()) == 0;
}

bool remove_env(PyObject* environ, const char* key) {
  PyRef r = PyRef::steal(PyObject_CallMethod(environ, "pop", "sO", key, Py_None));
  return static_cast<bool>(r);
}

// Sets `key` to `value`, or removes it when there is none.
bool set_or_remove(PyObject* environ, const char* key, const std::optional<std::string>& value) {
  return value ? set_env(environ, key, *value) : remove_env(environ, key);
}

std::optional<std::string> lines(const std::vector<std::string>& patterns) {
  if (patterns.empty()) return std::nullopt;
  std::string out;
  for (const std::string& p : patterns) out += (out.empty() ? "" : "\n") + p;
  return out;
}

bool advertise_selection(PyObject* environ, const Selection& s) {
  return set_or_remove(environ, ENV_CHILD_INCLUDE, lines(s.include)) &&
         set_or_remove(environ, ENV_CHILD_EXCLUDE, lines(s.exclude)) &&
         set_or_remove(environ, ENV_CHILD_ONLY_MY_CODE,
                       s.only_my_code ? std::optional<std::string>("1") : std::nullopt) &&
         set_or_remove(environ, ENV_CHILD_MAX_DEPTH,
                       s.max_depth ? std::optional(std::to_string(*s.max_depth)) : std::nullopt) &&
         set_or_remove(environ, ENV_CHILD_MIN_DURATION_NS,
                       s.min_duration_ns != 0 ? std::optional(std::to_string(s.min_duration_ns))
                                              : std::nullopt) &&
         set_or_remove(environ, ENV_CHILD_C_CALLS,
                       s.c_calls ? std::optional<std::string>("1") : std::nullopt);
}

}  // namespace

PyRef os_environ() {
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  return os ? PyRef::steal(PyObject_GetAttrString(os.get(), "environ")) : PyRef();
}

void restore_env(PyObject* environ, const SavedEnv& saved) {
  for (std::size_t i = 0; i < std::size(CHILD_VARS); ++i) {
    PyRef r = saved.values[i]
                  ? PyRef::steal(PyObject_CallMethod(environ, "__setitem__", "sO", CHILD_VARS[i],
                                                     saved.values[i].get()))
                  : PyRef::steal(PyObject_CallMethod(environ, "pop", "sO", CHILD_VARS[i], Py_None));
    if (!r) PyErr_Clear();
  }
}

bool stop_advertising() {
  PyRef environ = os_environ();
  if (!environ) return false;
  bool ok = true;
  for (const char* key : CHILD_VARS) ok = remove_env(environ.get(), key) && ok;
  return ok;
}

std::optional<SavedEnv> advertise(const TracerConfig& c, std::uint64_t origin_ns) {
  PyRef environ = os_environ();
  if (!environ) return std::nullopt;
  std::optional<SavedEnv> saved = save_env(environ.get());
  if (!saved) return std::nullopt;
  bool ok;
  if (!c.trace_subprocesses) {
    ok = stop_advertising();
  } else {
    ok = set_env(environ.get(), ENV_CHILD_OUTPUT, c.output) &&
         set_env(environ.get(), ENV_CHILD_FORMAT, c.format.name()) &&
         set_env(environ.get(), ENV_CHILD_ORIGIN_NS, std::to_string(origin_ns)) &&
         (c.record_last_mb
              ? set_env(environ.get(), ENV_CHILD_RECORD_MB, std::to_string(*c.record_last_mb))
              : remove_env(environ.get(), ENV_CHILD_RECORD_MB)) &&
         advertise_selection(environ.get(), c.selection);
  }
  if (ok) return saved;
  PendingError pending;
  restore_env(environ.get(), *saved);
  return std::nullopt;
}

}  // namespace fennik::py
