#include "tls.hpp"

#include <algorithm>
#include <thread>

#include "evqueue.hpp"

namespace fennik {

constinit thread_local Hot HOT FENNIK_HOT_TLS;
// Constant-initialised: a thread's first use only registers its destructor.
constinit thread_local Cold COLD;
thread_local bool COLD_GONE = false;
constinit NoDestroy<RecorderList> RECORDERS;
std::atomic<std::uint64_t> FIRST_OWN_QUEUE_ID{0};

SeqWrite::SeqWrite(Hot& hot) noexcept : hot_(hot), seq_(hot.seq.load(std::memory_order_relaxed)) {
  hot_.seq.store(seq_ + 1, std::memory_order_relaxed);
  seq_write_barrier();
}

SeqWrite::~SeqWrite() {
  hot_.seq.store(seq_ + 2, std::memory_order_release);
}

void mirror_into(Hot& hot, EventBatch& batch) noexcept {
  PackedEvent* start = batch.slots();
  hot.base.store(batch.base, MIRROR_STORE);
  hot.tid.store(batch.tid, MIRROR_STORE);
  hot.lost_before.store(batch.lost_before, MIRROR_STORE);
  hot.lost_tick.store(batch.lost_tick, MIRROR_STORE);
  hot.end.store(start + BATCH_CAPACITY, MIRROR_STORE);
  hot.cursor.store(start + batch.size(), std::memory_order_release);
}

void mirror_none(Hot& hot) noexcept {
  hot.cached_code.store(NO_CODE, std::memory_order_relaxed);
  hot.queue_id.store(0, MIRROR_STORE);
  hot.end.store(nullptr, MIRROR_STORE);
  hot.cursor.store(nullptr, std::memory_order_release);
}

std::uint32_t take_back_tail(Hot& hot, EventBatch& batch) noexcept {
  constexpr unsigned NUMBER_SHIFT = 32;
  const std::uint32_t n = filled(hot, batch);
  const std::uint64_t number = hot.tail_taken.load(std::memory_order_relaxed) >> NUMBER_SHIFT;
  const std::uint64_t previous =
      hot.tail_taken.exchange((number + 1) << NUMBER_SHIFT, std::memory_order_acq_rel);
  batch.set_size(n);
  batch.skip = static_cast<std::uint32_t>(previous);
  if (batch.skip != 0) batch.lost_before = 0;
  return n - batch.skip;
}

std::uint32_t filled(const Hot& hot, const EventBatch& batch) noexcept {
  const PackedEvent* start = batch.slots();
  if (hot.end.load(std::memory_order_relaxed) != start + BATCH_CAPACITY) return 0;
  return static_cast<std::uint32_t>(hot.cursor.load(std::memory_order_relaxed) - start);
}

void count_lost(const Cold& cold, std::uint64_t lost) noexcept {
  if (lost == 0) return;
  if (std::shared_ptr<EventQueue> queue = cold.owner.lock()) {
    queue->dropped.fetch_add(lost, std::memory_order_relaxed);
  }
}

namespace {

// Hands the partial current batch to the list and points HOT at nothing, so
// the thread's next event takes the slow path; a batch that cannot be handed
// over stays, emptied, for reuse. The budget does not apply: this is a
// thread's last batch in the queue, or the session's. Returns the events
// lost. Runs under RECORDERS' lock, which orders it with tail readers and
// with the session-end flush.
std::uint64_t flush_partial(Cold& cold, Hot& hot) noexcept {
  if (!cold.current) return 0;
  EventBatch& batch = *cold.current;
  const std::uint32_t left = take_back_tail(hot, batch);
  {
    SeqWrite w(hot);
    mirror_none(hot);
  }
  if (left != 0 || batch.lost_before != 0) {
    const std::shared_ptr<EventQueue> queue = cold.owner.lock();
    if (queue && cold.producer &&
        queue->hand_over(cold.producer, cold.current, BudgetUse::Exceed)) {
      return 0;
    }
  }
  // Nothing to show, or it could not be handed over: emptied for reuse.
  batch.set_size(0);
  batch.lost_before = 0;
  batch.skip = 0;
  return left;
}

}  // namespace

Cold::~Cold() {
  {
    // Leaving the registry and flushing under one lock: a session-end flush
    // either sees this thread still registered or finds its batch already in
    // the list, so the drain after the queue's close sees every event.
    std::lock_guard<std::mutex> g(RECORDERS->lock);
    auto& list = RECORDERS->entries;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const RecordingThread& r) { return r.cold == this; }),
               list.end());
    count_lost(*this, flush_partial(*this, HOT));
    // Inside the lock: whoever sees the list still open under it may read HOT.
    producer.close(ProducerEnd::Exited);
  }
  COLD_GONE = true;
}

