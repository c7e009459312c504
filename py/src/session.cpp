#include "session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "advertisement.hpp"
#include "child_tally.hpp"
#include "codewatch.hpp"
#include "control_files.hpp"
#include "dir_sink.hpp"
#include "env_settings.hpp"
#include "format.hpp"
#include "my_code.hpp"
#include "pipeline.hpp"
#include "process_hooks.hpp"
#include "process_label.hpp"
#include "py_errors.hpp"
#include "recorder.hpp"
#include "start_guards.hpp"
#include "whole_number.hpp"

namespace fennik::py {

namespace {

constexpr char EXPORTER_PANICKED[] = "exporter thread panicked";
constexpr char EXITING[] = "the interpreter is exiting: no new tracing session can start";
constexpr unsigned DUMP_DIRECTORY_MODE = 0777;  // before the umask

// `path` made absolute against the current directory, so that a later chdir
// neither moves a session's dumps nor what children are told.
std::optional<std::string> absolute_path(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::string cwd(PATH_MAX, '\0');
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    raise_io(IoError::from_errno(errno), ".");
    return std::nullopt;
  }
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  return path.empty() ? cwd : cwd + (cwd.ends_with('/') ? "" : "/") + path;
}

// Memory for batches waiting in threads' lists: in a flight-recorder session
// the ring is the budget the user gave, and the lists need only what the
// recorder drains between rounds.
std::uint64_t queue_budget(const TracerConfig& c, std::uint64_t buffer_budget) {
  if (!c.record_last_mb) return buffer_budget;
  return std::min(buffer_budget, std::max(*c.record_last_mb << MB_SHIFT, RECORDER_QUEUE_MIN_BYTES));
}

// The clock of a child's session: the parent's origin, from the
// advertisement, when it is a valid moment of the past.
Clock child_clock(Clock own, std::uint64_t own_start_ns) {
  const char* text = std::getenv(ENV_CHILD_ORIGIN_NS);
  const std::optional<std::uint64_t> origin =
      text != nullptr ? parse_whole_number(text) : std::nullopt;
  if (!origin || *origin > own_start_ns) return own;
  return own.started_earlier(own_start_ns - *origin);
}

// The session's code filter; nothing with an exception.
std::optional<CodeFilter> code_filter(const Selection& s) {
  std::vector<std::string> library;
  if (s.only_my_code) {
    std::optional<std::vector<std::string>> found = library_patterns();
    if (!found) return std::nullopt;
    library = std::move(*found);
  }
  return CodeFilter(s.include, s.exclude, library);
}

}  // namespace

void abandon(Running running) noexcept {
  running.state->end_recording();
  static_cast<void>(std::make_unique<Running>(std::move(running)).release());
}

