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

// The thread's next batch, empty from `base` on: one its consumer gave back,
// else a new one; null when memory ran out.
std::unique_ptr<EventBatch> next_batch(BatchProducer& producer, std::uint64_t base,
                                       std::uint32_t tid) noexcept {
  std::unique_ptr<EventBatch> batch = producer.take_spare();
  if (!batch) return try_fresh(base, tid);
  batch->base = base;
  batch->tid = tid;
  batch->lost_before = 0;
  batch->lost_tick = 0;
  batch->skip = 0;
  batch->set_size(0);
  return batch;
}

// The first events of a batch: delta 0 from the buffer start on.
void store_first(Hot& hot, std::span<const std::uint32_t> words) noexcept {
  PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < words.size(); ++i) {
    store_slot(cursor + i, PackedEvent::pack(0, words[i]));
  }
  hot.cursor.store(cursor + words.size(), std::memory_order_release);
}

// What one consistent look at a thread's mirror saw.
struct MirrorView {
  const PackedEvent* start;
  std::uint32_t count;  // 0: no partial batch in the queue asked about
  std::uint64_t base;
  std::uint32_t tid;
  std::uint64_t lost_before;
  std::uint64_t lost_tick;
};

// Reads `hot`'s mirror under its sequence counter and passes it to `look`,
// which must only read; true once a look was not torn by the owner changing
// the mirror meanwhile, false after TAIL_READ_ATTEMPTS torn looks. The batch
// looked at stays allocated: it is freed only under RECORDERS' lock, which the
// caller holds, or after a consumer takes it from a list under the queue's
// lock, which the caller holds too when `look` touches the events.
template <class Look>
bool read_mirror(const Hot& hot, std::uint64_t queue_id, Look&& look) {
  for (int attempt = 0; attempt < TAIL_READ_ATTEMPTS; ++attempt) {
    const std::uint64_t seq = hot.seq.load(std::memory_order_acquire);
    if (seq & 1) {
      cpu_relax();
      continue;
    }
    MirrorView view{nullptr, 0, 0, 0, 0, 0};
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
        view.lost_before = hot.lost_before.load(MIRROR_LOAD);
        view.lost_tick = hot.lost_tick.load(MIRROR_LOAD);
      }
    }
    look(view);
    seq_read_barrier();
    if (hot.seq.load(std::memory_order_relaxed) == seq) return true;
  }
  return false;
}

// A copy of the events of `v` from index `from` on (none when it holds no
// more), with the mirrored batch's base, so deltas keep their meaning, and
// from the start, with the gap before them.
EventBatch copy_view(const MirrorView& v, std::uint32_t from) {
  const std::uint32_t to = std::max(v.count, from);
  EventBatch copy(to - from, v.base, v.tid);
  for (std::uint32_t i = from; i < to; ++i) {
    copy.slots()[i - from] = load_slot(v.start + i, MIRROR_LOAD);
  }
  copy.set_size(to - from);
  if (from == 0) {
    copy.lost_before = v.lost_before;
    copy.lost_tick = v.lost_tick;
  }
  return copy;
}

// Lowers `oldest` to the tick of the first event of `hot`'s partial batch in
// queue `queue_id` that no tail reader has moved on: an empty batch's base is
// the tick of the event its thread is about to store. False when the batch
// could not be read consistently. The caller holds what read_mirror asks.
bool lower_to_partial(const Hot& hot, std::uint64_t queue_id, std::uint64_t& oldest) {
  std::uint64_t first = oldest;
  const bool stable = read_mirror(hot, queue_id, [&](const MirrorView& v) {
    const auto moved = static_cast<std::uint32_t>(hot.tail_taken.load(std::memory_order_acquire));
    first = oldest;
    if (v.start != nullptr && v.count == 0) first = v.base;
    if (moved < v.count) first = v.base + load_slot(v.start + moved, MIRROR_LOAD).delta();
  });
  if (stable) oldest = std::min(oldest, first);
  return stable;
}

// Empties `batch`, whose events not moved on found no room, for reuse from
// `now` on: they join the gap its next events will follow. Returns how many
// were lost.
std::uint32_t restart_after_loss(EventBatch& batch, std::uint64_t now, std::uint32_t tid) noexcept {
  const std::uint32_t lost = batch.size() - batch.skip;
  if (lost != 0 && batch.lost_before == 0) {
    batch.lost_tick = batch.base + batch.slots()[batch.skip].delta();
  }
  batch.lost_before += lost;
  batch.set_size(0);
  batch.skip = 0;
  batch.base = now;
  batch.tid = tid;
  return lost;
}

}  // namespace

