// Requests to a running flight recorder, shared by Tracer.dump,
// Tracer.snapshot and Snapshot: the checks made under the tracer's session
// lock, the message sent, and the wait for the dump's reply without the
// interpreter lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "clock.hpp"
#include "control.hpp"
#include "pyref.hpp"

namespace fennik::py {

inline constexpr char NOT_RUNNING[] = "the tracer is not running";
inline constexpr char STREAMING_MODE[] =
    "this tracer streams as it goes; pass record_last_mb to keep a flight recorder";
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

// Sends a dump request made by `make(clock, reply)` to `tracer`'s recorder and
// waits for its path, or null with an exception.
template <class Make>
PyObject* request_dump(PyObject* tracer, Make&& make) {
  auto reply = std::make_shared<DumpReply>();
  const bool sent = with_recorder(tracer, [&](const RecorderAccess& recorder) -> const char* {
    return recorder.channel.send(make(recorder.clock, ReplyTo(reply))) ? nullptr : RECORDER_GONE;
  });
  return sent ? await_dump(*reply) : nullptr;
}

}  // namespace fennik::py
