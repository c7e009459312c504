#include "recording_window.hpp"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "monitoring.hpp"

namespace fennik::py {

using Clock = std::chrono::steady_clock;

// How long the timer waits before it asks again when the interpreter's
// queue of pending calls is full.
constexpr std::chrono::milliseconds PENDING_RETRY{10};

struct WindowState {
  std::mutex lock;
  std::condition_variable wake;
  // Guarded by `lock`.
  bool closed = false;
  bool start_done = false;  // the start was tried
  bool started = false;
  Clock::time_point started_at;
  // Touched only with the interpreter lock held.
  PyRef tracer, end, start_error;
  pid_t pid = ::getpid();
};

namespace {

enum class Step { Start, Stop };

struct Posted {
  std::shared_ptr<WindowState> state;
  Step step;
};

// Runs on the main thread with the interpreter lock, between two steps of
// whatever Python code runs there: nothing may reach that code, so every
// failure is kept or reported here and 0 is returned.
int take_step(void* arg) {
  std::unique_ptr<Posted> posted(static_cast<Posted*>(arg));
  WindowState& s = *posted->state;
  if (::getpid() != s.pid) return 0;  // a forked child's copy of the queue
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.closed) return 0;
  }
  // Inside a callback's slow side the session cannot be ended: the next
  // step of the main thread's Python comes soon after.
  if (in_callback_slow_side() && Py_AddPendingCall(take_step, posted.get()) == 0) {
    static_cast<void>(posted.release());
    return 0;
  }
  PendingError kept;
  if (posted->step == Step::Start) {
    PyRef entered = PyRef::steal(PyObject_CallMethod(s.tracer.get(), "__enter__", nullptr));
    if (!entered) s.start_error = PyRef::steal(PyErr_GetRaisedException());
    std::lock_guard<std::mutex> g(s.lock);
    s.start_done = true;
    s.started = static_cast<bool>(entered);
    s.started_at = Clock::now();
    s.wake.notify_all();
  } else if (!PyRef::steal(PyObject_CallNoArgs(s.end.get()))) {
    PyErr_WriteUnraisable(s.end.get());
  }
  return 0;
}

// Queues `step` for the main thread; false once the window is closed.
bool post(const std::shared_ptr<WindowState>& s, Step step, std::unique_lock<std::mutex>& g) {
  for (;;) {
    auto posted = std::make_unique<Posted>(Posted{s, step});
    g.unlock();
    const int queued = Py_AddPendingCall(take_step, posted.get());
    g.lock();
    if (queued == 0) {
      static_cast<void>(posted.release());  // take_step's now
      return true;
    }
    if (s->wake.wait_for(g, PENDING_RETRY, [&] { return s->closed; })) return false;
  }
}

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void run_timer(std::shared_ptr<WindowState> s, std::optional<double> delay_s,
               std::optional<double> duration_s) {
  std::unique_lock<std::mutex> g(s->lock);
  auto closed = [&] { return s->closed; };
  if (delay_s) {
    if (s->wake.wait_for(g, seconds(*delay_s), closed) || !post(s, Step::Start, g)) return;
    s->wake.wait(g, [&] { return s->closed || s->start_done; });
    if (s->closed || !s->started) return;
  }
  if (!duration_s) return;
  if (s->wake.wait_until(g, s->started_at + seconds(*duration_s), closed)) return;
  post(s, Step::Stop, g);
}

}  // namespace

RecordingWindow::RecordingWindow(std::shared_ptr<WindowState> state) : state_(std::move(state)) {}

std::unique_ptr<RecordingWindow> RecordingWindow::open(PyObject* tracer, PyObject* end,
                                                       std::optional<double> delay_s,
                                                       std::optional<double> duration_s) {
  auto state = std::make_shared<WindowState>();
  state->tracer = PyRef::borrow(tracer);
  state->end = PyRef::borrow(end);
  if (!delay_s) {
    state->start_done = state->started = true;
    state->started_at = Clock::now();
  }
  auto window = std::make_unique<RecordingWindow>(state);
  try {
    window->timer_ = std::make_unique<std::thread>(run_timer, state, delay_s, duration_s);
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "the recording window's timer could not start: %s", e.what());
    return nullptr;
  }
  return window;
}

RecordingWindow::Closed RecordingWindow::close() {
  {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->closed = true;
    state_->wake.notify_all();
  }
  if (timer_ && ::getpid() != state_->pid) {
    static_cast<void>(timer_.release());
  } else if (timer_) {
    WithoutGil nogil;
    timer_->join();
    timer_.reset();
  }
  std::lock_guard<std::mutex> g(state_->lock);
  return Closed{state_->started, std::move(state_->start_error)};
}

RecordingWindow::~RecordingWindow() {
  if (timer_) static_cast<void>(close());
}

}  // namespace fennik::py
