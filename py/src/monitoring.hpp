// The sys.monitoring tool: six callbacks (nine with C calls) that turn function events into packed
// events in the calling thread's buffer, through the session's hub.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "session_hub.hpp"

namespace fennik::py {

inline constexpr char TOOL_NAME[] = "fennik";
// The function events' callbacks, then those of C calls (CALL, C_RETURN,
// C_RAISE), registered only when the session asks for them.
inline constexpr std::size_t PY_CALLBACK_COUNT = 6;
inline constexpr std::size_t CALLBACK_COUNT = PY_CALLBACK_COUNT + 3;
// Naming attempts per thread and session before it records unnamed.
inline constexpr std::uint32_t NAME_TRIES = 64;

inline constexpr char SELF_END_REFUSED[] =
    "the tracer cannot be ended from inside its own monitoring callback";

// The profiler slot claimed for this tool, and once enabled, the callbacks
// registered in it. disable undoes exactly what is there.
struct MonitoringHandle {
  std::array<PyRef, CALLBACK_COUNT> funcs;
  std::uint8_t tool = 0;
  bool enabled = false;
};

// Claims the profiler slot under TOOL_NAME without enabling any event, so a
// conflict is found before anything else is touched. Nothing on failure, with
// the exception set, which for a taken slot names its holder.
std::optional<MonitoringHandle> claim_tool();
// Registers the callbacks and turns their events on. False with the
// interpreter's exception set; then nothing stays registered but the claim.
bool enable(MonitoringHandle& handle, const std::shared_ptr<SessionHub>& state);
// Turns events off, unregisters the callbacks and frees the slot, but only
// while the slot still holds this registration; every step is tried. False
// with the first error set.
bool disable(MonitoringHandle& handle);

// Readies the calling thread's state for recording into `state`'s session
// from anywhere but the callbacks (which do it on their slow side): a thread
// new to the session forgets the code ids of the last, and gets its id.
void join_session(const SessionHub& state, Hot& hot) noexcept;

// The calling thread's operating-system id, low 32 bits.
std::uint32_t current_thread_id() noexcept;

// True while the calling thread is inside a callback's slow side, where the
// session it records into must not be ended.
bool in_callback_slow_side() noexcept;

}  // namespace fennik::py
