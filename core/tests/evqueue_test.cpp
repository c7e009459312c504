#include "evqueue.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

// Allocation through operator new fails on a thread while this is set. The
// replacements stay out of line so the compiler does not pair malloc and
// free across them.
thread_local bool FAIL_ALLOCATIONS = false;

[[gnu::noinline]] void* operator new(std::size_t size) {
  void* p = FAIL_ALLOCATIONS ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
  return ::operator new(size);
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return FAIL_ALLOCATIONS ? nullptr : std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t& nt) noexcept {
  return ::operator new(size, nt);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace fennik {
namespace {

using Batches = std::vector<std::unique_ptr<EventBatch>>;

// Thread-local recording state outlives a test on its thread; each scenario
// runs on a thread of its own so it starts from nothing.
void on_fresh_thread(const std::function<void()>& body) {
  std::thread t(body);
  t.join();
}

std::shared_ptr<EventQueue> make_queue() {
  return EventQueue::create(Clock::nanos(0));
}

std::uint32_t word(std::uint32_t code) {
  return make_word(KIND_START, code);
}

// Everything drained; an exit notice appears as a null batch.
Batches drain_all(EventQueue& q) {
  std::vector<Drained> items;
  while (q.drain_batches(items, 1'000) != 0) {
  }
  Batches out;
  for (Drained& d : items) out.push_back(std::move(d.batch));
  return out;
}

// Holds a thread alive and idle between steps the test drives.
class Parked {
 public:
  explicit Parked(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          body();
          std::unique_lock<std::mutex> l(m_);
          ready_ = true;
          cv_.notify_all();
          cv_.wait(l, [this] { return released_; });
        }) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [this] { return ready_; });
  }
  ~Parked() {
    {
      std::lock_guard<std::mutex> l(m_);
      released_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool ready_ = false;
  bool released_ = false;
  std::thread thread_;
};

TEST(Recording, The1025thEventStartsANewBatch) {
  auto q = make_queue();
  on_fresh_thread([&] {
    HOT.tid.store(77);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) record(*q, 100 + i, word(i));
    EXPECT_EQ(drain_all(*q).size(), 0u) << "a full batch waits for the next event";
    record(*q, 5'000, word(1'024));
    Batches out = drain_all(*q);
    ASSERT_EQ(out.size(), 1u);
    const EventBatch& b = *out[0];
    EXPECT_EQ(b.size(), BATCH_CAPACITY);
    EXPECT_EQ(b.base, 100u);
    EXPECT_EQ(b.tid, 77u);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) {
      EXPECT_EQ(b.events()[i].delta(), i);
      EXPECT_EQ(b.events()[i].code(), i);
    }
    // The new batch begins at the 1,025th event with delta 0.
    EXPECT_EQ(HOT.base.load(), 5'000u);
    EXPECT_EQ(HOT.cursor.load() - (HOT.end.load() - BATCH_CAPACITY), 1);
  });
  EXPECT_EQ(q->dropped.load(), 0u);
}

TEST(Recording, FullRingCountsTheBatchAsDroppedAndReusesIt) {
  auto q = make_queue();
  on_fresh_thread([&] {
    std::uint64_t tick = 0;
    for (std::uint32_t n = 0; n < 65 * BATCH_CAPACITY; ++n) record(*q, ++tick, word(n & 0xFFFF));
    EXPECT_EQ(q->dropped.load(), 0u) << "64 batches in the ring, the 65th still current";
    const PackedEvent* buffer = HOT.end.load() - BATCH_CAPACITY;
    record(*q, ++tick, word(1));
    EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY);
    EXPECT_EQ(HOT.end.load() - BATCH_CAPACITY, buffer) << "the dropped batch's buffer is reused";
    EXPECT_EQ(HOT.base.load(), tick);
    Batches out = drain_all(*q);
    ASSERT_EQ(out.size(), RING_CAPACITY);
    // With room again, the next rotation hands over instead of dropping.
    for (std::uint32_t n = 1; n <= BATCH_CAPACITY; ++n) record(*q, ++tick, word(2));
    EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY);
    out = drain_all(*q);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->events()[0].code(), 1u);
  });
}

TEST(Recording, ADeltaBeyond32BitsStartsANewBatch) {
  auto q = make_queue();
  on_fresh_thread([&] {
    record(*q, 10, word(1));
    record(*q, 10 + 0xFFFFFFFFull, word(2));     // still fits
    record(*q, 10 + 0x1'0000'0000ull, word(3));  // does not
    record(*q, 5, word(4));                      // below the base: wraps, so also a new batch
    Batches out = drain_all(*q);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->size(), 2u);
    EXPECT_EQ(out[0]->events()[1].delta(), 0xFFFFFFFFu);
    EXPECT_EQ(out[1]->size(), 1u);
    EXPECT_EQ(out[1]->base, 10 + 0x1'0000'0000ull);
    EXPECT_EQ(out[1]->events()[0].delta(), 0u);
    EXPECT_EQ(out[1]->events()[0].code(), 3u);
    EXPECT_EQ(HOT.base.load(), 5u);
  });
}

