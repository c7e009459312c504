// The Tracer class: a configuration, and while it runs, one session.
#pragma once

#include <cstdint>

#include "env_settings.hpp"
#include "exporter_thread.hpp"
#include "pyref.hpp"

namespace fennik::py {

// The most megabytes whose byte count fits 64 bits.
inline constexpr std::uint64_t MAX_RECORD_MB = (std::uint64_t{1} << (64 - MB_SHIFT)) - 1;

// The figures of the session `tracer` (a Tracer) ended last; zero before any.
OutputFigures session_figures(PyObject* tracer);

// Builds the Tracer type once per process; a new reference, or null with an exception.
PyObject* tracer_type();

}  // namespace fennik::py