EventQueue::EventQueue(const Clock& c, std::uint64_t budget)
    : queue_id(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed)),
      clock(c),
      budget_bytes(budget) {}

bool EventQueue::hand_over(BatchProducer& producer, OwnedBatch& batch, BudgetUse use) noexcept {
  const std::uint64_t waiting =
      buffered_.fetch_add(QUEUED_BATCH_BYTES, std::memory_order_relaxed) + QUEUED_BATCH_BYTES;
  if ((use == BudgetUse::Within && waiting > budget_bytes) || !producer.push(batch)) {
    buffered_.fetch_sub(QUEUED_BATCH_BYTES, std::memory_order_relaxed);
    return false;
  }
  std::uint64_t peak = peak_buffered_.load(std::memory_order_relaxed);
  while (waiting > peak &&
         !peak_buffered_.compare_exchange_weak(peak, waiting, std::memory_order_relaxed)) {
  }
  // Rung once per crossing of the mark, not for every batch above it.
  const std::uint64_t mark = budget_bytes / WAKE_AT_BUDGET_DIVISOR;
  if (waiting >= mark && waiting - QUEUED_BATCH_BYTES < mark) doorbell_.ring();
  return true;
}

bool EventQueue::init_producer(EventQueue& queue, Cold& cold, Hot& hot, std::uint64_t now,
                               std::uint32_t tid) noexcept {
  BatchProducer producer;
  BatchConsumer consumer;
  try {
    std::tie(producer, consumer) = make_thread_batches();
  } catch (const std::bad_alloc&) {
    return false;
  }
  // An empty batch left by a flush is reused; one with events, or a gap to
  // show, still goes to its own list. Looked at under RECORDERS' lock: the
  // previous queue's session-end flush may be taking it over meanwhile (it
  // leaves an empty batch as it is).
  bool reuse = false;
  {
    std::lock_guard<std::mutex> g(RECORDERS->lock);
    reuse = cold.current && filled(hot, *cold.current) == 0 && cold.current->lost_before == 0;
  }
  std::unique_ptr<EventBatch> batch = reuse ? nullptr : try_fresh(now, tid);
  if ((!reuse && !batch) || !register_current()) return false;
  {
    std::lock_guard<std::mutex> g(queue.lock_);
    // Batches of a thread whose id is unknown cannot be confused by id, so
    // such lists are not held back.
    std::uint32_t older = 0;
    if (tid != UNKNOWN_TID) {
      for (const ListEntry& e : queue.shared_) older += e.tid == tid && !e.retired;
    }
    try {
      queue.shared_.push_back(
          ListEntry{std::move(consumer), tid, thread_serial(), older, false, &hot});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  // Under RECORDERS' lock: the previous batch may be freed here while a tail
  // reader of its queue looks at it otherwise, and a session-end flush of the
  // previous queue sees either the batch or that it is in the list.
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  // A session-end flush that did not wait for this thread (it was not
  // registered yet, or not marked) is over: nothing may hold events of a
  // sealed queue.
  if (queue.sealed()) return false;
  if (reuse) {
    batch = std::move(cold.current);
    batch->base = now;
    batch->tid = tid;
  } else if (cold.current) {
    const std::uint32_t left = take_back_tail(hot, *cold.current);
    // The previous queue's last batch from this thread: past its budget too.
    const std::shared_ptr<EventQueue> previous = cold.owner.lock();
    if (!previous || !cold.producer ||
        !previous->hand_over(cold.producer, cold.current, BudgetUse::Exceed)) {
      count_lost(cold, left);
    }
    cold.current.reset();
  }
  cold.producer = std::move(producer);  // marks the previous list Detached
  cold.owner = queue.weak_from_this();
  cold.owner_queue = queue.queue_id;
  cold.current = std::move(batch);
  SeqWrite w(hot);
  hot.queue_id.store(queue.queue_id, MIRROR_STORE);
  mirror_into(hot, *cold.current);
  return true;
}

void EventQueue::slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                           std::span<const std::uint32_t> words) noexcept {
  if (words.empty() || words.size() > BATCH_CAPACITY) return;
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
        // Nothing left to hand over and no gap to show: the batch is reused.
        const std::uint32_t left = take_back_tail(hot, *batch);
        if ((left == 0 && batch->lost_before == 0) ||
            !queue.hand_over(cold.producer, batch, BudgetUse::Within)) {
          queue.dropped.fetch_add(restart_after_loss(*batch, now, tid), std::memory_order_relaxed);
        }
      }
      if (!batch) batch = next_batch(cold.producer, now, tid);
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
  store_first(hot, words);
}

