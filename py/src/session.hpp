// A session: everything one successful start of a Tracer creates until its
// end. Starting claims the profiler slot, advertises the session to child
// processes, makes the queue, the monitoring state and the output side, and
// turns monitoring on last; ending undoes it in the reverse order.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "clock.hpp"
#include "control.hpp"
#include "evqueue.hpp"
#include "exporter_thread.hpp"
#include "monitoring.hpp"
#include "pyref.hpp"
#include "tracer_config.hpp"

namespace fennik::py {

// One live session.
struct Running {
  std::shared_ptr<ControlChannel> channel;  // the recorder's; null when streaming
  std::optional<MonitoringHandle> handle;
  std::shared_ptr<EventQueue> queue;
  std::shared_ptr<SessionHub> state;
  ExporterThread thread;
  pid_t pid;           // the process that started it; in any other (a forked child) it is abandoned
  std::string output;  // the output or dump directory, absolute
  // Monitoring was turned off for a fork and is to be turned on again after it.
  bool paused_for_fork = false;
  // Why monitoring could not be turned on again after a fork; raised by the end.
  PyRef fork_error;
  bool child = false;  // a child process's session, which tallies its start and end
};

// A forked child leaves its parent's session as it is, deliberately leaked:
// its threads do not exist here, so joining them would hang, and freeing what
// they were using could corrupt memory. Its output belongs to the parent.
void abandon(Running running) noexcept;

// Starts a session. Nothing is touched before the profiler slot is claimed,
// so a conflict with a running tool leaves every file and variable as it was;
// a later failure undoes what was done. A forked child passes its parent's
// clock, so that both processes' events share one timeline.
std::optional<Running> start(const TracerConfig& configured, std::uint32_t pid, bool child,
                             std::optional<Clock> inherited = std::nullopt);

// Ends `running`, already taken out of its tracer's slot: monitoring off
// first, so nothing that runs below is recorded. A flight recorder writes its
// last dump, named from `reason`. Every step is taken whatever fails; false
// with the first error set. What the output side was given goes to `figures`.
bool end(Running running, const std::string& path, const std::string& reason,
         OutputFigures& figures);

}  // namespace fennik::py
