#include "recorder_requests.hpp"

#include <mutex>

#include "py_errors.hpp"
#include "tracer_slot.hpp"

namespace fennik::py {
namespace {

// A requester waiting for a dump looks at pending signals this often, so
// that Ctrl-C interrupts the wait.
constexpr std::chrono::milliseconds DUMP_WAIT_SLICE{50};

// Under the session lock: the not-running and streaming-mode checks shared by
// every request to the recorder. Null when the session has a recorder, else
// the message of the RuntimeError to raise once the lock is released.
const char* refuse_recorder(const TracerData& d) noexcept {
  if (!d.running) return NOT_RUNNING;
  if (!d.running->channel) return STREAMING_MODE;
  return nullptr;
}

}  // namespace

bool with_recorder(PyObject* tracer,
                   const std::function<const char*(const RecorderAccess&)>& action) {
  const char* refused;
  {
    TracerData& d = data_of(tracer);
    std::lock_guard<std::mutex> g(d.session_lock);
    refused = refuse_recorder(d);
    if (refused == nullptr) {
      refused = action(
          RecorderAccess{*d.running->channel, d.running->queue->clock, d.running->queue->queue_id});
    }
  }
  if (refused == nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, refused);
  return false;
}

PyObject* await_dump(DumpReply& reply) {
  for (;;) {
    bool settled;
    {
      WithoutGil nogil;
      settled = reply.wait_for(DUMP_WAIT_SLICE);
    }
    if (settled) break;
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  switch (reply.outcome()) {
    case DumpReply::Outcome::Written:
      return PyUnicode_DecodeFSDefaultAndSize(reply.path().data(),
                                              static_cast<Py_ssize_t>(reply.path().size()));
    case DumpReply::Outcome::Failed: {
      // The OSError that stopped the dump is its cause.
      raise_io(*reply.error(), reply.path());
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_SetString(PyExc_RuntimeError, DUMP_NOT_FINISHED);
      if (cause == nullptr) return nullptr;
      PyObject* exc = PyErr_GetRaisedException();
      PyException_SetCause(exc, cause);
      PyErr_SetRaisedException(exc);
      return nullptr;
    }
    case DumpReply::Outcome::Pending:
    case DumpReply::Outcome::Gone:
      break;
  }
  PyErr_SetString(PyExc_RuntimeError, RECORDER_GONE);
  return nullptr;
}

}  // namespace fennik::py