void record_guarded(EventQueue& queue, std::uint64_t now, std::uint32_t word) noexcept {
  Hot& hot = HOT;
  // Marked before the seal is looked at, and both sequentially consistent,
  // as close() seals and then looks at the mark: either this step sees the
  // seal, or the flush sees the step and waits for it to end. Steps never
  // nest: record calls nothing that records.
  const std::uint32_t step = hot.recording.load(std::memory_order_relaxed) + 1;
  hot.recording.store(step, std::memory_order_seq_cst);
  if (queue.sealed()) {
    queue.dropped.fetch_add(1, std::memory_order_relaxed);
  } else {
    record(queue, now, word);
  }
  hot.recording.store(step + 1, std::memory_order_release);
}

void EventQueue::retire(std::size_t index) noexcept {
  ListEntry& gone = shared_[index];
  gone.retired = true;
  if (gone.tid == UNKNOWN_TID) return;
  for (std::size_t i = index + 1; i < shared_.size(); ++i) {
    if (shared_[i].tid == gone.tid && shared_[i].older_same_tid != 0) --shared_[i].older_same_tid;
  }
}

std::unique_ptr<EventBatch> EventQueue::pop(ListEntry& e) noexcept {
  for (;;) {
    std::unique_ptr<EventBatch> batch = e.list.try_pop();
    if (!batch) return batch;
    buffered_.fetch_sub(QUEUED_BATCH_BYTES, std::memory_order_relaxed);
    if (batch->skip == 0) return batch;
    const std::uint32_t skip = std::min(batch->skip, batch->size());
    batch->skip = 0;
    PackedEvent* slots = batch->slots();
    std::copy(slots + skip, slots + batch->size(), slots);
    batch->set_size(batch->size() - skip);
    if (!batch->empty()) return batch;
  }
}

void EventQueue::recycle(std::vector<OwnedBatch>& spent) noexcept {
  {
    std::lock_guard<std::mutex> g(lock_);
    const std::uint64_t limit = budget_bytes / SPARES_BUDGET_DIVISOR / QUEUED_BATCH_BYTES;
    std::uint64_t held = 0;
    for (const ListEntry& e : shared_) held += e.list.spares();
    // A thread's batches come together, so the list found last is tried first.
    ListEntry* home = nullptr;
    for (OwnedBatch& batch : spent) {
      if (held >= limit) break;
      // Tail copies are sized to what they hold: only whole batches are refilled.
      if (!batch || batch->capacity() != BATCH_CAPACITY) continue;
      if (home == nullptr || home->tid != batch->tid) {
        home = nullptr;
        for (ListEntry& e : shared_) {
          if (e.tid == batch->tid && !e.retired && e.list.producer_end() == ProducerEnd::Open) {
            home = &e;
            break;
          }
        }
      }
      if (home != nullptr && home->list.give_spare(batch)) ++held;
    }
  }
  spent.clear();  // what found no place is freed outside the lock
}