std::optional<Running> start(const TracerConfig& configured, std::uint32_t pid, bool child,
                             std::optional<Clock> inherited) {
  if (EXIT_HOOK_RAN) {
    PyErr_SetString(PyExc_RuntimeError, EXITING);
    return std::nullopt;
  }
  const std::optional<std::uint32_t> capacity = code_capacity();
  if (!capacity) return std::nullopt;
  const std::optional<std::uint64_t> budget = buffer_budget();
  if (!budget) return std::nullopt;
  const std::optional<ClockRequest> clock = clock_request();
  if (!clock) return std::nullopt;
  std::optional<CodeFilter> filter = code_filter(configured.selection);
  if (!filter) return std::nullopt;
  // Threads are named from threading's table; imported now, before anything
  // is recorded, so that the main thread has its name from the start.
  if (!PyRef::steal(PyImport_ImportModule("threading"))) return std::nullopt;
  TracerConfig c = configured;
  std::optional<std::string> output = absolute_path(configured.output);
  if (!output) return std::nullopt;
  c.output = std::move(*output);
  std::optional<MonitoringHandle> claimed = claim_tool();
  if (!claimed) return std::nullopt;
  SlotGuard slot(std::move(*claimed));
  AdvertisementGuard advertised;
  DirectoriesGuard directories;

  Clock session_clock = inherited.value_or(Clock::starting_now(*clock));
  const std::uint64_t started_ns = read_monotonic_ns();
  if (child && !inherited) session_clock = child_clock(session_clock, started_ns);
  if (!child && !advertised.advertise(c, started_ns)) return std::nullopt;

  auto queue = EventQueue::create(session_clock, queue_budget(c, *budget));
  auto state = std::make_shared<SessionHub>(queue, *capacity, std::move(*filter),
                                            configured.selection.max_depth.value_or(NO_DEPTH_LIMIT),
                                            configured.selection.c_calls);
  state->set_process(ProcessLabel{command_line(), multiprocessing_name(),
                                  static_cast<std::uint32_t>(::getppid())});
  if (!watch(state)) return std::nullopt;

  std::shared_ptr<ControlChannel> channel;
  auto pauses = std::make_shared<PauseLog>();
  OutputGuard output_thread(queue, state);
  try {
    if (c.record_last_mb) {
      if (IoStatus err = directories.make(c.output, DUMP_DIRECTORY_MODE)) {
        raise_io(*err, c.output);
        return std::nullopt;
      }
      channel = std::make_shared<ControlChannel>(queue);
      output_thread.thread.emplace(
          [queue, state, channel, pauses, budget = *c.record_last_mb << MB_SHIFT,
           sink = std::make_unique<DirSink>(c.output, pid, c.format),
           min_ns = c.selection.min_duration_ns](OutputFigures& figures) mutable {
            auto counted = std::make_unique<CountingDumpSink>(std::move(sink), figures, min_ns);
            return run_recorder(queue, state, state,
                                std::make_unique<PauseMarksDumpSink>(std::move(counted), pauses),
                                budget, channel);
          });
    } else {
      // Opened now, so the path as given names it in errors.
      IoResult<std::unique_ptr<Exporter>> exporter =
          Format::open(c.format, configured.output, pid, child);
      if (!exporter.ok()) {
        raise_io(exporter.error(), configured.output);
        return std::nullopt;
      }
      output_thread.thread.emplace(
          [queue, state, pauses, exporter = std::move(exporter).value(),
           min_ns = c.selection.min_duration_ns](OutputFigures& figures) mutable {
            // Counted behind the filter: the summary counts what was written.
            std::unique_ptr<Exporter> out =
                std::make_unique<CountingExporter>(std::move(exporter), figures.events);
            if (min_ns != 0) out = std::make_unique<ShortCallFilter>(std::move(out), min_ns);
            out = std::make_unique<SpanNesting>(std::move(out));
            return run_pipeline(queue, state, state,
                                std::make_unique<PauseMarks>(std::move(out), pauses));
          });
    }
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "spawn exporter: %s", e.what());
    return std::nullopt;
  }

  // Last: from here on every function call is recorded. On failure nothing
  // was recorded; the guards let the exporter finish its empty output and
  // free the slot, keeping the registration error.
  if (!enable(slot.handle(), state)) return std::nullopt;
  Running running{std::move(channel),
                  std::nullopt,
                  std::move(queue),
                  std::move(state),
                  output_thread.keep(),
                  getpid(),
                  std::move(c.output),
                  false,
                  PyRef()};
  running.handle = slot.keep();
  running.child = child;
  running.pauses = std::move(pauses);
  if (running.channel) publish_notice({c.dump_signal.value_or(0), running.output});
  advertised.keep();
  directories.keep();
  if (child) tally_child_started(static_cast<std::uint32_t>(running.pid));
  return running;
}

bool end(Running running, const std::string& path, const std::string& reason,
         OutputFigures& figures) {
  FirstError errors;
  if (running.handle) {
    errors.step(disable(*running.handle));
    running.handle.reset();
  }
  running.state->end_recording();
  if (running.channel) {
    withdraw_notice();
    running.channel->request_final_dump(FinalDump{reason, running.queue->clock.now_ticks()});
  }
  // Monitoring is off, so no thread is inside a callback's fast path (with
  // the interpreter lock held here, or because turning events off stopped the
  // world on a free-threaded build); a callback's slow side that ran the
  // interpreter holds its callback object, and the state with it, and
  // records only through the guarded step, which close waits for.
  running.queue->close();
  ExporterThread::Outcome outcome = running.thread.join();
  figures = std::move(outcome.figures);
  figures.dropped = running.queue->dropped.load(std::memory_order_relaxed);
  if (running.child) tally_child_ended(static_cast<std::uint32_t>(running.pid), figures);
  if (!errors.finish()) return false;
  if (outcome.status) {
    raise_io(*outcome.status, path);
    return false;
  }
  if (outcome.panicked) {
    PyErr_SetString(PyExc_RuntimeError, EXPORTER_PANICKED);
    return false;
  }
  return true;
}

}  // namespace fennik::py
