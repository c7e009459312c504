#include "pipeline.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "backoff.hpp"
#include "thread_name.hpp"

namespace fennik {
namespace {

using HandoffProducer = BatchProducer<Drained, HANDOFF_CAPACITY>;
using HandoffConsumer = BatchConsumer<Drained, HANDOFF_CAPACITY>;

// What the two threads share. The drain thread holds its own reference, so it
// can outlive an exporting side that returned early on an error.
struct DrainShared {
  std::atomic<bool> consumer_alive{true};
  std::atomic<bool> finished{false};
  std::atomic<bool> panicked{false};
  // Items the exporting side has finished with, in hand-off order.
  std::atomic<std::uint64_t> written{0};
};

// The base ticks of the items handed off and not yet written: at most the
// hand-off ring's capacity plus the one being written.
class HandedBases {
 public:
  static constexpr std::uint32_t TRACKED = 2 * HANDOFF_CAPACITY;
  static_assert(TRACKED >= HANDOFF_CAPACITY + 1 && (TRACKED & (TRACKED - 1)) == 0);

  void add(const Drained& item) noexcept {
    // The tick of its first event: a thread's partial batch is handed off in
    // parts, and a later part holds nothing as old as the batch's base.
    const EventBatch* b = item.batch.get();
    bases_[handed_++ % TRACKED] = (b == nullptr || b->empty())
                                      ? std::numeric_limits<std::uint64_t>::max()
                                      : b->base + b->slots()[0].delta();
  }
  std::uint64_t oldest(std::uint64_t written, std::uint64_t floor) const noexcept {
    for (std::uint64_t i = written; i < handed_; ++i) floor = std::min(floor, bases_[i % TRACKED]);
    return floor;
  }

 private:
  std::array<std::uint64_t, TRACKED> bases_{};
  std::uint64_t handed_ = 0;
};

// Moves every ring's batches and the new part of every thread's partial batch
// into the hand-off ring, then publishes the recycle floor: no event still to
// be written is older than it. The floor is the smallest of now, every batch
// left in a ring and every batch handed off but not yet written; skipped when
// a thread's batch could not be read or the hand-off ring had too little room.
void take_tails_and_publish_floor(EventQueue& queue, HandoffProducer& handoff, HandedBases& handed,
                                  std::vector<Drained>& local, const DrainShared& shared) {
  local.clear();
  const std::optional<std::uint64_t> undrained =
      queue.take_tails(local, handoff.free_slots(), queue.clock.now_ticks());
  for (Drained& item : local) {
    handed.add(item);
    handoff.try_push(item);  // fits: limited to the free slots
  }
  if (!undrained) return;
  const std::uint64_t written = shared.written.load(std::memory_order_acquire);
  queue.publish_recycle_floor(handed.oldest(written, *undrained));
}

void drain_loop(EventQueue& queue, HandoffProducer& handoff, const DrainShared& shared) {
  using Steady = std::chrono::steady_clock;
  Backoff backoff;
  HandedBases handed;
  std::vector<Drained> local;
  local.reserve(HANDOFF_CAPACITY);  // never more: a drain is limited to the free slots
  Steady::time_point next_floor = Steady::now() + FLOOR_PUBLISH_INTERVAL;
  while (shared.consumer_alive.load(std::memory_order_acquire)) {
    if (Steady::now() >= next_floor) {
      next_floor = Steady::now() + FLOOR_PUBLISH_INTERVAL;
      take_tails_and_publish_floor(queue, handoff, handed, local, shared);
    }
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
    for (Drained& item : local) {
      handed.add(item);
      handoff.try_push(item);  // fits: limited to the free slots
    }
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

IoStatus export_all(const std::shared_ptr<EventQueue>& queue, const CodeLookup& codes,
                    ThreadNames& threads, Exporter& exporter) {
  auto [producer, consumer] = make_batch_ring<Drained, HANDOFF_CAPACITY>();
  auto shared = std::make_shared<DrainShared>();
  std::unique_ptr<DrainThread> drain;
  try {
    drain = std::make_unique<DrainThread>(queue, std::move(producer), shared);
  } catch (const std::system_error& e) {
    return IoError::other(std::string("failed to spawn thread: ") + e.what());
  }

  Writer writer(queue->clock, codes, threads, exporter);
  auto write = [&](const Drained& item) {
    IoStatus status = writer.write(item);
    shared->written.fetch_add(1, std::memory_order_release);
    return status;
  };
  Backoff backoff;
  for (;;) {
    Drained item = consumer.try_pop();
    if (!item) {
      if (drain->finished()) break;
      backoff.wait();
      continue;
    }
    if (IoStatus err = write(item)) return err;
    backoff.reset();
  }

  // The drain thread has finished: whatever it pushed is visible now.
  while (Drained item = consumer.try_pop()) {
    if (IoStatus err = write(item)) return err;
  }

  if (drain->join()) return IoError::other(SERIALIZER_PANICKED);
  return exporter.finish(codes, threads, RunStats{queue->dropped.load(std::memory_order_relaxed)});
}

}  // namespace

Writer::Writer(const Clock& clock, const CodeLookup& codes, ThreadNames& threads,
               Exporter& exporter)
    : clock_(clock), codes_(codes), threads_(threads), exporter_(exporter) {
  events_.reserve(WRITER_EVENTS_RESERVE);
}

IoStatus Writer::write(const Drained& item) {
  if (!item.batch) {
    if (IoStatus err = exporter_.end_thread(item.tid, codes_, threads_)) return err;
    threads_.retire(item.tid, item.serial);
    return IO_OK;
  }
  events_.clear();
  item.batch->decode_into(clock_, events_);
  return exporter_.write_batch(events_, codes_, threads_);
}

IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<Exporter> exporter) {
  try {
    return export_all(queue, *codes, *threads, *exporter);
  } catch (const std::bad_alloc&) {
    return IoError::other(OUT_OF_MEMORY);
  }
}

}  // namespace fennik
