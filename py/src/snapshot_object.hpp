// fennik._core.Snapshot: a window of the flight recorder's time, opened on
// entry and dumped on exit. Made only by Tracer.snapshot.
#pragma once

#include "pyref.hpp"

namespace fennik::py {

// A new Snapshot of `tracer` that dumps its window under `reason` (a str).
PyObject* new_snapshot(PyObject* tracer, PyObject* reason);

// Builds the Snapshot type once per process; a new reference, or null with an exception.
PyObject* snapshot_type();

}  // namespace fennik::py
