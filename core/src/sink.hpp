// The interfaces between the output side and the rest: exporters receive
// decoded events; code and thread names are looked up through small readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "event.hpp"
#include "io_error.hpp"

namespace fennik {

// What a code id stands for; a copy the caller owns.
struct CodeInfo {
  std::string qualname;
  std::string filename;
  std::uint32_t first_line = 0;

  bool operator==(const CodeInfo&) const = default;
};

// What an annotation site id stands for: the name the program gave a span,
// instant or counter, and the names of its arguments, in the order their
// values follow it.
struct SiteInfo {
  std::string name;
  std::vector<std::string> keys;

  bool operator==(const SiteInfo&) const = default;
};

// Resolves code ids. Callable from any thread while codes are being added.
class CodeLookup {
 public:
  virtual ~CodeLookup() = default;
  virtual std::optional<CodeInfo> code(std::uint32_t id) const = 0;
  // Annotation sites; their ids are never given to another site.
  virtual std::optional<SiteInfo> site(std::uint32_t id) const {
    (void)id;
    return std::nullopt;
  }
  // Moves whenever an id was given to a different code object than before;
  // whoever caches by id drops those caches when it sees it move.
  virtual std::uint64_t reuse_generation() const { return 0; }
};

// The process as users know it: its command line (`python app.py --flag`),
// its multiprocessing name where it has one (`SpawnPoolWorker-3`), its
// parent's pid. Each empty (0) when unknown.
struct ProcessLabel {
  std::string command_line;
  std::string role;
  std::uint32_t parent_pid = 0;

  // The name its track shows: the role, else the command line.
  std::string shown() const { return !role.empty() ? role : command_line; }
  bool operator==(const ProcessLabel&) const = default;
};

// Resolves thread ids to names. Callable from any thread while names are added.
class ThreadNames {
 public:
  virtual ~ThreadNames() = default;
  virtual std::optional<std::string> name(std::uint32_t tid) const = 0;
  // Every known (tid, name), sorted by tid ascending.
  virtual std::vector<std::pair<std::uint32_t, std::string>> snapshot() const = 0;
  // The thread incarnation `serial` (see thread_serial) of `tid` has exited and
  // its last event was written: its name gives way to a later thread with the
  // same id.
  virtual void retire(std::uint32_t tid, std::uint64_t serial) {
    (void)tid;
    (void)serial;
  }
  // The process's label as known now; it may grow as the program runs (a
  // multiprocessing child learns its name after it starts).
  virtual ProcessLabel process() const { return {}; }
};

// A stretch in which recording was paused on purpose (not a loss): from
// `from_ns` to `to_ns`, or to the end of what the output holds.
struct Pause {
  std::uint64_t from_ns = 0;
  std::optional<std::uint64_t> to_ns;

  bool operator==(const Pause&) const = default;
};

// What buffering did over a session, written with the output.
struct RunStats {
  // Events that never reached the exporter (see EventQueue::dropped).
  std::uint64_t dropped = 0;
  // The most memory that held recorded events waiting to be written at once.
  std::uint64_t peak_buffered_bytes = 0;
  // The pauses within the output, marked on the process; in time order.
  std::vector<Pause> pauses = {};
  // With a threshold (not 0), the calls shorter than it left out of the
  // output (see ShortCallFilter); the output says so.
  std::uint64_t min_duration_ns = 0;
  std::uint64_t short_calls_left_out = 0;
};

// The one rule every format follows for an end event: it closes the
// innermost frame open on its thread in this output. With none open, its
// frame began before the output did (a thread's first events can close
// frames it entered before the session started) or before a gap, and the
// end is left out: no output ends what it never began, and what it does not
// show began at a time it cannot know.
inline constexpr bool ends_nothing_open(std::uint32_t code_kind, std::size_t open_frames) noexcept {
  return open_frames == 0 && is_end(word_kind(code_kind));
}

// An output format writer: any number of write_batch, write_gap,
// end_open_at and end_thread calls, then one finish; draining comes once,
// when the session has ended, before the last of them.
// An exporter whose write_batch failed is destroyed without being finished.
class Exporter {
 public:
  virtual ~Exporter() = default;
  // `events` come from one batch: one thread, in recording order. Ends
  // with nothing open are left out (ends_nothing_open).
  virtual IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                               const ThreadNames& threads) = 0;
  // Writes what the format puts at the end, including `stats`, and flushes.
  virtual IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                          const RunStats& stats) = 0;
  // Thread `tid` lost `count` events starting at `ts_ns`; its next events
  // come after them. Slices open on that thread end at the gap, and ends of
  // frames that began before it no longer match anything.
  virtual IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                             const CodeLookup& codes, const ThreadNames& threads) = 0;
  // Recording paused at `ts_ns` while `tid`'s thread had frames open: they
  // end there, and ends of them after the pause no longer match anything,
  // as at a gap; nothing is shown for the thread itself.
  virtual IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                               const ThreadNames& threads) {
    (void)tid;
    (void)ts_ns;
    (void)codes;
    (void)threads;
    return IO_OK;
  }
  // `tid`'s thread has exited and every event of it was written: per-thread
  // state may go, and a later thread with the same id starts afresh.
  virtual IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                              const ThreadNames& threads) {
    (void)tid;
    (void)codes;
    (void)threads;
    return IO_OK;
  }
  // The session has ended: what follows is the rest of its events, then
  // finish, while the program waits for them.
  virtual void draining() noexcept {}
};

}  // namespace fennik
