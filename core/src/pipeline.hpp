// Streaming mode's output path: a drain thread moves full batches from the
// session's queue into a hand-off ring, and the calling thread decodes them
// and hands them to the exporter, so draining never waits for file output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "evqueue.hpp"
#include "io_error.hpp"
#include "sink.hpp"

namespace fennik {

inline constexpr std::uint32_t HANDOFF_CAPACITY = 256;
inline constexpr std::size_t WRITER_EVENTS_RESERVE = BATCH_CAPACITY;
inline constexpr char SERIALIZER_THREAD_NAME[] = "fennik-serializer";
inline constexpr char SERIALIZER_PANICKED[] = "serializer panicked";

// Batches waiting to be exported, oldest first, with their accounted bytes.
class PendingBatches {
 public:
  void push(std::unique_ptr<EventBatch> batch) {
    bytes_ += batch->accounted_bytes();
    batches_.push_back(std::move(batch));
  }
  std::unique_ptr<EventBatch> pop() {
    if (batches_.empty()) return nullptr;
    std::unique_ptr<EventBatch> b = std::move(batches_.front());
    batches_.pop_front();
    bytes_ -= b->accounted_bytes();
    return b;
  }
  bool empty() const noexcept { return batches_.empty(); }
  std::size_t size() const noexcept { return batches_.size(); }
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  std::deque<std::unique_ptr<EventBatch>> batches_;
  std::size_t bytes_ = 0;
};

// Decodes batches and hands them to the exporter; owned by the exporting thread.
class Writer {
 public:
  Writer(const Clock& clock, const CodeLookup& codes, const ThreadNames& threads,
         Exporter& exporter);

  // Exports pending batches front first; stops at the first error, leaving
  // the batches behind the failed one in the list.
  IoStatus drain(PendingBatches& pending);

 private:
  std::vector<Event> events_;
  const Clock& clock_;
  const CodeLookup& codes_;
  const ThreadNames& threads_;
  Exporter& exporter_;
};

// Runs until the queue is closed and everything in it has been exported, then
// finishes the exporter with the queue's dropped count. Returns the first error.
IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<const ThreadNames> threads,
                      std::unique_ptr<Exporter> exporter);

}  // namespace fennik
