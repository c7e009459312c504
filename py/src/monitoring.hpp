// The sys.monitoring tool: six callbacks that turn function events into packed
// events in the calling thread's buffer, and the per-session State they share
// with the output side.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "evqueue.hpp"
#include "intern.hpp"
#include "pyref.hpp"
#include "sink.hpp"
#include "threads.hpp"

namespace fennik {

// One per session: the queue (and its clock), the interner and the thread
// names. It is also what the output side reads names through.
class State : public CodeLookup, public ThreadNames {
 public:
  State(std::shared_ptr<EventQueue> q, std::uint32_t code_capacity)
      : queue(std::move(q)),
        queue_id(queue->queue_id),
        counter_mode(queue->clock.counter_mode()),
        interner(code_capacity) {}

  std::optional<CodeInfo> code(std::uint32_t id) const override { return interner.code(id); }
  std::uint64_t reuse_generation() const override { return interner.reuse_generation(); }
  std::optional<std::string> name(std::uint32_t tid) const override { return threads.name(tid); }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return threads.snapshot();
  }
  void retire(std::uint32_t tid, std::uint64_t serial) override { threads.retire(tid, serial); }

  bool live() const noexcept { return live_.load(std::memory_order_acquire); }
  // After this no callback records into the session, even one that was
  // suspended in the interpreter while the session ended; also how a forked
  // child leaves its parent's sessions alone.
  void end_recording() noexcept { live_.store(false, std::memory_order_release); }

  const std::shared_ptr<EventQueue> queue;
  const std::uint64_t queue_id;
  const bool counter_mode;
  Interner interner;
  ThreadRegistry threads;

 private:
  std::atomic<bool> live_{true};
};

namespace py {

inline constexpr char TOOL_NAME[] = "fennik";
inline constexpr std::size_t CALLBACK_COUNT = 6;
// Naming attempts per thread and session before it records unnamed.
inline constexpr std::uint32_t NAME_TRIES = 64;
inline constexpr std::size_t CODE_CACHE_SLOTS = 256;

inline constexpr char SELF_END_REFUSED[] =
    "the tracer cannot be ended from inside its own monitoring callback";

// The profiler slot claimed for this tool, and once enabled, the callbacks
// registered in it. disable undoes exactly what is there.
struct MonitoringHandle {
  std::array<PyRef, CALLBACK_COUNT> funcs;
  PyRef callbacks;
  std::uint8_t tool = 0;
  bool enabled = false;
};

// Claims the profiler slot under TOOL_NAME without enabling any event, so a
// conflict is found before anything else is touched. Nothing on failure, with
// the exception set, which for a taken slot names its holder.
std::optional<MonitoringHandle> claim_tool();
// Registers the six callbacks and turns their events on. False with the
// interpreter's exception set; then nothing stays registered but the claim.
bool enable(MonitoringHandle& handle, const std::shared_ptr<State>& state);
// Turns events off, unregisters the callbacks and frees the slot, but only
// while the slot still holds this registration; every step is tried. False
// with the first error set.
bool disable(MonitoringHandle& handle);

// The calling thread's operating-system id, low 32 bits.
std::uint32_t current_thread_id() noexcept;

// True while the calling thread is inside a callback's slow side, where the
// session it records into must not be ended.
bool in_callback() noexcept;

}  // namespace py
}  // namespace fennik
