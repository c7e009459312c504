#include "evqueue.hpp"

#include <algorithm>
#include <new>
#include <tuple>

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

// Marks COLD in use for the slow path's duration. The slow path never calls
// out, so finding it in use means a signal handler or similar re-entered the
// recording step; that event is dropped instead.
class ColdUse {
 public:
  explicit ColdUse(Cold& cold) noexcept : cold_(cold) { cold_.in_use = true; }
  ~ColdUse() { cold_.in_use = false; }
  ColdUse(const ColdUse&) = delete;
  ColdUse& operator=(const ColdUse&) = delete;

 private:
  Cold& cold_;
};

std::unique_ptr<EventBatch> try_fresh(std::uint64_t base, std::uint32_t tid) noexcept {
  try {
    return EventBatch::fresh(base, tid);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// The first event of a batch: delta 0 at the buffer start.
void store_first(Hot& hot, std::uint32_t word) noexcept {
  PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  store_slot(cursor, PackedEvent::pack(0, word));
  hot.cursor.store(cursor + 1, std::memory_order_release);
}

// What one consistent look at a thread's mirror saw.
struct MirrorView {
  const PackedEvent* start;
  std::uint32_t count;  // 0: no partial batch in the queue asked about
  std::uint64_t base;
  std::uint32_t tid;
};

// Reads `hot`'s mirror under its sequence counter and passes it to `look`,
// which must only read; true once a look was not torn by the owner changing
// the mirror meanwhile, false after TAIL_READ_ATTEMPTS torn looks. The batch
// looked at stays allocated: it is freed only under RECORDERS' lock, which the
// caller holds, or after a consumer takes it from a ring under the queue's
// lock, which the caller holds too when `look` touches the events.
template <class Look>
bool read_mirror(const Hot& hot, std::uint64_t queue_id, Look&& look) {
  for (int attempt = 0; attempt < TAIL_READ_ATTEMPTS; ++attempt) {
    const std::uint64_t seq = hot.seq.load(std::memory_order_acquire);
    if (seq & 1) {
      cpu_relax();
      continue;
    }
    MirrorView view{nullptr, 0, 0, 0};
    if (hot.queue_id.load(MIRROR_LOAD) == queue_id) {
      const PackedEvent* cursor = hot.cursor.load(std::memory_order_acquire);
      const PackedEvent* end = hot.end.load(MIRROR_LOAD);
      if (cursor != nullptr && end != nullptr) {
        // Addresses compared as integers: a torn read may mix two buffers.
        const auto start_addr = reinterpret_cast<std::uintptr_t>(end) - BATCH_BYTES;
        const auto cursor_addr = reinterpret_cast<std::uintptr_t>(cursor);
        if (cursor_addr < start_addr || cursor_addr > start_addr + BATCH_BYTES) continue;
        view.start = end - BATCH_CAPACITY;
        view.count = static_cast<std::uint32_t>((cursor_addr - start_addr) / sizeof(PackedEvent));
        view.base = hot.base.load(MIRROR_LOAD);
        view.tid = hot.tid.load(MIRROR_LOAD);
      }
    }
    look(view);
    seq_read_barrier();
    if (hot.seq.load(std::memory_order_relaxed) == seq) return true;
  }
  return false;
}

// A copy of the events of `v` from index `from` on (none when it holds no
// more), with the mirrored batch's base, so deltas keep their meaning.
EventBatch copy_view(const MirrorView& v, std::uint32_t from) {
  const std::uint32_t to = std::max(v.count, from);
  EventBatch copy(to - from, v.base, v.tid);
  for (std::uint32_t i = from; i < to; ++i) {
    copy.slots()[i - from] = load_slot(v.start + i, MIRROR_LOAD);
  }
  copy.set_size(to - from);
  return copy;
}

}  // namespace

EventQueue::EventQueue(const Clock& c)
    : queue_id(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed)), clock(c) {}

