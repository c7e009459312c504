// Annotations from the program (fennik.instant, fennik.counter and the
// spans), recorded into the session that monitoring records for, through
// the calling thread's buffer like function events.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "pyref.hpp"
#include "session_hub.hpp"

namespace fennik::py {

// Annotations record into `state`'s session from now on: called once
// monitoring records for it (a start, a resume). Runs Python code.
void annotations_on(const std::shared_ptr<SessionHub>& state);
// Annotations record nowhere (an end, a pause).
void annotations_off();

// The session annotations record into, or null. Read and changed with the
// interpreter lock held.
SessionHub* annotating() noexcept;
// Moves each time annotating() may change: a value read before running
// Python code still holds after it only if this did not move.
std::uint64_t annotating_serial() noexcept;

// The site of (`name`, the argument names `keys`, a tuple or null) in `hub`'s
// session, from a small process-wide cache; nothing when the session has
// no room for another site (the annotation is counted as dropped).
std::optional<std::uint32_t> site_for(SessionHub& hub, PyObject* name, PyObject* keys);
// The same from the texts, for sites of fennik's own.
std::optional<std::uint32_t> site_for(SessionHub& hub, SiteInfo info);

// Records an annotation of `kind` at `site` with `count` argument values
// (strings, ints, floats, bools and None as they are, anything else by its
// repr; texts cut to MAX_ARG_CHARS). Never raises: what cannot be read is
// recorded as a text saying so.
void record_annotation(SessionHub& hub, std::uint8_t kind, std::uint32_t site,
                       PyObject* const* values, std::size_t count);

// fennik.instant(name, /, **args) and fennik.counter(name, value, /).
PyObject* instant(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* counter(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// The name argument of every annotation: a str, or false with a TypeError.
bool check_name(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t want, const char* function);

}  // namespace fennik::py
