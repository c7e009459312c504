// The Tracer class: a configuration, and while it runs, one session.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "clock.hpp"
#include "control.hpp"
#include "env_settings.hpp"
#include "exporter_thread.hpp"
#include "pyref.hpp"

namespace fennik::py {

inline constexpr char NOT_RUNNING[] = "the tracer is not running";
inline constexpr char STREAMING_MODE[] =
    "this tracer streams as it goes; pass record_last_mb to keep a flight recorder";
// The most megabytes whose byte count fits 64 bits.
inline constexpr std::uint64_t MAX_RECORD_MB = (std::uint64_t{1} << (64 - MB_SHIFT)) - 1;
inline constexpr char RECORDER_GONE[] = "the recorder is gone";
inline constexpr char DUMP_NOT_FINISHED[] = "the recorder did not finish the dump";

// A running flight recorder, as a request to it sees it under its tracer's
// session lock.
struct RecorderAccess {
  ControlChannel& channel;
  const Clock& clock;
  std::uint64_t session;  // tells one session of the tracer from the next
};

// Runs `action` with `tracer`'s recorder under its session lock, where
// nothing may call into the interpreter. False, with a RuntimeError, when the
// tracer is not running or streams, or when `action` returns a message (null
// is success).
bool with_recorder(PyObject* tracer,
                   const std::function<const char*(const RecorderAccess&)>& action);

// Waits for a dump without the interpreter lock, waking for pending signals:
// the dump's path, or null with an exception.
PyObject* await_dump(DumpReply& reply);

// A new Snapshot of `tracer` that dumps its window under `reason` (a str).
PyObject* new_snapshot(PyObject* tracer, PyObject* reason);

// Builds the Snapshot type once per process; a new reference, or null with an exception.
PyObject* snapshot_type();

// The figures of the session `tracer` (a Tracer) ended last; zero before any.
OutputFigures session_figures(PyObject* tracer);

// Builds the Tracer type once per process; a new reference, or null with an exception.
PyObject* tracer_type();

}  // namespace fennik::py
