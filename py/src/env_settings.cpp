#include "env_settings.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "evqueue.hpp"
#include "intern.hpp"
#include "pyref.hpp"
#include "whole_number.hpp"

namespace fennik::py {
namespace {

// The value of variable `name` as `parse` reads its text (null when unset).
// Text it refuses gives `fallback`, after a RuntimeWarning "NAME=TEXT
// <complaint>" the first time (`warned` remembers). Nothing, with the
// exception set, when the warning was turned into an error.
template <class T, class Parse>
std::optional<T> env_setting(const char* name, Parse parse, T fallback, bool& warned,
                             const std::string& complaint) {
  const char* text = std::getenv(name);
  if (std::optional<T> value = parse(text)) return value;
  if (!warned) {
    warned = true;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s=%s %s", name, text, complaint.c_str()) < 0) {
      return std::nullopt;
    }
  }
  return fallback;
}

}  // namespace

std::optional<std::uint32_t> code_capacity() {
  static bool warned = false;
  return env_setting<std::uint32_t>(CODE_CAPACITY_ENV, parse_code_capacity, MAX_CODE_CAPACITY,
                                    warned,
                                    "is not a whole number of code objects; using the maximum, " +
                                        std::to_string(MAX_CODE_CAPACITY));
}

std::optional<std::uint64_t> buffer_budget() {
  static bool warned = false;
  const auto parse = [](const char* text) -> std::optional<std::uint64_t> {
    if (text == nullptr) return DEFAULT_BUFFER_BYTES;
    const std::optional<std::uint64_t> mb = parse_whole_number(text);
    if (!mb) return std::nullopt;
    return std::min(*mb, MAX_BUFFER_MB) << MB_SHIFT;
  };
  return env_setting<std::uint64_t>(BUFFER_MB_ENV, parse, DEFAULT_BUFFER_BYTES, warned,
                                    "is not a whole number of megabytes; using the default, " +
                                        std::to_string(DEFAULT_BUFFER_BYTES >> MB_SHIFT));
}

std::optional<ClockRequest> clock_request() {
  static bool warned = false;
  return env_setting<ClockRequest>(
      CLOCK_ENV, parse_clock_request, ClockRequest::Automatic, warned,
      std::string("is not one of ") + CLOCK_ENV_VALUES + "; choosing the clock automatically");
}

}  // namespace fennik::py
