#include "selection_args.hpp"

#include "code_filter.hpp"
#include "py_errors.hpp"

namespace fennik::py {
namespace {

constexpr char FUNC[] = "Tracer";

// A str is one pattern; any other iterable gives one per item.
bool patterns_arg(const char* param, PyObject* value, std::vector<std::string>& out) {
  if (value == nullptr || value == Py_None) return true;
  PyRef items = PyUnicode_Check(value) ? PyRef::steal(PyTuple_Pack(1, value))
                                       : PyRef::steal(PySequence_Tuple(value));
  if (!items) {
    PyErr_Clear();
    type_error(FUNC, param, "str or an iterable of str", value);
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      type_error(FUNC, param, "str or an iterable of str", item);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    std::string pattern(text, static_cast<std::size_t>(size));
    if (const std::string problem = pattern_problem(pattern); !problem.empty()) {
      PyErr_Format(PyExc_ValueError, "%s() argument '%s' holds %R: %s", FUNC, param, item,
                   problem.c_str());
      return false;
    }
    out.push_back(std::move(pattern));
  }
  return true;
}

}  // namespace

std::string pattern_problem(const std::string& pattern) {
  if (pattern.empty()) return "an empty pattern matches nothing";
  if (pattern.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
    return "a pattern cannot hold a line break or a NUL character";
  }
  return "";
}

bool parse_selection(PyObject* include, PyObject* exclude, PyObject* only_my_code,
                     PyObject* max_depth, Selection& out) {
  if (!patterns_arg("include", include, out.include) ||
      !patterns_arg("exclude", exclude, out.exclude)) {
    return false;
  }
  if (only_my_code != nullptr) {
    if (!PyBool_Check(only_my_code)) {
      type_error(FUNC, "only_my_code", "bool", only_my_code);
      return false;
    }
    out.only_my_code = only_my_code == Py_True;
  }
  if (max_depth == nullptr || max_depth == Py_None) return true;
  if (!PyLong_Check(max_depth) || PyBool_Check(max_depth)) {
    type_error(FUNC, "max_depth", "int or None", max_depth);
    return false;
  }
  int overflow = 0;
  const long long depth = PyLong_AsLongLongAndOverflow(max_depth, &overflow);
  if (depth == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && depth < 1)) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'max_depth' must be at least 1, not %R", FUNC,
                 max_depth);
    return false;
  }
  // Deeper than any stack can be: as good as no limit, but still counted.
  constexpr long long DEEPEST = NO_DEPTH_LIMIT - 1;
  out.max_depth = static_cast<std::uint32_t>(overflow > 0 || depth > DEEPEST ? DEEPEST : depth);
  return true;
}

namespace {

PyRef str_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(0));
  for (const std::string& t : texts) {
    PyRef item =
        list
            ? PyRef::steal(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())))
            : PyRef();
    if (!item || PyList_Append(list.get(), item.get()) < 0) return PyRef();
  }
  return list;
}

}  // namespace

bool selection_kwargs(const Selection& s, PyObject* kwargs) {
  PyRef include = str_list(s.include);
  PyRef exclude = include ? str_list(s.exclude) : PyRef();
  PyRef depth =
      s.max_depth ? PyRef::steal(PyLong_FromUnsignedLong(*s.max_depth)) : PyRef::borrow(Py_None);
  return exclude && depth && PyDict_SetItemString(kwargs, "include", include.get()) == 0 &&
         PyDict_SetItemString(kwargs, "exclude", exclude.get()) == 0 &&
         PyDict_SetItemString(kwargs, "only_my_code", s.only_my_code ? Py_True : Py_False) == 0 &&
         PyDict_SetItemString(kwargs, "max_depth", depth.get()) == 0;
}

}  // namespace fennik::py
