#include "selection_args.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "code_filter.hpp"
#include "py_errors.hpp"

namespace fennik::py {
namespace {

constexpr char FUNC[] = "Tracer";
constexpr double NS_PER_US = 1000;
// About eleven and a half days: longer than any call worth leaving out.
constexpr std::uint64_t MAX_DURATION_US = 1'000'000'000'000;

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

bool parse_min_duration(PyObject* value, Selection& out) {
  if (value == nullptr || value == Py_None) return true;
  if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
    type_error(FUNC, "min_duration_us", "int, float or None", value);
    return false;
  }
  const double us = PyFloat_AsDouble(value);
  if (us == -1.0 && PyErr_Occurred()) return false;
  if (!(us >= 0 && us <= MAX_DURATION_US)) {
    PyErr_Format(PyExc_ValueError,
                 "%s() argument 'min_duration_us' must be from 0 to %llu microseconds, not %R",
                 FUNC, static_cast<unsigned long long>(MAX_DURATION_US), value);
    return false;
  }
  out.min_duration_ns = static_cast<std::uint64_t>(std::llround(us * NS_PER_US));
  return true;
}

std::variant<std::uint64_t, std::string> parse_duration(std::string_view text) {
  static constexpr std::pair<std::string_view, double> UNITS[] = {
      {"ns", 1}, {"us", NS_PER_US}, {"\u00b5s", NS_PER_US}, {"ms", 1e6}, {"s", 1e9}};
  const std::size_t digits = text.find_first_not_of("0123456789.");
  const std::string_view number = text.substr(0, digits);
  const std::string_view unit = digits == std::string_view::npos ? "" : text.substr(digits);
  const auto found = std::find_if(std::begin(UNITS), std::end(UNITS),
                                  [&](const auto& u) { return u.first == unit; });
  if (found == std::end(UNITS)) return std::string("a duration needs a unit: ns, us, ms or s");
  double amount = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), amount);
  if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
      amount * found->second > MAX_DURATION_US * NS_PER_US) {
    return std::string("a number with a unit, such as 50us");
  }
  return static_cast<std::uint64_t>(std::llround(amount * found->second));
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
  PyRef shortest =
      s.min_duration_ns != 0
          ? PyRef::steal(PyFloat_FromDouble(static_cast<double>(s.min_duration_ns) / NS_PER_US))
          : PyRef::borrow(Py_None);
  return exclude && depth && shortest &&
         PyDict_SetItemString(kwargs, "min_duration_us", shortest.get()) == 0 &&
         PyDict_SetItemString(kwargs, "include", include.get()) == 0 &&
         PyDict_SetItemString(kwargs, "exclude", exclude.get()) == 0 &&
         PyDict_SetItemString(kwargs, "only_my_code", s.only_my_code ? Py_True : Py_False) == 0 &&
         PyDict_SetItemString(kwargs, "max_depth", depth.get()) == 0 &&
         PyDict_SetItemString(kwargs, "c_calls", s.c_calls ? Py_True : Py_False) == 0;
}

}  // namespace fennik::py
