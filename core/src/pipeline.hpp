// Streaming mode's output path: the exporting thread takes batches from the
// session's queue in rounds (full ones as they come, then what threads have
// recorded since into their partial ones) and hands them to the exporter.
// Between rounds it sleeps; the queue wakes it early when a good part of its
// budget waits, and when it closes. What waits meanwhile is the budget's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "evqueue.hpp"
#include "io_error.hpp"
#include "round_pacer.hpp"
#include "sink.hpp"

namespace fennik {

// Partial batches and the lists' new batches taken at the end of a round.
inline constexpr std::size_t TAIL_ROUND_ITEMS = 256;
inline constexpr char OUT_OF_MEMORY[] = "out of memory";

// Decodes drained items and hands them to the exporter; owned by the exporting thread.
class Writer {
 public:
  Writer(const Clock& clock, const CodeLookup& codes, ThreadNames& threads, Exporter& exporter);

  // A batch goes to write_gap when events were lost before it, then to
  // write_batch; an exit notice to end_thread, after which the thread's name
  // is retired.
  IoStatus write(const Drained& item);

 private:
  // Room for the largest batch yet, left uninitialised: every batch's events
  // are written over it before they are read.
  std::unique_ptr<Event[]> events_;
  std::size_t events_room_ = 0;
  const Clock& clock_;
  const CodeLookup& codes_;
  ThreadNames& threads_;
  Exporter& exporter_;
};

// Runs on the calling thread until the queue is closed and everything in it
// has been exported, then finishes the exporter with the queue's dropped
// count and peak buffered memory. Returns the first error; running out of
// memory is one. While it runs it publishes the queue's recycle floor.
IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<Exporter> exporter);

}  // namespace fennik