bool EventQueue::init_producer(EventQueue& queue, Cold& cold, Hot& hot, std::uint64_t now,
                               std::uint32_t tid) noexcept {
  RingProducer producer;
  RingConsumer consumer;
  try {
    std::tie(producer, consumer) = make_thread_ring();
  } catch (const std::bad_alloc&) {
    return false;
  }
  // An empty batch left by a flush is reused; one with events still goes to its own ring.
  const bool reuse = cold.current && filled(hot, *cold.current) == 0;
  std::unique_ptr<EventBatch> batch = reuse ? nullptr : try_fresh(now, tid);
  if ((!reuse && !batch) || !register_current()) return false;
  {
    std::lock_guard<std::mutex> g(queue.lock_);
    // Batches of a thread whose id is unknown cannot be confused by id, so
    // such rings are not held back.
    std::uint32_t older = 0;
    if (tid != UNKNOWN_TID) {
      for (const RingEntry& e : queue.shared_) older += e.tid == tid && !e.retired;
    }
    try {
      queue.shared_.push_back(
          RingEntry{std::move(consumer), tid, thread_serial(), older, false, 0, &hot});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  // Under RECORDERS' lock: the previous batch may be freed here while a tail
  // reader of its queue looks at it otherwise, and a session-end flush of the
  // previous queue sees either the batch or that it is in the ring.
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  if (reuse) {
    batch = std::move(cold.current);
    batch->base = now;
    batch->tid = tid;
  } else if (cold.current) {
    const std::uint32_t n = filled(hot, *cold.current);
    cold.current->set_size(n);
    if (!cold.producer || !cold.producer.try_push(cold.current)) count_lost(cold, n);
    cold.current.reset();
  }
  cold.producer = std::move(producer);  // marks the previous ring Detached
  cold.owner = queue.weak_from_this();
  cold.owner_queue = queue.queue_id;
  cold.current = std::move(batch);
  SeqWrite w(hot);
  hot.queue_id.store(queue.queue_id, MIRROR_STORE);
  mirror_into(hot, *cold.current);
  return true;
}

void EventQueue::slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                           std::uint32_t word) noexcept {
  // A parent's queue in a forked child: its lock may be held by a thread that
  // did not survive the fork, and its consumer is gone.
  if (queue.queue_id < FIRST_OWN_QUEUE_ID.load(std::memory_order_relaxed)) return;
  // Nothing may hold events of a sealed queue or of a thread whose COLD is
  // gone (it is exiting); a re-entered slow path must not touch COLD.
  if (queue.sealed_.load(std::memory_order_acquire) || COLD_GONE || COLD.in_use) {
    queue.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Cold& cold = COLD;
  {
    ColdUse use(cold);
    if (!cold.producer || cold.owner_queue != queue.queue_id) {
      if (!init_producer(queue, cold, hot, now, tid)) {
        queue.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
      }
    } else {
      // The mirror is marked as changing before the batch can reach the
      // consumer, which may free it while HOT still points at it otherwise.
      SeqWrite w(hot);
      std::unique_ptr<EventBatch> batch = std::move(cold.current);
      if (batch) {
        const std::uint32_t n = filled(hot, *batch);
        batch->set_size(n);
        if (n != 0 && !cold.producer.try_push(batch)) {
          queue.dropped.fetch_add(n, std::memory_order_relaxed);
        }
      }
      if (batch) {
        batch->set_size(0);
        batch->base = now;
        batch->tid = tid;
      } else {
        batch = try_fresh(now, tid);
      }
      if (!batch) {
        mirror_none(hot);
        queue.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      cold.current = std::move(batch);
      hot.queue_id.store(queue.queue_id, MIRROR_STORE);
      mirror_into(hot, *cold.current);
    }
  }
  store_first(hot, word);
}

void EventQueue::retire(std::size_t index) noexcept {
  RingEntry& gone = shared_[index];
  gone.retired = true;
  if (gone.tid == UNKNOWN_TID) return;
  for (std::size_t i = index + 1; i < shared_.size(); ++i) {
    if (shared_[i].tid == gone.tid && shared_[i].older_same_tid != 0) --shared_[i].older_same_tid;
  }
}

std::unique_ptr<EventBatch> EventQueue::pop(RingEntry& e) noexcept {
  for (;;) {
    std::unique_ptr<EventBatch> batch = e.ring.try_pop();
    if (!batch || e.taken == 0) return batch;
    const std::uint32_t skip = std::min(e.taken, batch->size());
    e.taken = 0;
    PackedEvent* slots = batch->slots();
    std::copy(slots + skip, slots + batch->size(), slots);
    batch->set_size(batch->size() - skip);
    if (!batch->empty()) return batch;
  }
}

std::size_t EventQueue::drain_batches(std::vector<Drained>& out, std::size_t max) {
  std::lock_guard<std::mutex> g(lock_);
  const std::size_t n = shared_.size();
  if (n == 0) return 0;
  const std::size_t start = rotor_.fetch_add(1, std::memory_order_relaxed) % n;
  std::size_t taken = 0;
  // Empties ring `index`; false once `max` items are taken.
  auto empty_ring = [&](std::size_t index) {
    RingEntry& e = shared_[index];
    if (e.retired || e.older_same_tid != 0) return true;
    for (;;) {
      std::unique_ptr<EventBatch> batch = pop(e);
      if (!batch) {
        // The end is read before looking again: a push that preceded it is seen.
        const ProducerEnd end = e.ring.producer_end();
        if (end == ProducerEnd::Open) return true;
        batch = pop(e);
        if (!batch) {
          retire(index);
          if (end == ProducerEnd::Exited) {
            out.push_back(Drained{nullptr, e.tid, e.serial});
            ++taken;
          }
          return taken < max || taken == 0;
        }
      }
      out.push_back(Drained{std::move(batch), e.tid, e.serial});
      if (++taken >= max) return false;
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (!empty_ring((start + i) % n)) break;
  }
  std::erase_if(shared_, [](const RingEntry& e) { return e.retired; });
  return taken;
}

std::vector<EventBatch> EventQueue::read_tails() const {
  std::vector<EventBatch> tails;
  std::lock_guard<std::mutex> registry(RECORDERS->lock);
  // Held so that no batch taken from a ring is freed while it is copied.
  std::lock_guard<std::mutex> rings(lock_);
  for (const Recorder& r : RECORDERS->entries) {
    EventBatch copy(0, 0, 0);
    const bool stable =
        read_mirror(*r.hot, queue_id, [&copy](const MirrorView& v) { copy = copy_view(v, 0); });
    if (stable && !copy.empty()) tails.push_back(std::move(copy));
  }
  return tails;
}

bool EventQueue::take_tail(RingEntry& e, std::vector<Drained>& out, std::size_t max) {
  while (out.size() < max) {
    std::unique_ptr<EventBatch> batch = pop(e);
    if (!batch) break;
    out.push_back(Drained{std::move(batch), e.tid, e.serial});
  }
  if (out.size() >= max) return false;
  EventBatch copy(0, 0, 0);
  std::uint32_t filled_to = e.taken;
  const bool stable = read_mirror(*e.hot, queue_id, [&](const MirrorView& v) {
    copy = copy_view(v, e.taken);
    filled_to = e.taken + copy.size();
  });
  // A batch that reached the ring meanwhile may be the one copied or come
  // before it; either way the copy is not known to be the front of the rest.
  if (!stable || !e.ring.empty()) return false;
  if (!copy.empty()) {
    out.push_back(Drained{std::make_unique<EventBatch>(std::move(copy)), e.tid, e.serial});
    e.taken = filled_to;
  }
  return true;
}

std::optional<std::uint64_t> EventQueue::take_tails(std::vector<Drained>& out, std::size_t max,
                                                    std::uint64_t now) {
  std::lock_guard<std::mutex> registry(RECORDERS->lock);
  std::lock_guard<std::mutex> rings(lock_);
  std::uint64_t oldest = now;
  for (RingEntry& e : shared_) {
    // A ring still Open under RECORDERS' lock has a live producer: its
    // thread closes it in that lock before it exits or moves on.
    if (e.older_same_tid == 0 && e.ring.producer_end() == ProducerEnd::Open &&
        !take_tail(e, out, max)) {
      return std::nullopt;
    }
    e.ring.for_each_queued(
        [&](const std::unique_ptr<EventBatch>& b) { oldest = std::min(oldest, b->base); });
  }
  return oldest;
}

void EventQueue::close() noexcept {
  sealed_.store(true, std::memory_order_seq_cst);
  dropped.fetch_add(flush_threads_of(queue_id), std::memory_order_relaxed);
  closed_.store(true, std::memory_order_seq_cst);
}

}  // namespace fennik