namespace {
std::atomic<std::uint64_t> NEXT_THREAD_SERIAL{1};
constinit thread_local std::uint64_t THREAD_SERIAL = 0;
}  // namespace

std::uint64_t thread_serial() noexcept {
  if (THREAD_SERIAL == 0)
    THREAD_SERIAL = NEXT_THREAD_SERIAL.fetch_add(1, std::memory_order_relaxed);
  return THREAD_SERIAL;
}

bool register_current() noexcept {
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  auto& list = RECORDERS->entries;
  const bool present = std::any_of(list.begin(), list.end(),
                                   [](const RecordingThread& r) { return r.cold == &COLD; });
  if (present) return true;
  try {
    list.push_back(RecordingThread{&COLD, &HOT});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::uint64_t flush_threads_of(std::uint64_t queue_id) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + FLUSH_WAIT_LIMIT;
  std::uint64_t lost = 0;
  for (int round = 0;; ++round) {
    bool waiting = false;
    {
      std::lock_guard<std::mutex> g(RECORDERS->lock);
      const bool late = std::chrono::steady_clock::now() >= deadline;
      for (const RecordingThread& r : RECORDERS->entries) {
        // Sequentially consistent, as is the store that publishes a cached
        // code and its look at the seal after it (see publish_cached_code).
        r.hot->cached_code.store(NO_CODE, std::memory_order_seq_cst);
        Cold& cold = *r.cold;
        if (cold.owner_queue != queue_id) continue;
        if (cold.flush_queue != queue_id) {
          cold.flush_queue = queue_id;
          cold.flush_step = FLUSH_NOT_SEEN;
        }
        if (cold.flush_step == FLUSH_DONE) continue;
        // Read as the step marks itself: a step that begins after a look
        // sees the seal (see record_guarded), and what an ended one wrote is
        // seen here. So the thread is flushed once it is seen outside a
        // step, or in another one than first seen.
        const std::uint32_t step = r.hot->recording.load(std::memory_order_seq_cst);
        if (step % 2 != 0 && (cold.flush_step == FLUSH_NOT_SEEN || cold.flush_step == step)) {
          cold.flush_step = step;
          waiting = !late;
          continue;
        }
        lost += flush_partial(cold, *r.hot);
        cold.flush_step = FLUSH_DONE;
      }
    }
    if (!waiting) return lost;
    if (round < FLUSH_WAIT_SPINS) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(FLUSH_WAIT_SLEEP);
    }
  }
}

void forget_cached_codes() noexcept {
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  for (const RecordingThread& r : RECORDERS->entries) {
    r.hot->cached_code.store(NO_CODE, std::memory_order_seq_cst);  // see publish_cached_code
  }
}

void abandon_after_fork() noexcept {
  // The vanished threads may have held RECORDERS' lock or been changing its
  // list, so both are replaced without being destroyed: what they owned is
  // leaked on purpose.
  std::construct_at(&RECORDERS.value);
  // Every existing queue is the parent's; its lock may be held by a vanished
  // thread, so the slow path must not touch it.
  FIRST_OWN_QUEUE_ID.store(NEXT_QUEUE_ID.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
  // This thread's list and batch belong to the parent's session, whose
  // consumer may have vanished mid-operation on them: leaked as well.
  Cold& cold = COLD;
  // The child's thread has an id of its own, and no batch yet of which a
  // tail reader could have taken a part.
  HOT.tid.store(UNKNOWN_TID, std::memory_order_relaxed);
  HOT.tail_taken.store(0, std::memory_order_relaxed);
  std::construct_at(&cold.producer);
  std::construct_at(&cold.owner);
  (void)cold.current.release();
  cold.owner_queue = 0;
  SeqWrite w(HOT);
  mirror_none(HOT);
}

void hold_registry_for_fork() noexcept {
  RECORDERS->lock.lock();
}

void release_registry_after_fork() noexcept {
  RECORDERS->lock.unlock();
}

}  // namespace fennik
