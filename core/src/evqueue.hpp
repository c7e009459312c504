// The per-session hub of thread batch lists, and the recording step that feeds it.
//
// How a thread's events reach the consumer (the serializer, or the flight
// recorder), and what guards each part:
//
//   recording thread                          consumer thread
//   HOT   cursor end base seq ...   <--seq--  tail readers (read_tails,
//    | mirrors the batch being filled         take_tails, oldest_unconsumed)
//   COLD  current --full--> producer ==list==> consumer --> drain_batches
//                           (one list per thread and queue)
//   RECORDERS: COLD and HOT of each           EventQueue::shared_: the lists'
//   thread that recorded and lives            consumer ends, with their HOT
//
// - HOT (tls.hpp) is written by its thread: an event, then `cursor` with a
//   release store. The rest of the mirror (base, tid, end, queue_id, the gap)
//   is replaced only inside a SeqWrite, which makes `seq` odd; a reader
//   retries while `seq` is odd or has moved. Other threads also empty
//   `cached_code`, under RECORDERS' lock, and move `tail_taken`'s low half on
//   by compare-exchange; its thread exchanges the high half, the batch number.
// - COLD is its thread's alone, but for the session-end flush, which takes
//   RECORDERS' lock and waits for a guarded recording step (HOT's
//   `recording`) a thread is inside; one that begins later sees the seal.
//   An unguarded step (record) must be ordered with the flush otherwise.
// - A list has one producer (COLD's end; a push publishes its node with a
//   release store of `next`) and one consumer (acquire loads); its producer
//   end says whether more may come.
// - shared_, and every consumer end in it: the queue's lock.
// - RECORDERS' list: its lock, taken before a queue's lock, never after.
// - A batch HOT mirrors is freed only under RECORDERS' lock, or once the
//   consumer has popped it under the queue's lock: tail readers hold both.
//   One refilled in place moves `seq`. A batch the consumer has written may
//   come back to its thread (recycle, under the queue's lock) and be
//   mirrored again, inside a SeqWrite like any other.
// - dropped and the budget's count are relaxed atomics; sealed_ and closed_
//   are stored sequentially consistent, then read with acquire.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "clock.hpp"
#include "doorbell.hpp"
#include "event.hpp"
#include "thread_batches.hpp"
#include "tls.hpp"

namespace fennik {

// A tail read that keeps colliding with its writer gives up after this many tries.
inline constexpr int TAIL_READ_ATTEMPTS = 8;
// Memory for batches waiting to be written, across all threads of a session,
// unless the tracer is given another figure.
inline constexpr std::uint64_t DEFAULT_BUFFER_BYTES = std::uint64_t{256} << 20;
// What one waiting batch costs: its events, the batch and its list node.
inline constexpr std::uint64_t QUEUED_BATCH_BYTES =
    BATCH_BYTES + sizeof(EventBatch) + sizeof(batches::Node);
// The consumer is woken early once this fraction of the budget is waiting.
inline constexpr std::uint64_t WAKE_AT_BUDGET_DIVISOR = 8;
// Written batches kept for their threads to refill, across a session, at
// most this fraction of the budget (in QUEUED_BATCH_BYTES each): what waits
// between two rounds in steady state stays below the wake-up mark.
inline constexpr std::uint64_t SPARES_BUDGET_DIVISOR = WAKE_AT_BUDGET_DIVISOR;

// Whether a batch handed to a thread's list may take memory past the budget.
enum class BudgetUse : std::uint8_t { Within, Exceed };

// Ids of queues; 0 never names one, so a HOT with queue id 0 records nowhere.
extern std::atomic<std::uint64_t> NEXT_QUEUE_ID;

// What draining hands on: a batch, or (batch null) the notice that thread
// `tid`, incarnation `serial` (see thread_serial), has exited and every batch
// of it came before. Value-initialised it is nothing.
struct Drained {
  std::unique_ptr<EventBatch> batch;
  std::uint32_t tid = 0;
  std::uint64_t serial = 0;

  explicit operator bool() const noexcept { return batch != nullptr || serial != 0; }
};

class alignas(CACHE_LINE_BYTES) EventQueue : public std::enable_shared_from_this<EventQueue> {
 public:
  EventQueue(const Clock& clock, std::uint64_t budget_bytes);
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Queues are always shared: threads hold them weakly to count late losses.
  static std::shared_ptr<EventQueue> create(const Clock& clock,
                                            std::uint64_t budget_bytes = DEFAULT_BUFFER_BYTES) {
    return std::make_shared<EventQueue>(clock, budget_bytes);
  }

