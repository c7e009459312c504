// The Tracer class: a configuration, and while it runs, one session.
#pragma once

#include <optional>

#include "clock.hpp"
#include "pyref.hpp"

namespace fennik::py {

inline constexpr char EXPORTER_THREAD_NAME[] = "fennik-exporter";
inline constexpr char NOT_RUNNING[] = "the tracer is not running";
inline constexpr char STREAMING_MODE[] =
    "this tracer streams as it goes; pass record_last_mb to keep a flight recorder";

// The clock a session started now asks for, from FENNIK_CLOCK; an unknown
// value warns once and chooses automatically. nullopt with an exception when
// the warning is turned into one.
std::optional<ClockRequest> clock_request();

// Builds the Tracer type once per process; a new reference, or null with an exception.
PyObject* tracer_type();

}  // namespace fennik::py
