#include "dump_signal.hpp"

#include <string>

#include "control_files.hpp"
#include "installed.hpp"
#include "py_errors.hpp"
#include "recorder_requests.hpp"
#include "signal_names.hpp"
#include "signals.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {
namespace {

constexpr char SIGNAL_REASON_PREFIX[] = "signal-";

// The running flight recorder that takes `signum` for its dumps, or null.
PyRef recorder_for(int signum) {
  PyRef tracer = active_tracer();
  if (!tracer) return tracer;
  const TracerConfig& config = data_of(tracer.get()).config;
  if (!config.record_last_mb || config.dump_signal != signum) return {};
  return tracer;
}

PyObject* handle(PyObject* args, PyObject* kwargs) {
  SignalCall call;
  if (!read_signal_call("_handle_dump_signal", args, kwargs, call)) return nullptr;
  // The program's own handler decides.
  if (call.program_handles()) return call.to_program();
  const int signum = call.signum;
  if (PyRef tracer = recorder_for(signum)) {
    const std::string reason = take_reason().value_or(SIGNAL_REASON_PREFIX + signal_name(signum));
    // Not waited for: the program goes on while the recorder writes.
    const bool sent = with_recorder(tracer.get(), [&](const RecorderAccess& r) -> const char* {
      return r.channel.send(Dump{ReplyTo(), reason, r.clock.now_ticks()}) ? nullptr : RECORDER_GONE;
    });
    if (!sent) PyErr_Clear();  // the session ended meanwhile
    Py_RETURN_NONE;
  }
  // A request that arrived as the session ended, while ours is still installed.
  if (call.previous) Py_RETURN_NONE;
  // A copy of our handler that outlived its session acts as the default
  // disposition, as the deadly signals' does.
  return pass_on_signal(call.signum_arg, nullptr);
}

}  // namespace

PyObject* handle_dump_signal(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return handle(args, kwargs); });
}

}  // namespace fennik::py
