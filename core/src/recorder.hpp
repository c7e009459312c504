// The flight recorder's thread: it keeps the session's most recent events in
// a ring of batches, publishes the recycle floor, and writes dumps when asked.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "control.hpp"
#include "dump_sink.hpp"
#include "evqueue.hpp"
#include "io_error.hpp"
#include "ring.hpp"
#include "sink.hpp"
#include "window_assembly.hpp"

namespace fennik {

// Events handed to the exporter per call while a dump is written; the
// queue is drained between chunks, so a long dump does not make threads
// drop their events.
inline constexpr std::size_t DUMP_CHUNK_EVENTS = 4096;
// Memory the threads' lists may hold for the recorder, at least, whatever
// the ring's size: the recorder drains them every round.
inline constexpr std::uint64_t RECORDER_QUEUE_MIN_BYTES = std::uint64_t{4} << 20;
inline constexpr std::size_t ABSORB_ALL = std::numeric_limits<std::size_t>::max();

// A dump written (no error; `path` names it), or the error that stopped it
// and the file or directory that error concerns (`path`, empty when none).
struct DumpOutcome {
  IoStatus error;
  std::string path;
};

// Owned by the recorder thread; nothing in it is shared but the queue, the
// two lookups and the channel.
//
// A dump shows what the ring held when it was asked for, also when it waits
// behind another: messages are taken from the channel before anything is
// evicted, and until it is written a request holds what it needs in the ring
// (Ring::set_hold). Meanwhile the ring grows past its budget; at its hard
// limit, the dump being written stops draining the threads' lists, which
// then drop events past their own budget, counted, rather than the ring
// losing what was asked for.
class Recorder {
 public:
  Recorder(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
           std::shared_ptr<ThreadNames> threads, std::unique_ptr<DumpSink> sink,
           std::uint64_t budget_bytes, std::shared_ptr<ControlChannel> channel);

  // Moves up to `limit` batches from the queue into the ring; returns how
  // many items (batches and thread exits) it took.
  std::size_t absorb(std::size_t limit);
  // Tells the code interner which ids no held event can still name. Kept as
  // it was when a thread's batch could not be read.
  void update_recycle_floor();
  // Handles every message the channel holds, and those that arrive
  // meanwhile, in the order sent; a failed dump fails its own request only.
  // Whether there was any.
  bool handle_messages();
  // The last dump; its error is the recorder's result.
  IoStatus final_dump(const FinalDump& request);

  const Ring& ring() const noexcept { return ring_; }

 private:
  enum class Fill : std::uint8_t { Any, WithinLimit };

  std::size_t absorb(std::size_t limit, Fill fill);
  void absorb_all();
  // Takes what waits in the channel, then holds in the ring what the
  // requests taken and the dump being assembled need.
  void admit();
  void update_pin();
  // Names of exited threads give way once the ring holds none of their batches.
  void retire_gone_threads();
  // Writes the events from `from` to `until` into a new file named from
  // `reason`.
  DumpOutcome dump(std::uint64_t from, std::uint64_t until, const std::string& reason);
  IoStatus write_events(Exporter& exporter, const Assembled& assembled);
  void on(OpenWindow& open);
  void on(DumpWindow& window);
  void on(Dump& request);
  void on(CloseWindow& close);
  void forget_window(std::uint64_t id);
  static void answer(ReplyTo& reply, DumpOutcome outcome);

  struct Window {
    std::uint64_t id;
    std::uint64_t since;
  };
  struct Exit {
    std::uint64_t after_pushed;  // the ring's pushed() when the thread's exit came
    std::uint32_t tid;
    std::uint64_t serial;
  };

  const std::shared_ptr<EventQueue> queue_;
  const std::shared_ptr<const CodeLookup> codes_;
  const std::shared_ptr<ThreadNames> threads_;
  const std::unique_ptr<DumpSink> sink_;
  const std::shared_ptr<ControlChannel> channel_;
  Ring ring_;
  std::deque<Control> backlog_;              // taken from the channel, not handled yet
  std::optional<std::uint64_t> assembling_;  // the start of the dump not assembled yet
  std::vector<Window> windows_;              // in the order opened
  std::vector<Drained> scratch_;
  std::vector<Exit> exits_;  // oldest first
  std::uint64_t peak_held_bytes_ = 0;
};

// Runs on the calling thread until the queue is closed and drained, then
// writes the final dump if one was asked for and returns its result. Every
// request still waiting, and every later one, is told that the recorder is
// gone when it returns.
IoStatus run_recorder(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<DumpSink> sink,
                      std::uint64_t budget_bytes, std::shared_ptr<ControlChannel> channel);

}  // namespace fennik