// No memory, or a slow path entered again on its own thread (a signal
// handler): the event is dropped and counted, and recording resumes after.
TEST(Recording, EventsThatCannotBeStoredAreCounted) {
  auto q = make_queue();
  on_fresh_thread([&] {
    FAIL_ALLOCATIONS = true;
    record(*q, 1, word(1));  // no ring, no first batch
    FAIL_ALLOCATIONS = false;
    EXPECT_EQ(q->dropped.load(), 1u);
    for (std::uint32_t n = 0; n < BATCH_CAPACITY; ++n) record(*q, 2 + n, word(2));
    FAIL_ALLOCATIONS = true;
    record(*q, 5'000, word(3));  // the full batch goes; no fresh one
    FAIL_ALLOCATIONS = false;
    EXPECT_EQ(q->dropped.load(), 2u);
    COLD.in_use = true;
    record(*q, 5'001, word(4));
    COLD.in_use = false;
    EXPECT_EQ(q->dropped.load(), 3u);
    record(*q, 5'002, word(5));
    q->close();
  });
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), 3u);  // the full batch, the last event's, the exit notice
  EXPECT_EQ(out[0]->size(), BATCH_CAPACITY);
  EXPECT_EQ(out[1]->size(), 1u);
  EXPECT_EQ(out[1]->events()[0].code(), 5u);
  EXPECT_EQ(out[2], nullptr);
}

TEST(Draining, RoundRobinStartAndMax) {
  auto q = make_queue();
  // Three threads, two full batches each; the base names the thread.
  std::vector<std::unique_ptr<Parked>> threads;
  for (std::uint32_t t = 0; t < 3; ++t) {
    threads.push_back(std::make_unique<Parked>([&, t] {
      HOT.tid.store(t);
      for (std::uint32_t n = 0; n < 2 * BATCH_CAPACITY + 1; ++n) record(*q, t * 1'000'000 + n, 0);
    }));
  }
  std::vector<std::uint64_t> firsts;
  std::vector<Drained> out;
  for (int call = 0; call < 4; ++call) {
    ASSERT_EQ(q->drain_batches(out, 1), 1u);
    firsts.push_back(out.back().batch->base / 1'000'000);
  }
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 1, 2, 0}));
  // max 0 still takes one; a large max empties a ring before moving on.
  EXPECT_EQ(q->drain_batches(out, 0), 1u);
  out.clear();
  q->close();  // three partial batches join the rings
  EXPECT_EQ(q->drain_batches(out, 100), 4u);
  // The sixth call starts at ring 2 and empties it before visiting 0 and 1.
  std::vector<std::uint64_t> order;
  for (const auto& d : out) order.push_back(d.batch->base / 1'000'000);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{2, 2, 0, 1}));
  EXPECT_EQ(q->drain_batches(out, 100), 0u);
}

TEST(Tails, CopiesThePartialBatchOfARunningThread) {
  auto q = make_queue();
  Parked t([&] {
    HOT.tid.store(9);
    for (std::uint32_t n = 0; n < BATCH_CAPACITY + 5; ++n) record(*q, 1'000 + n, word(n));
  });
  std::vector<EventBatch> tails = q->read_tails();
  ASSERT_EQ(tails.size(), 1u);
  EXPECT_EQ(tails[0].size(), 5u);
  EXPECT_EQ(tails[0].capacity(), 5u);
  EXPECT_EQ(tails[0].tid, 9u);
  EXPECT_EQ(tails[0].base, 1'000u + BATCH_CAPACITY);
  EXPECT_EQ(tails[0].events()[4].code(), BATCH_CAPACITY + 4);
  // Reading does not take anything away.
  EXPECT_EQ(q->read_tails().size(), 1u);
}

// The consumer takes a thread's partial batch early; the rest of that batch
// follows without the part taken.
TEST(Tails, TakenTailsAreNotHandedOnTwice) {
  auto q = make_queue();
  on_fresh_thread([&] {
    HOT.tid.store(3);
    for (std::uint32_t n = 0; n < BATCH_CAPACITY + 5; ++n) record(*q, 100 + n, word(n));
    std::vector<Drained> out;
    ASSERT_EQ(q->take_tails(out, 10, 1'000'000), 1'000'000u) << "nothing is left in a ring";
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].batch->size(), BATCH_CAPACITY);
    EXPECT_EQ(out[1].batch->size(), 5u);
    EXPECT_EQ(out[1].batch->events()[4].code(), BATCH_CAPACITY + 4);
    for (std::uint32_t n = 0; n < 3; ++n) record(*q, 2'000 + n, word(7));
    q->close();
  });
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]->size(), 3u);
  EXPECT_EQ(out[0]->events()[0].code(), 7u);
  EXPECT_EQ(out[1], nullptr);
}