std::size_t EventQueue::drain_batches(std::vector<Drained>& out, std::size_t max) {
  std::lock_guard<std::mutex> g(lock_);
  const std::size_t n = shared_.size();
  if (n == 0) return 0;
  const std::size_t start = rotor_.fetch_add(1, std::memory_order_relaxed) % n;
  std::size_t taken = 0;
  std::size_t retired = 0;
  // Empties list `index`; false once `max` items are taken.
  auto empty_list = [&](std::size_t index) {
    ListEntry& e = shared_[index];
    if (e.retired || e.older_same_tid != 0) return true;
    for (;;) {
      std::unique_ptr<EventBatch> batch = pop(e);
      if (!batch) {
        // The end is read before looking again: a push that preceded it is seen.
        const ProducerEnd end = e.list.producer_end();
        if (end == ProducerEnd::Open) return true;
        batch = pop(e);
        if (!batch) {
          retire(index);
          ++retired;
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
  // A list held back behind one retired in a pass gets its turn in the next.
  for (bool full = false; !full;) {
    const std::size_t retired_before = retired;
    for (std::size_t i = 0; i < n && !full; ++i) full = !empty_list((start + i) % n);
    if (retired == retired_before) break;
  }
  std::erase_if(shared_, [](const ListEntry& e) { return e.retired; });
  return taken;
}

std::vector<EventBatch> EventQueue::read_tails() const {
  std::vector<EventBatch> tails;
  std::lock_guard<std::mutex> registry(RECORDERS->lock);
  // Held so that no batch taken from a list is freed while it is copied.
  std::lock_guard<std::mutex> lists(lock_);
  for (const RecordingThread& r : RECORDERS->entries) {
    EventBatch copy(0, 0, 0);
    const bool stable =
        read_mirror(*r.hot, queue_id, [&copy](const MirrorView& v) { copy = copy_view(v, 0); });
    if (stable && !copy.empty()) tails.push_back(std::move(copy));
  }
  return tails;
}

bool EventQueue::take_tail(ListEntry& e, std::vector<Drained>& out, std::size_t max) {
  while (out.size() < max) {
    std::unique_ptr<EventBatch> batch = pop(e);
    if (!batch) break;
    out.push_back(Drained{std::move(batch), e.tid, e.serial});
  }
  if (out.size() >= max) return false;
  EventBatch copy(0, 0, 0);
  std::uint64_t word = 0;
  const bool stable = read_mirror(*e.hot, queue_id, [&](const MirrorView& v) {
    word = e.hot->tail_taken.load(std::memory_order_acquire);
    copy = copy_view(v, static_cast<std::uint32_t>(word));
  });
  // A batch that reached the list meanwhile may be the one copied or come
  // before it; either way the copy is not known to be the front of the rest.
  if (!stable || !e.list.empty()) return false;
  if (copy.empty()) return true;
  // Fails when the owner replaced the batch since: it has already taken
  // back how many were moved on, so this copy must not be.
  if (!e.hot->tail_taken.compare_exchange_strong(word, word + copy.size(),
                                                 std::memory_order_acq_rel)) {
    return false;
  }
  out.push_back(Drained{std::make_unique<EventBatch>(std::move(copy)), e.tid, e.serial});
  return true;
}

std::optional<std::uint64_t> EventQueue::take_tails(std::vector<Drained>& out, std::size_t max,
                                                    std::uint64_t now) {
  std::lock_guard<std::mutex> registry(RECORDERS->lock);
  std::lock_guard<std::mutex> lists(lock_);
  const std::size_t n = shared_.size();
  const std::size_t start = n == 0 ? 0 : tail_start_ % n;
  std::optional<std::size_t> no_room;
  std::uint64_t oldest = now;
  bool known = true;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t index = (start + i) % n;
    ListEntry& e = shared_[index];
    // A list still Open under RECORDERS' lock has a live producer: its
    // thread closes it in that lock before it exits or moves on.
    if (e.list.producer_end() == ProducerEnd::Open) {
      // Held back behind an older list of its thread id, raced with its
      // thread or found no room: what its partial batch holds waits, and the
      // floor with it.
      const bool taken = e.older_same_tid == 0 && out.size() < max && take_tail(e, out, max);
      if (!taken) {
        if (!no_room && out.size() >= max) no_room = index;
        known = lower_to_partial(*e.hot, queue_id, oldest) && known;
      }
    }
    e.list.for_each_queued([&](const EventBatch& b) { oldest = std::min(oldest, b.base); });
  }
  // The next call begins with the first list this one had no room for, so
  // every list has its turn however many there are.
  tail_start_ = no_room.value_or(start + 1);
  if (!known) return std::nullopt;
  return oldest;
}

std::optional<std::uint64_t> EventQueue::oldest_unconsumed(std::uint64_t now) const {
  std::lock_guard<std::mutex> registry(RECORDERS->lock);
  std::lock_guard<std::mutex> lists(lock_);
  std::uint64_t oldest = now;
  for (const RecordingThread& r : RECORDERS->entries) {
    if (!lower_to_partial(*r.hot, queue_id, oldest)) return std::nullopt;
  }
  for (const ListEntry& e : shared_) {
    e.list.for_each_queued([&](const EventBatch& b) { oldest = std::min(oldest, b.base); });
  }
  return oldest;
}

void EventQueue::close() noexcept {
  sealed_.store(true, std::memory_order_seq_cst);
  dropped.fetch_add(flush_threads_of(queue_id), std::memory_order_relaxed);
  closed_.store(true, std::memory_order_seq_cst);
  doorbell_.ring();
}

}  // namespace fennik
