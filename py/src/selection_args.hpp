// The Tracer's arguments that choose what a session records (include,
// exclude, only_my_code, max_depth), checked before anything is touched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "pyref.hpp"
#include "tracer_config.hpp"

namespace fennik::py {

// Why a pattern cannot be used, or empty when it can.
std::string pattern_problem(const std::string& pattern);

// Fills `out` from the arguments (any may be null: not given). False with a
// TypeError or ValueError naming the argument and the value.
bool parse_selection(PyObject* include, PyObject* exclude, PyObject* only_my_code,
                     PyObject* max_depth, Selection& out);

// Fills out.min_duration_ns from min_duration_us (null or None: none); false
// with a TypeError or ValueError naming the argument and the value.
bool parse_min_duration(PyObject* min_duration_us, Selection& out);

// Nanoseconds from a number with a unit ("50us", "1.5ms"; ns, us, µs, ms
// or s), or why not.
std::variant<std::uint64_t, std::string> parse_duration(std::string_view text);

// Adds the Tracer arguments that give `s` to `kwargs`; false with an exception.
bool selection_kwargs(const Selection& s, PyObject* kwargs);

}  // namespace fennik::py