  const std::uint64_t queue_id;
  const Clock clock;
  // Full batches may wait in threads' lists up to this many bytes in all
  // (QUEUED_BATCH_BYTES each); past it a full batch's events are dropped.
  const std::uint64_t budget_bytes;
  // Events that will not reach the consumer: every one handed to record()
  // and lost past the budget, to a lack of memory or to a closed queue, plus
  // whatever the tracer adds for events it could not hand to record().
  std::atomic<std::uint64_t> dropped{0};

  // The recording step's slow side: the thread's first event in this queue, a
  // full batch, a delta that does not fit in 32 bits, or a thread whose HOT
  // points at nothing.
  static void slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                        std::uint32_t word) noexcept {
    slow_path(queue, hot, now, tid, std::span<const std::uint32_t>(&word, 1));
  }
  // The same for a group of words stored at one tick, all in the same batch
  // (at most BATCH_CAPACITY of them).
  static void slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                        std::span<const std::uint32_t> words) noexcept;

  // Moves items out of the lists, round-robin from a rotating start, emptying
  // each list before visiting the next; stops once `max` are taken (but takes
  // one whenever one is available). A list whose thread has gone is removed
  // once empty, with an exit notice when the thread exited. A list is not
  // visited while an older list of the same thread id is still here, so one
  // id's batches and notices leave in the order its threads made them.
  // Only the consumer calls this. Returns the number appended.
  std::size_t drain_batches(std::vector<Drained>& out, std::size_t max);

  // Copies of the partly filled batches of threads recording into this queue,
  // taken without stopping them; at most one per registered thread.
  std::vector<EventBatch> read_tails() const;

  // Moves into `out` what waits in the lists of threads still recording
  // here, each followed by the part of that thread's partial batch not moved
  // before, so that a thread that stops recording does not hold its events
  // back; the rest of that batch follows when it leaves the list. Stops once
  // `out` holds `max`; the next call begins with the first list this one had
  // no room for. A list whose thread changes its batch meanwhile is passed
  // over. Returns the smallest of `now`, the base tick of every batch left in
  // a list and the tick of the first event not moved on of every partial
  // batch passed over; nothing when one of those could not be read
  // consistently. Only the consumer calls this.
  std::optional<std::uint64_t> take_tails(std::vector<Drained>& out, std::size_t max,
                                          std::uint64_t now);

  // The smallest of `now` and the base tick of every batch still in a list
  // or being filled by a thread recording here, found without taking or
  // copying anything; nothing when a thread's batch could not be read
  // consistently.
  std::optional<std::uint64_t> oldest_unconsumed(std::uint64_t now) const;

  // Ends recording into the queue: later events are counted as dropped, every
  // thread's partial batch is handed to its list, then the consumer may finish
  // once the lists are empty. A thread may meanwhile be inside a guarded
  // recording step (record_guarded), which close waits for, but not inside an
  // unguarded one into this queue.
  void close() noexcept;
  bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
  // Whether close() has begun: a guarded recording step records nothing then.
  bool sealed() const noexcept { return sealed_.load(std::memory_order_seq_cst); }

  std::uint64_t recycle_floor() const noexcept {
    return recycle_floor_.load(std::memory_order_acquire);
  }
  void publish_recycle_floor(std::uint64_t tick) noexcept {
    recycle_floor_.store(tick, std::memory_order_release);
  }

  // Gives the written batches in `spent` back to the lists of their threads
  // (by thread id) for reuse, as far as the session's limit on spares and
  // each list's room allow, and frees the rest; `spent` is left empty. Only
  // the consumer calls this.
  void recycle(std::vector<OwnedBatch>& spent) noexcept;

  // Appends `batch` to a thread's list and counts it as waiting; false, with
  // the batch left to the caller, past the budget (unless `use` allows it)
  // or when memory ran out.
  bool hand_over(BatchProducer& producer, OwnedBatch& batch, BudgetUse use) noexcept;
  // The most bytes that waited at once (see budget_bytes).
  std::uint64_t peak_buffered_bytes() const noexcept {
    return peak_buffered_.load(std::memory_order_relaxed);
  }
  // The consumer's sleep between rounds: returns after `timeout`, or sooner
  // once a good part of the budget waits or the queue closes.
  void wait_for_work(std::chrono::nanoseconds timeout) { doorbell_.wait_for(timeout); }
  // Ends the consumer's current or next sleep: something other than events
  // needs it.
  void wake() noexcept { doorbell_.ring(); }

 private:
  struct ListEntry {
    BatchConsumer list;
    std::uint32_t tid;
    std::uint64_t serial;
    std::uint32_t older_same_tid;  // lists of the same thread id ahead of this one
    bool retired;
    // The producer's HOT; valid under RECORDERS' lock while the list is Open.
    Hot* hot;
  };

  // Creates the calling thread's list and first batch; false when memory ran out.
  static bool init_producer(EventQueue& queue, Cold& cold, Hot& hot, std::uint64_t now,
                            std::uint32_t tid) noexcept;
  void retire(std::size_t index) noexcept;
  // The next batch of `e`'s list without the events a tail reader moved on.
  std::unique_ptr<EventBatch> pop(ListEntry& e) noexcept;
  bool take_tail(ListEntry& e, std::vector<Drained>& out, std::size_t max);

  mutable std::mutex lock_;
  std::vector<ListEntry> shared_;  // guarded by lock_; registration order
  std::atomic<std::uint64_t> rotor_{0};
  std::size_t tail_start_ = 0;  // guarded by lock_: where take_tails begins
  std::atomic<bool> sealed_{false};
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> recycle_floor_{0};
  std::atomic<std::uint64_t> buffered_{0};
  std::atomic<std::uint64_t> peak_buffered_{0};
  Doorbell doorbell_;
};

