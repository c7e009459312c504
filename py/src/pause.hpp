// Tracer.pause() and Tracer.resume(): recording stops and starts again
// within one session. While paused the profiler slot is given back, as
// around a fork, so the program runs at full speed; the output marks the
// pause (pause_marks.hpp) and ends there the frames open when it began.
#pragma once

#include "pyref.hpp"

namespace fennik::py {

PyObject* tracer_pause(PyObject* self, PyObject* unused);
PyObject* tracer_resume(PyObject* self, PyObject* unused);

}  // namespace fennik::py
