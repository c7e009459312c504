// Per-thread recording state (HOT, COLD) and the process-wide registry of
// recording threads (RECORDERS). How they meet the session's queue, and what
// guards each: evqueue.hpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "event.hpp"
#include "thread_batches.hpp"

namespace fennik {

inline constexpr std::uint64_t NO_CODE = ~std::uint64_t{0};
inline constexpr std::uint32_t NO_ID = ~std::uint32_t{0};
inline constexpr std::uint32_t UNKNOWN_TID = ~std::uint32_t{0};
inline constexpr std::size_t CACHE_LINE_BYTES = 64;
// How long the session-end flush waits for threads inside a guarded recording
// step (which never blocks but on our locks), spinning first, then sleeping.
inline constexpr int FLUSH_WAIT_SPINS = 64;
inline constexpr std::chrono::microseconds FLUSH_WAIT_SLEEP{20};
inline constexpr std::chrono::seconds FLUSH_WAIT_LIMIT{2};
// What a flush saw of a thread besides the step it was inside (see Cold).
inline constexpr std::uint64_t FLUSH_NOT_SEEN = ~std::uint64_t{0};
inline constexpr std::uint64_t FLUSH_DONE = 0;

// What the recording fast path reads, plus the callbacks' per-thread caches.
// Trivially destructible and constant-initialised, so reaching it costs only
// the thread-local address. The fields another thread reads or writes (the
// tail reader, the recycle floor's reader, the session-end flush and the code
// watcher) are atomics; on the targets we build for their relaxed loads and
// stores are plain moves.
//
// `cached_code` (with `cached_id`) and the callbacks' per-thread code-id
// cache are all the callbacks' fast path checks, so `cached_code` is set only
// while HOT mirrors a batch of the session whose interner gave the ids, and
// while it is not NO_CODE that cache holds only live code objects of that
// session. It is reset whenever either may stop being true: by mirror_none,
// at the start and end of every session and when a code object is forgotten
// (forget_cached_codes); the callbacks' slow side empties the cache before it
// sets `cached_code` again.
struct alignas(CACHE_LINE_BYTES) Hot {
  std::atomic<PackedEvent*> cursor{nullptr};  // next free slot; stored last, with release
  std::atomic<PackedEvent*> end{nullptr};     // buffer start + BATCH_BYTES
  std::atomic<std::uint64_t> base{0};
  std::atomic<std::uint64_t> cached_code{NO_CODE};
  std::uint32_t cached_id = NO_ID;
  std::atomic<std::uint32_t> tid{UNKNOWN_TID};
  std::atomic<std::uint64_t> queue_id{0};
  std::atomic<std::uint64_t> seq{0};  // odd while the mirrored batch is replaced
  std::uint64_t code_gen = 0;
  std::uint32_t name_tries = 0;
  bool named = false;
  // The mirrored batch's gap (see EventBatch::lost_before), for tail readers.
  std::atomic<std::uint64_t> lost_before{0};
  std::atomic<std::uint64_t> lost_tick{0};
  // The current batch's number (high 32 bits, the owner's) and how many of
  // its events a tail reader moved on (low 32 bits, the reader's, changed
  // only by a compare-exchange that expects the number it read).
  std::atomic<std::uint64_t> tail_taken{0};
  // Counts its thread's guarded recording steps (see record_guarded): odd
  // while inside one, which the session-end flush waits for.
  std::atomic<std::uint32_t> recording{0};
};

// What the comment above relies on (no destructor for a thread to register
// when it first records, no lock inside an atomic), and the recording step's
// fields on HOT's first cache line.
static_assert(std::is_trivially_destructible_v<Hot>);
static_assert(std::atomic<PackedEvent*>::is_always_lock_free &&
              std::atomic<std::uint64_t>::is_always_lock_free &&
              std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::is_standard_layout_v<Hot> && offsetof(Hot, queue_id) < CACHE_LINE_BYTES &&
              offsetof(Hot, base) < CACHE_LINE_BYTES && offsetof(Hot, end) < CACHE_LINE_BYTES &&
              offsetof(Hot, cursor) < CACHE_LINE_BYTES);

#if defined(FENNIK_HOT_INITIAL_EXEC)
#define FENNIK_HOT_TLS __attribute__((tls_model("initial-exec")))
#else
#define FENNIK_HOT_TLS
#endif

// Hidden: the module reaches it with the same thread-local base as its other
// thread-local state.
[[gnu::visibility("hidden")]] extern thread_local constinit Hot HOT FENNIK_HOT_TLS;

#if defined(__SANITIZE_THREAD__)
#define FENNIK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FENNIK_TSAN 1
#endif
#endif

// The sequence counter's barriers. ThreadSanitizer does not model standalone
// fences, so its builds order the mirrored fields themselves instead: release
// stores after the odd count, acquire loads before the re-check. Both forms
// give the same guarantee; elsewhere the fences are the cheaper one.
#if defined(FENNIK_TSAN)
inline constexpr std::memory_order MIRROR_STORE = std::memory_order_release;
inline constexpr std::memory_order MIRROR_LOAD = std::memory_order_acquire;
inline void seq_write_barrier() noexcept {}
inline void seq_read_barrier() noexcept {}
#else
inline constexpr std::memory_order MIRROR_STORE = std::memory_order_relaxed;
inline constexpr std::memory_order MIRROR_LOAD = std::memory_order_relaxed;
inline void seq_write_barrier() noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}
inline void seq_read_barrier() noexcept {
  std::atomic_thread_fence(std::memory_order_acquire);
}
#endif

