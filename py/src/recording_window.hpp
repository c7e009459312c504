// `fennik run --delay S --duration S`: the tracer is entered a while after
// the target starts and ended a while after that. Both happen on the main
// thread at its next Python step (a pending call), so that entering and
// ending take over and put back the signal handlers as they always do; a
// timer thread that never touches the interpreter says when.
#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "pyref.hpp"

namespace fennik::py {

struct WindowState;

class RecordingWindow {
 public:
  // Starts the timer. Without `delay_s` the tracer was entered already and
  // only its end is timed; `end` ends the session once (a callable of no
  // arguments that keeps its own errors). Null with an exception when the
  // thread could not start.
  static std::unique_ptr<RecordingWindow> open(PyObject* tracer, PyObject* end,
                                               std::optional<double> delay_s,
                                               std::optional<double> duration_s);
  ~RecordingWindow();
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  // Stops the timer: what it had not done is not done. Whether the tracer
  // was entered, and the error that kept it from being entered (moved out).
  struct Closed {
    bool started = false;
    PyRef start_error;
  };
  Closed close();

  explicit RecordingWindow(std::shared_ptr<WindowState> state);

 private:
  std::shared_ptr<WindowState> state_;
  // Released rather than joined in a forked child, where its thread does
  // not exist.
  std::unique_ptr<std::thread> timer_;
};

}  // namespace fennik::py
