#include "evqueue.hpp"

#include <cstdio>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace fennik {

std::atomic<std::uint64_t> NEXT_QUEUE_ID{1};

namespace {

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// COLD is used by one thread at a time and the slow path never calls out, so
// re-entry means the process state is already broken.
class ColdUse {
 public:
  explicit ColdUse(Cold& cold) noexcept : cold_(cold) {
    if (cold_.in_use) {
      std::fputs("fennik: per-thread recording state re-entered\n", stderr);
      std::abort();
    }
    cold_.in_use = true;
  }
  ~ColdUse() { cold_.in_use = false; }
  ColdUse(const ColdUse&) = delete;
  ColdUse& operator=(const ColdUse&) = delete;

 private:
  Cold& cold_;
};

// The first event of a batch: delta 0 at the buffer start.
void store_first(Hot& hot, std::uint32_t word) noexcept {
  PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  store_slot(cursor, PackedEvent::pack(0, word));
  hot.cursor.store(cursor + 1, std::memory_order_release);
}

}  // namespace

EventQueue::EventQueue(const Clock& c)
    : queue_id(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed)), clock(c) {}

void EventQueue::init_producer(EventQueue& queue, Cold& cold, Hot& hot, std::uint64_t now,
                               std::uint32_t tid) {
  auto [producer, consumer] = make_thread_ring();
  {
    std::lock_guard<std::mutex> g(queue.lock_);
    queue.shared_.push_back(std::move(consumer));
  }
  cold.owner_queue = queue.queue_id;
  cold.producer.emplace(std::move(producer));
  // The previous batch (of an earlier queue) is freed only once HOT no longer
  // points at it, so a concurrent tail reader never copies freed memory.
  std::unique_ptr<EventBatch> previous = std::move(cold.current);
  cold.current = EventBatch::fresh(now, tid);
  register_current();
  hot.counter_mode = queue.clock.counter_mode();
  {
    SeqWrite w(hot);
    hot.queue_id.store(queue.queue_id, MIRROR_STORE);
    mirror_into(hot, *cold.current);
  }
}

void EventQueue::slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                           std::uint32_t word) noexcept {
  if (COLD_GONE) return;  // the thread is exiting; nothing can hold its events
  Cold& cold = COLD;
  {
    ColdUse use(cold);
    if (!cold.producer || cold.owner_queue != queue.queue_id) {
      init_producer(queue, cold, hot, now, tid);
    } else {
      // The mirror is marked as changing before the batch can reach the
      // consumer, which may free it while HOT still points at it otherwise.
      SeqWrite w(hot);
      std::unique_ptr<EventBatch> batch = std::move(cold.current);
      if (!batch) batch = EventBatch::fresh(now, tid);
      batch->set_size(
          static_cast<std::uint32_t>(hot.cursor.load(std::memory_order_relaxed) - batch->slots()));
      if (!cold.producer->try_push(batch)) {
        queue.dropped.fetch_add(batch->size(), std::memory_order_relaxed);
        batch->set_size(0);
        batch->base = now;
        batch->tid = tid;
      } else {
        batch = EventBatch::fresh(now, tid);
      }
      cold.current = std::move(batch);
      hot.queue_id.store(queue.queue_id, MIRROR_STORE);
      mirror_into(hot, *cold.current);
    }
  }
  store_first(hot, word);
}

std::size_t EventQueue::drain_batches(std::vector<std::unique_ptr<EventBatch>>& out,
                                      std::size_t max) {
  std::lock_guard<std::mutex> g(lock_);
  const std::size_t n = shared_.size();
  if (n == 0) return 0;
  const std::size_t start = rotor_.fetch_add(1, std::memory_order_relaxed) % n;
  std::size_t taken = 0;
  for (std::size_t i = 0; i < n; ++i) {
    RingConsumer& ring = shared_[(start + i) % n];
    while (std::unique_ptr<EventBatch> batch = ring.try_pop()) {
      out.push_back(std::move(batch));
      if (++taken >= max) return taken;
    }
  }
  return taken;
}

std::vector<EventBatch> EventQueue::read_tails() const {
  std::vector<EventBatch> tails;
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  for (const Recorder& r : RECORDERS->entries) {
    const Hot& hot = *r.hot;
    for (int attempt = 0; attempt < TAIL_READ_ATTEMPTS; ++attempt) {
      const std::uint64_t seq = hot.seq.load(std::memory_order_acquire);
      if (seq & 1) {
        cpu_relax();
        continue;
      }
      if (hot.queue_id.load(MIRROR_LOAD) != queue_id) break;
      const PackedEvent* cursor = hot.cursor.load(std::memory_order_acquire);
      const PackedEvent* end = hot.end.load(MIRROR_LOAD);
      if (cursor == nullptr || end == nullptr) break;
      // Addresses compared as integers: a torn read may mix two buffers.
      const auto start_addr = reinterpret_cast<std::uintptr_t>(end) - BATCH_BYTES;
      const auto cursor_addr = reinterpret_cast<std::uintptr_t>(cursor);
      if (cursor_addr <= start_addr || cursor_addr > start_addr + BATCH_BYTES) continue;
      const auto count =
          static_cast<std::uint32_t>((cursor_addr - start_addr) / sizeof(PackedEvent));
      const PackedEvent* start = end - BATCH_CAPACITY;
      EventBatch copy(count, hot.base.load(MIRROR_LOAD), hot.tid.load(MIRROR_LOAD));
      for (std::uint32_t i = 0; i < count; ++i) copy.slots()[i] = load_slot(start + i, MIRROR_LOAD);
      copy.set_size(count);
      seq_read_barrier();
      if (hot.seq.load(std::memory_order_relaxed) == seq) {
        tails.push_back(std::move(copy));
        break;
      }
    }
  }
  return tails;
}

std::size_t EventQueue::ring_count() const {
  std::lock_guard<std::mutex> g(lock_);
  return shared_.size();
}

}  // namespace fennik
