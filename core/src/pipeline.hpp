// Streaming mode's output path: a drain thread moves batches from the
// session's queue into a hand-off ring (full ones as they come, what threads
// have recorded since into their partial ones every FLOOR_PUBLISH_INTERVAL),
// and the calling thread decodes them and hands them to the exporter, so
// draining never waits for file output.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "evqueue.hpp"
#include "io_error.hpp"
#include "sink.hpp"

namespace fennik {

inline constexpr std::uint32_t HANDOFF_CAPACITY = 256;
inline constexpr std::size_t WRITER_EVENTS_RESERVE = BATCH_CAPACITY;
// How often the drain thread moves partial batches on and publishes the
// recycle floor: the delay before a forgotten code id can be given out again.
inline constexpr std::chrono::milliseconds FLOOR_PUBLISH_INTERVAL{10};
inline constexpr char SERIALIZER_THREAD_NAME[] = "fennik-serializer";
inline constexpr char SERIALIZER_PANICKED[] = "serializer panicked";
inline constexpr char OUT_OF_MEMORY[] = "out of memory";

// Decodes drained items and hands them to the exporter; owned by the exporting thread.
class Writer {
 public:
  Writer(const Clock& clock, const CodeLookup& codes, ThreadNames& threads, Exporter& exporter);

  // A batch goes to write_batch; an exit notice to end_thread, after which
  // the thread's name is retired.
  IoStatus write(const Drained& item);

 private:
  std::vector<Event> events_;
  const Clock& clock_;
  const CodeLookup& codes_;
  ThreadNames& threads_;
  Exporter& exporter_;
};

// Runs until the queue is closed and everything in it has been exported, then
// finishes the exporter with the queue's dropped count. Returns the first
// error; running out of memory is one. While it runs it publishes the queue's
// recycle floor.
IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<Exporter> exporter);

}  // namespace fennik