// Marks HOT's mirror as changing for its lifetime: the tail reader retries
// while the sequence counter is odd or has moved.
class SeqWrite {
 public:
  explicit SeqWrite(Hot& hot) noexcept;
  ~SeqWrite();
  SeqWrite(const SeqWrite&) = delete;
  SeqWrite& operator=(const SeqWrite&) = delete;

 private:
  Hot& hot_;
  std::uint64_t seq_;
};

// Points HOT at `batch` (cursor at its first free slot). Call inside a SeqWrite.
void mirror_into(Hot& hot, EventBatch& batch) noexcept;
// Points HOT at nothing and empties its cached code, so the next event takes
// the slow path.
void mirror_none(Hot& hot) noexcept;
// Ends `batch`, the one HOT mirrors, as the current batch: its size becomes
// what HOT filled and its skip what a tail reader moved on (the gap before
// those went with them), and the next batch gets a new number. Returns the
// events not moved on. Call inside a SeqWrite, or under RECORDERS' lock,
// before the batch can reach the consumer.
std::uint32_t take_back_tail(Hot& hot, EventBatch& batch) noexcept;

class EventQueue;

// The slow side of a thread's recording state, used only by its own thread
// and, under RECORDERS' lock, by the session-end flush.
struct Cold {
  std::uint64_t owner_queue = 0;
  // The queue `producer` feeds, held weakly: events the thread loses when it
  // exits or moves to another queue are counted there if it still exists.
  std::weak_ptr<EventQueue> owner;
  BatchProducer producer;
  // The batch being filled, mirrored by HOT; after a flush HOT points at
  // nothing and an empty batch may stay here for reuse.
  std::unique_ptr<EventBatch> current;
  bool in_use = false;
  // What the session-end flush of `flush_queue` saw of this thread: the
  // guarded step it was inside (odd), FLUSH_NOT_SEEN, or FLUSH_DONE once it
  // took the batch over. Only that flush uses them, under RECORDERS' lock.
  std::uint64_t flush_queue = 0;
  std::uint64_t flush_step = 0;

  constexpr Cold() = default;
  ~Cold();
  Cold(const Cold&) = delete;
  Cold& operator=(const Cold&) = delete;
};

extern thread_local Cold COLD;
// Set once this thread's COLD has been destroyed: later events are dropped.
extern thread_local bool COLD_GONE;

// Events of the current batch: what HOT's cursor says while HOT mirrors it, else none.
std::uint32_t filled(const Hot& hot, const EventBatch& batch) noexcept;

// Adds the lost events to the dropped count of the queue `cold` feeds, if it still exists.
void count_lost(const Cold& cold, std::uint64_t lost) noexcept;

struct RecordingThread {
  Cold* cold;
  Hot* hot;
};

struct RecorderList {
  std::mutex lock;
  std::vector<RecordingThread> entries;  // registration order, one entry per thread
};

// Never destroyed: threads may exit after static destructors have run.
template <class T>
union NoDestroy {
  constexpr NoDestroy() : value() {}
  ~NoDestroy() {}
  T* operator->() noexcept { return &value; }
  T value;
};

// Lock order: RECORDERS' lock may be held while taking a queue's lock, never
// the other way round.
extern constinit NoDestroy<RecorderList> RECORDERS;

// Queues with a smaller id belong to the parent of this forked process.
extern std::atomic<std::uint64_t> FIRST_OWN_QUEUE_ID;

// A process-unique number for the calling thread, never 0, assigned on first
// use: tells apart two threads that the operating system gave the same id.
std::uint64_t thread_serial() noexcept;

// Adds the calling thread's COLD and HOT to RECORDERS unless present; false
// when memory ran out.
bool register_current() noexcept;

// Hands every partial batch of a thread recording into queue `queue_id` to
// its list and points those threads' HOT at nothing, and empties every
// thread's cached code; returns the events that could not be handed over
// (memory ran out). Called once that queue is sealed. A thread inside a
// guarded recording step is flushed once that step is over (a later one sees
// the seal); one still inside it after FLUSH_WAIT_LIMIT keeps its batch, and
// the events in it are lost. An unguarded step into that queue may not run
// meanwhile.
std::uint64_t flush_threads_of(std::uint64_t queue_id) noexcept;

// Empties the cached code of every registered thread, so that each resolves
// its next event's code again. Called after the code-id generation moved,
// with the interpreter lock held.
void forget_cached_codes() noexcept;

// Sets HOT's cached code to `code` -> `id`, resolved while the code-id
// generation was `hot.code_gen`, unless that generation has moved. Stored
// first and the generation read after: a code object forgotten on another
// thread between a read and the store would otherwise stay cached, as that
// thread's reset (forget_cached_codes, after it moves the generation) may come
// before the store. Sequentially consistent on both sides, so one of the two
// sees the other.
template <class Generation>
void publish_cached_code(Hot& hot, std::uint64_t code, std::uint32_t id,
                         const Generation& generation) noexcept {
  hot.cached_id = id;
  hot.cached_code.store(code, std::memory_order_seq_cst);
  if (generation.load(std::memory_order_seq_cst) != hot.code_gen) {
    hot.cached_code.store(NO_CODE, std::memory_order_relaxed);
  }
}

// Called in the child right after fork, when only the calling thread is left:
// drops the parent's sessions without taking any lock a vanished thread may
// hold and without freeing anything one may have been using.
void abandon_after_fork() noexcept;
// Around fork() in the parent: the registry is not mid-change when it is
// copied into the child, which then rebuilds it.
void hold_registry_for_fork() noexcept;
void release_registry_after_fork() noexcept;

}  // namespace fennik