// The recording step's fast side, for a caller that knows HOT mirrors a batch
// of the queue it records into: one store of the packed event and a release
// store of the cursor. False, with nothing stored, when the batch is full or
// the delta does not fit in 32 bits.
inline bool try_store(Hot& hot, std::uint64_t now, std::uint32_t word) noexcept {
  PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  const std::uint64_t delta = now - hot.base.load(std::memory_order_relaxed);
  if (cursor >= hot.end.load(std::memory_order_relaxed) || (delta >> 32) != 0) [[unlikely]] {
    return false;
  }
  store_slot(cursor, PackedEvent::pack(static_cast<std::uint32_t>(delta), word));
  hot.cursor.store(cursor + 1, std::memory_order_release);
  return true;
}

// The recording step for a thread that may run while another one closes the
// queue, with nothing else ordering the two: the thread is marked as
// recording for the step's duration and records nothing (the event counted
// as dropped) once the queue is sealed; close() waits for marked threads
// before it takes their batches over.
void record_guarded(EventQueue& queue, std::uint64_t now, std::uint32_t word) noexcept;

// Publishes HOT's cached code as publish_cached_code does, and empties it
// again when `queue` is sealed by then: a session that ends while the code
// was resolved never leaves it cached. Ordered as the generation is, with
// the flush's reset of every cached code after the seal.
template <class Generation>
void publish_cached_code(Hot& hot, const EventQueue& queue, std::uint64_t code, std::uint32_t id,
                         const Generation& generation) noexcept {
  publish_cached_code(hot, code, id, generation);
  if (queue.sealed()) hot.cached_code.store(NO_CODE, std::memory_order_relaxed);
}

// The recording step: the fast side when HOT mirrors a batch of `queue`, else
// (also when the batch is full, the delta overflows 32 bits, or this is the
// thread's first event in the queue) the slow side.
inline void record(EventQueue& queue, std::uint64_t now, std::uint32_t word) noexcept {
  Hot& hot = HOT;
  if (hot.queue_id.load(std::memory_order_relaxed) == queue.queue_id && try_store(hot, now, word))
      [[likely]] {
    return;
  }
  EventQueue::slow_path(queue, hot, now, hot.tid.load(std::memory_order_relaxed), word);
}

// An annotation and its argument words: stored at one tick into the same
// batch, and published by one cursor store, so that no reader ever sees, and
// no batch boundary ever splits, part of the group.
inline void record_group(EventQueue& queue, std::uint64_t now,
                         std::span<const std::uint32_t> words) noexcept {
  Hot& hot = HOT;
  if (hot.queue_id.load(std::memory_order_relaxed) == queue.queue_id) {
    PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
    const std::uint64_t delta = now - hot.base.load(std::memory_order_relaxed);
    const PackedEvent* end = hot.end.load(std::memory_order_relaxed);
    if (cursor != nullptr && end != nullptr && (delta >> 32) == 0 &&
        static_cast<std::size_t>(end - cursor) >= words.size()) {
      for (std::size_t i = 0; i < words.size(); ++i) {
        store_slot(cursor + i, PackedEvent::pack(static_cast<std::uint32_t>(delta), words[i]));
      }
      hot.cursor.store(cursor + words.size(), std::memory_order_release);
      return;
    }
  }
  EventQueue::slow_path(queue, hot, now, hot.tid.load(std::memory_order_relaxed), words);
}

}  // namespace fennik