TEST(Closing, PartialBatchesGoToTheRingsAndEverythingLostIsCounted) {
  auto q = make_queue();
  auto other = make_queue();
  Parked elsewhere([&] { record(*other, 1, word(1)); });
  Parked a([&] {
    for (std::uint32_t n = 0; n < 3; ++n) record(*q, n, word(n));
  });
  // 64 batches fill the ring, the 65th was dropped at rotation, 10 events remain.
  Parked full([&] {
    for (std::uint32_t n = 0; n < 65 * BATCH_CAPACITY + 10; ++n) record(*q, n, 0);
  });
  EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY);
  q->close();
  EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY + 10);
  EXPECT_TRUE(q->read_tails().empty());
  EXPECT_EQ(other->read_tails().size(), 1u) << "another queue's threads are not flushed";
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), RING_CAPACITY + 1);
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const auto& b) { return b->size() == 3; }), 1);
  // Nothing recorded after the close reaches a ring; it is counted.
  on_fresh_thread([&] { record(*q, 2, word(2)); });
  EXPECT_EQ(drain_all(*q).size(), 0u);
  EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY + 10 + 1);
}

TEST(Closing, AnExitingThreadHandsOnItsBatchThenLeavesWithANotice) {
  auto q = make_queue();
  const std::size_t before = RECORDERS->entries.size();
  std::uint64_t serial = 0;
  on_fresh_thread([&] {
    HOT.tid.store(4);
    serial = thread_serial();
    for (std::uint32_t n = 0; n < 65 * BATCH_CAPACITY + 3; ++n) record(*q, n, word(n & 7));
    std::lock_guard<std::mutex> g(RECORDERS->lock);
    EXPECT_EQ(RECORDERS->entries.size(), before + 1);
  });
  EXPECT_EQ(RECORDERS->entries.size(), before);
  // The ring was full at the exit: its last 3 events are counted.
  EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY + 3);
  std::vector<Drained> out;
  while (q->drain_batches(out, 1'000) != 0) {
  }
  ASSERT_EQ(out.size(), RING_CAPACITY + 1);
  EXPECT_EQ(out.back().batch, nullptr);
  EXPECT_EQ(out.back().tid, 4u);
  EXPECT_EQ(out.back().serial, serial);
}

TEST(Sessions, ANewQueueGetsANewRingAndOneRegistryEntry) {
  auto first = make_queue();
  auto second = make_queue();
  EXPECT_LT(first->queue_id, second->queue_id);
  EXPECT_NE(first->queue_id, 0u);
  on_fresh_thread([&] {
    record(*first, 1, word(1));
    record(*first, 2, word(2));
    // The unfinished batch of the first queue goes to its ring on the switch.
    record(*second, 3, word(3));
    record(*second, 4, word(4));
    {
      std::lock_guard<std::mutex> g(RECORDERS->lock);
      EXPECT_EQ(std::count_if(RECORDERS->entries.begin(), RECORDERS->entries.end(),
                              [](const Recorder& r) { return r.cold == &COLD; }),
                1);
    }
  });
  Batches a = drain_all(*first), b = drain_all(*second);
  ASSERT_EQ(a.size(), 1u) << "a ring left for another queue ends without an exit notice";
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(a[0]->events()[1].code(), 2u);
  EXPECT_EQ(b[0]->events()[0].code(), 3u);
  EXPECT_EQ(b[0]->base, 3u);
  EXPECT_EQ(b[1], nullptr);
}

// The child of a fork taken while another thread held the registry's lock
// records nothing into the parent's queue, does not hang, and can record
// into a queue of its own.
TEST(Fork, TheChildAbandonsTheParentsSessionWithoutWaitingForLocks) {
  constexpr unsigned CHILD_DEADLINE_SECONDS = 20;
  auto q = make_queue();
  on_fresh_thread([&] {
    record(*q, 2, word(2));
    std::mutex m;
    std::condition_variable cv;
    bool locked = false, forked = false;
    std::thread holder([&] {
      std::lock_guard<std::mutex> registry(RECORDERS->lock);
      std::unique_lock<std::mutex> l(m);
      locked = true;
      cv.notify_all();
      cv.wait(l, [&] { return forked; });
    });
    {
      std::unique_lock<std::mutex> l(m);
      cv.wait(l, [&] { return locked; });
    }
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(CHILD_DEADLINE_SECONDS);
      abandon_after_fork();
      int status = 0;
      record(*q, 3, word(3));
      if (q->dropped.load() != 0) status |= 1;
      auto own = make_queue();
      record(*own, 4, word(4));
      own->close();
      Batches out = drain_all(*own);
      if (out.size() != 1 || out[0]->events()[0].code() != 4) status |= 2;
      if (RECORDERS->entries.size() != 1) status |= 4;
      _exit(status);
    }
    {
      std::lock_guard<std::mutex> l(m);
      forked = true;
    }
    cv.notify_all();
    holder.join();
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0);
  });
}

}  // namespace
}  // namespace fennik
