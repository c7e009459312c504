// The advertisement to child processes: the FENNIK_CHILD_* variables of
// os.environ that tell a child interpreter to trace itself into the same
// output, saved before a session sets them and restored or removed after.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "pyref.hpp"
#include "tracer_config.hpp"

namespace fennik::py {

inline constexpr char ENV_CHILD_OUTPUT[] = "FENNIK_CHILD_OUTPUT";
inline constexpr char ENV_CHILD_FORMAT[] = "FENNIK_CHILD_FORMAT";
inline constexpr char ENV_CHILD_RECORD_MB[] = "FENNIK_CHILD_RECORD_MB";
// When the first traced process's session began, in monotonic-clock
// nanoseconds: every child's events are timed from then, so that all the
// processes writing one output share one timeline.
inline constexpr char ENV_CHILD_ORIGIN_NS[] = "FENNIK_CHILD_ORIGIN_NS";

// What the child records: the patterns one a line, "1" for only my code, the
// depth limit; each unset when not asked for.
inline constexpr char ENV_CHILD_INCLUDE[] = "FENNIK_CHILD_INCLUDE";
inline constexpr char ENV_CHILD_EXCLUDE[] = "FENNIK_CHILD_EXCLUDE";
inline constexpr char ENV_CHILD_ONLY_MY_CODE[] = "FENNIK_CHILD_ONLY_MY_CODE";
inline constexpr char ENV_CHILD_MAX_DEPTH[] = "FENNIK_CHILD_MAX_DEPTH";
// Calls shorter than this many nanoseconds are left out of the child's output.
inline constexpr char ENV_CHILD_MIN_DURATION_NS[] = "FENNIK_CHILD_MIN_DURATION_NS";
// "1" when the child records C calls too.
inline constexpr char ENV_CHILD_C_CALLS[] = "FENNIK_CHILD_C_CALLS";

inline constexpr const char* CHILD_VARS[] = {
    ENV_CHILD_OUTPUT,          ENV_CHILD_FORMAT,  ENV_CHILD_RECORD_MB,    ENV_CHILD_ORIGIN_NS,
    ENV_CHILD_INCLUDE,         ENV_CHILD_EXCLUDE, ENV_CHILD_ONLY_MY_CODE, ENV_CHILD_MAX_DEPTH,
    ENV_CHILD_MIN_DURATION_NS, ENV_CHILD_C_CALLS};

// The child-process variables as they were before a session changed them, so
// a failed start puts them back.
struct SavedEnv {
  std::array<PyRef, std::size(CHILD_VARS)> values;  // null where unset
};

PyRef os_environ();

// Best effort: errors are cleared.
void restore_env(PyObject* environ, const SavedEnv& saved);

// Removes every child-process variable; false with an exception.
bool stop_advertising();

// Sets the child-process variables (or removes them when `c` does not trace
// subprocesses). Nothing on failure, with the variables as they were.
std::optional<SavedEnv> advertise(const TracerConfig& c, std::uint64_t origin_ns);

}  // namespace fennik::py
