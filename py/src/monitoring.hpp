// The sys.monitoring tool: six callbacks that turn function events into packed
// events in the calling thread's buffer, and the per-session State they share
// with the output side.
#pragma once

#include <array>
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
  explicit State(std::shared_ptr<EventQueue> q)
      : queue(std::move(q)), queue_id(queue->queue_id), counter_mode(queue->clock.counter_mode()) {}

  std::optional<CodeInfo> code(std::uint32_t id) const override { return interner.code(id); }
  std::optional<std::string> name(std::uint32_t tid) const override { return threads.name(tid); }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return threads.snapshot();
  }

  const std::shared_ptr<EventQueue> queue;
  const std::uint64_t queue_id;
  const bool counter_mode;
  Interner interner;
  ThreadRegistry threads;
};

namespace py {

inline constexpr char TOOL_NAME[] = "fennik";
inline constexpr std::size_t CALLBACK_COUNT = 6;
// Naming attempts per thread and session before it records unnamed.
inline constexpr std::uint32_t NAME_TRIES = 64;
inline constexpr std::size_t CODE_CACHE_SLOTS = 256;

// What enable registered; disable undoes exactly that.
struct MonitoringHandle {
  std::array<PyRef, CALLBACK_COUNT> funcs;
  PyRef callbacks;
  std::uint8_t tool = 0;
};

// Registers the tool in the profiler slot with the six callbacks. Nothing on
// failure, with the interpreter's exception set.
std::optional<MonitoringHandle> enable(const std::shared_ptr<State>& state);
// False with the interpreter's exception set.
bool disable(MonitoringHandle& handle);

// The calling thread's operating-system id, low 32 bits.
std::uint32_t current_thread_id() noexcept;

}  // namespace py
}  // namespace fennik
