#include "evqueue.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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

Batches drain_all(EventQueue& q) {
  Batches out;
  while (q.drain_batches(out, 1'000) != 0) {
  }
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

TEST(Draining, RoundRobinStartAndMax) {
  auto q = make_queue();
  // Three threads, two full batches each; the base names the thread.
  for (std::uint64_t t = 0; t < 3; ++t) {
    on_fresh_thread([&, t] {
      for (std::uint32_t n = 0; n < 2 * BATCH_CAPACITY + 1; ++n) record(*q, t * 1'000'000 + n, 0);
    });
  }
  ASSERT_EQ(q->ring_count(), 3u);
  // Exiting flushed each thread's last event too: three batches per ring.
  std::vector<std::uint64_t> firsts;
  Batches out;
  for (int call = 0; call < 4; ++call) {
    ASSERT_EQ(q->drain_batches(out, 1), 1u);
    firsts.push_back(out.back()->base / 1'000'000);
  }
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 1, 2, 0}));
  // max 0 still takes one; a large max empties a ring before moving on.
  EXPECT_EQ(q->drain_batches(out, 0), 1u);
  out.clear();
  EXPECT_EQ(q->drain_batches(out, 100), 4u);
  // The sixth call starts at ring 2 and empties it before visiting 0 and 1.
  std::vector<std::uint64_t> order;
  for (const auto& b : out) order.push_back(b->base / 1'000'000);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{2, 2, 0, 1}));
  EXPECT_EQ(q->drain_batches(out, 100), 0u);
}

TEST(Draining, EmptyQueueReturnsNothing) {
  auto q = make_queue();
  Batches out;
  EXPECT_EQ(q->drain_batches(out, 10), 0u);
  EXPECT_TRUE(out.empty());
}

TEST(Draining, OneThreadsBatchesLeaveInOrder) {
  auto q = make_queue();
  on_fresh_thread([&] {
    for (std::uint32_t n = 0; n < 10 * BATCH_CAPACITY; ++n) record(*q, n, word(n / BATCH_CAPACITY));
  });
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), 10u);
  for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(out[i]->events()[0].code(), i);
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

TEST(Tails, NoneForAnEmptyBatchOrAnotherQueue) {
  auto q = make_queue();
  auto other = make_queue();
  Parked empty([&] {
    record(*q, 1, word(1));
    flush_every_thread();  // leaves an empty current batch
  });
  Parked elsewhere([&] { record(*other, 1, word(1)); });
  EXPECT_TRUE(q->read_tails().empty());
  ASSERT_EQ(other->read_tails().size(), 1u);
}

TEST(Flushing, SessionEndFlushHandsPartialBatchesToTheRings) {
  auto q = make_queue();
  Parked a([&] {
    for (std::uint32_t n = 0; n < 3; ++n) record(*q, n, word(n));
  });
  Parked b([&] {
    for (std::uint32_t n = 0; n < 7; ++n) record(*q, n, word(n));
  });
  EXPECT_EQ(flush_every_thread(), 0u);
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), 2u);
  std::vector<std::uint32_t> sizes{out[0]->size(), out[1]->size()};
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{3, 7}));
  // A second flush finds nothing new.
  EXPECT_EQ(flush_every_thread(), 0u);
  EXPECT_EQ(drain_all(*q).size(), 0u);
}

TEST(Flushing, APartialBatchMeetingAFullRingIsReturnedAsLost) {
  auto q = make_queue();
  Parked t([&] {
    for (std::uint32_t n = 0; n < 65 * BATCH_CAPACITY + 10; ++n) record(*q, n, 0);
  });
  // 64 batches fill the ring, the 65th was dropped at rotation, 10 events remain.
  EXPECT_EQ(q->dropped.load(), BATCH_CAPACITY);
  EXPECT_EQ(flush_every_thread(), 10u);
  EXPECT_EQ(drain_all(*q).size(), RING_CAPACITY);
}

TEST(Flushing, ThreadExitDeliversItsPartialBatchAndLeavesTheRegistry) {
  auto q = make_queue();
  const std::size_t before = RECORDERS->entries.size();
  on_fresh_thread([&] {
    for (std::uint32_t n = 0; n < 3; ++n) record(*q, n, word(n));
    std::lock_guard<std::mutex> g(RECORDERS->lock);
    EXPECT_EQ(RECORDERS->entries.size(), before + 1);
  });
  EXPECT_EQ(RECORDERS->entries.size(), before);
  Batches out = drain_all(*q);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->size(), 3u);
}

TEST(Sessions, ANewQueueGetsANewRingAndOneRegistryEntry) {
  auto first = make_queue();
  auto second = make_queue();
  EXPECT_LT(first->queue_id, second->queue_id);
  EXPECT_NE(first->queue_id, 0u);
  on_fresh_thread([&] {
    record(*first, 1, word(1));
    record(*first, 2, word(2));
    flush_every_thread();
    record(*second, 3, word(3));
    record(*second, 4, word(4));
    {
      std::lock_guard<std::mutex> g(RECORDERS->lock);
      EXPECT_EQ(std::count_if(RECORDERS->entries.begin(), RECORDERS->entries.end(),
                              [](const Recorder& r) { return r.cold == &COLD; }),
                1);
    }
    flush_every_thread();
  });
  Batches a = drain_all(*first), b = drain_all(*second);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0]->events()[1].code(), 2u);
  EXPECT_EQ(b[0]->events()[0].code(), 3u);
  EXPECT_EQ(b[0]->base, 3u);
}

TEST(Fork, ChildKeepsOnlyTheForkingThread) {
  auto q = make_queue();
  Parked other([&] { record(*q, 1, word(1)); });
  on_fresh_thread([&] {
    record(*q, 2, word(2));
    const pid_t pid = fork();
    if (pid == 0) {
      forget_other_threads();
      int status = 0;
      {
        std::lock_guard<std::mutex> g(RECORDERS->lock);
        if (RECORDERS->entries.size() != 1 || RECORDERS->entries[0].cold != &COLD) status |= 1;
      }
      // The flush touches only this thread's state: one batch of one event.
      if (flush_every_thread() != 0) status |= 2;
      Batches out = drain_all(*q);
      if (out.size() != 1 || out[0]->events()[0].code() != 2) status |= 4;
      _exit(status);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  });
}

}  // namespace
}  // namespace fennik
