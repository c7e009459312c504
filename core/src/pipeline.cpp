#include "pipeline.hpp"

#include <atomic>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "backoff.hpp"
#include "thread_name.hpp"

namespace fennik {
namespace {

using HandoffProducer = BatchProducer<HANDOFF_CAPACITY>;
using HandoffConsumer = BatchConsumer<HANDOFF_CAPACITY>;

// What the two threads share. The drain thread holds its own reference, so it
// can outlive an exporting side that returned early on an error.
struct DrainShared {
  std::atomic<bool> consumer_alive{true};
  std::atomic<bool> finished{false};
  std::atomic<bool> panicked{false};
};

void drain_loop(EventQueue& queue, HandoffProducer& handoff, const DrainShared& shared) {
  Backoff backoff;
  std::vector<std::unique_ptr<EventBatch>> local;
  while (shared.consumer_alive.load(std::memory_order_acquire)) {
    const std::uint32_t free = handoff.free_slots();
    if (free == 0) {
      backoff.wait();
      continue;
    }
    // Read before draining: a close seen here guarantees that the final
    // flush's batches are visible to this drain, so an empty drain means done.
    const bool closed = queue.closed();
    local.clear();
    if (queue.drain_batches(local, free) == 0) {
      if (closed) break;
      backoff.wait();
      continue;
    }
    for (auto& batch : local) handoff.try_push(batch);  // fits: limited to the free slots
    backoff.reset();
  }
}

// Joins on the normal path; on an early return leaves the drain thread to end
// by itself once it sees the consumer gone.
class DrainThread {
 public:
  DrainThread(std::shared_ptr<EventQueue> queue, HandoffProducer producer,
              std::shared_ptr<DrainShared> shared)
      : shared_(shared),
        thread_([queue = std::move(queue), producer = std::move(producer),
                 shared = std::move(shared)]() mutable {
          name_current_thread(SERIALIZER_THREAD_NAME);
          try {
            drain_loop(*queue, producer, *shared);
          } catch (...) {
            shared->panicked.store(true, std::memory_order_relaxed);
          }
          // The producer end and the queue reference are released with this lambda.
          shared->finished.store(true, std::memory_order_release);
        }) {}

  ~DrainThread() {
    shared_->consumer_alive.store(false, std::memory_order_release);
    if (thread_.joinable()) thread_.detach();
  }
  DrainThread(const DrainThread&) = delete;
  DrainThread& operator=(const DrainThread&) = delete;

  bool finished() const noexcept { return shared_->finished.load(std::memory_order_acquire); }
  // Joins; true when the thread ended by a fatal error of its own.
  bool join() {
    thread_.join();
    return shared_->panicked.load(std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<DrainShared> shared_;
  std::thread thread_;
};

}  // namespace

Writer::Writer(const Clock& clock, const CodeLookup& codes, const ThreadNames& threads,
               Exporter& exporter)
    : clock_(clock), codes_(codes), threads_(threads), exporter_(exporter) {
  events_.reserve(WRITER_EVENTS_RESERVE);
}

IoStatus Writer::drain(PendingBatches& pending) {
  while (std::unique_ptr<EventBatch> batch = pending.pop()) {
    events_.clear();
    batch->decode_into(clock_, events_);
    if (IoStatus err = exporter_.write_batch(events_, codes_, threads_)) return err;
  }
  return IO_OK;
}

IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<const ThreadNames> threads,
                      std::unique_ptr<Exporter> exporter) {
  auto [producer, consumer] = make_batch_ring<HANDOFF_CAPACITY>();
  auto shared = std::make_shared<DrainShared>();
  std::unique_ptr<DrainThread> drain;
  try {
    drain = std::make_unique<DrainThread>(queue, std::move(producer), shared);
  } catch (const std::system_error& e) {
    return IoError::other(std::string("failed to spawn thread: ") + e.what());
  }

  Writer writer(queue->clock, *codes, *threads, *exporter);
  PendingBatches pending;
  Backoff backoff;
  for (;;) {
    std::unique_ptr<EventBatch> batch = consumer.try_pop();
    if (!batch) {
      if (drain->finished()) break;
      backoff.wait();
      continue;
    }
    pending.push(std::move(batch));
    if (IoStatus err = writer.drain(pending)) return err;
    backoff.reset();
  }

  // The drain thread has finished: whatever it pushed is visible now.
  while (std::unique_ptr<EventBatch> batch = consumer.try_pop()) pending.push(std::move(batch));
  if (IoStatus err = writer.drain(pending)) return err;

  if (drain->join()) return IoError::other(SERIALIZER_PANICKED);
  return exporter->finish(*codes, *threads, queue->dropped.load(std::memory_order_relaxed));
}

}  // namespace fennik
