#include "pipeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "fake_lookups.hpp"

namespace fennik {
namespace {

using namespace std::chrono_literals;

// What a fake exporter saw, kept beyond the exporter's life.
struct ExportLog {
  // Every call in order: 'b' a batch (its events), 'g' a gap (its count),
  // 'e' end_thread, 'r' retire (its serial).
  struct Call {
    char what;
    std::uint32_t tid;
    std::uint64_t detail;
    std::vector<Event> events = {};
  };
  IoStatus add(Call c) {
    std::lock_guard<std::mutex> g(m);
    calls.push_back(std::move(c));
    return IO_OK;
  }
  std::mutex m;  // held by a test to stall the exporter
  std::vector<Call> calls;
  int finish_calls = 0;
  RunStats stats;
  bool destroyed = false;
};

// How the exporter's second batch fails, if it does.
enum class Failure { None, Error, OutOfMemory };

struct FakeExporter : Exporter {
  FakeExporter(std::shared_ptr<ExportLog> log, Failure failure, const EventQueue& queue)
      : log_(std::move(log)), failure_(failure), queue_(queue) {}
  ~FakeExporter() override { log_->destroyed = true; }
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    // The first event's code may be forgotten once the next one was
    // recorded, so no floor above the second may be out while it is unwritten.
    EXPECT_TRUE(events.size() < 2 || queue_.recycle_floor() <= events[1].ts_ns);
    if (++calls_ == 2 && failure_ == Failure::OutOfMemory) throw std::bad_alloc();
    if (calls_ == 2 && failure_ == Failure::Error) return IoError::other("disk on fire");
    return log_->add({'b', events[0].tid, 0, {events.begin(), events.end()}});
  }
  IoStatus write_gap(std::uint32_t tid, std::uint64_t, std::uint64_t count, const CodeLookup&,
                     const ThreadNames&) override {
    return log_->add({'g', tid, count});
  }
  IoStatus end_thread(std::uint32_t tid, const CodeLookup&, const ThreadNames&) override {
    return log_->add({'e', tid, 0});
  }
  IoStatus finish(const CodeLookup&, const ThreadNames&, const RunStats& stats) override {
    ++log_->finish_calls;
    log_->stats = stats;
    return IO_OK;
  }
  std::shared_ptr<ExportLog> log_;
  Failure failure_;
  const EventQueue& queue_;
  int calls_ = 0;
};

struct LoggedThreads : testing::FakeThreads {
  explicit LoggedThreads(std::shared_ptr<ExportLog> log) : log_(std::move(log)) {}
  void retire(std::uint32_t tid, std::uint64_t serial) override { log_->add({'r', tid, serial}); }
  std::shared_ptr<ExportLog> log_;
};

struct Session {
  std::shared_ptr<EventQueue> queue;
  std::shared_ptr<ExportLog> log = std::make_shared<ExportLog>();
  std::future<IoStatus> result;

  explicit Session(Failure failure, std::uint64_t budget = DEFAULT_BUFFER_BYTES)
      : queue(EventQueue::create(Clock::nanos(0), budget)) {
    result = std::async(
        std::launch::async, run_pipeline, queue, std::make_shared<testing::FakeCodes>(),
        std::make_shared<LoggedThreads>(log), std::make_unique<FakeExporter>(log, failure, *queue));
  }
};

class PipelineFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(PipelineFailure, AWriteErrorOrNoMemoryEndsItAtOnceWithoutFinishing) {
  Session s(GetParam());
  std::thread([&] {
    for (std::uint32_t n = 0; n < 10 * BATCH_CAPACITY; ++n)
      record(*s.queue, s.queue->clock.now_ticks(), 0);
  }).join();
  // The queue is never closed: the pipeline must end on its own and release
  // its reference to the queue.
  IoStatus status = s.result.get();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->text(), GetParam() == Failure::Error ? "disk on fire" : OUT_OF_MEMORY);
  // The pipeline's thread has ended: its log needs no lock.
  EXPECT_EQ(std::tuple(s.log->calls.size(), s.log->finish_calls, s.log->destroyed),
            std::tuple(1u, 0, true));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (s.queue.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(s.queue.use_count(), 1) << "the pipeline did not end";
}

INSTANTIATE_TEST_SUITE_P(Kinds, PipelineFailure,
                         ::testing::Values(Failure::Error, Failure::OutOfMemory));

// Threads start, record and exit throughout a session, several under each
// thread id, the first ones while the exporter is stalled; one records again
// after the end. The output holds each thread's events in order, then its
// exit notice and retirement, and a later thread of the same id only after
// those. Within the budget nothing is lost; past a small one, every event a
// thread lacks is in a gap at the place it lost them, and in the dropped
// count. The recycle floor advances without passing an unwritten event.
class Pipeline : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(Pipeline, ThreadsComingAndGoing) {
  constexpr std::uint32_t IDS = 3, WAVES = 6, SEQ_BITS = 18;
  constexpr std::uint32_t STALLED_EVENTS = 64 * BATCH_CAPACITY;
  static_assert(STALLED_EVENTS < (1u << SEQ_BITS) && IDS * WAVES < (1u << (CODE_BITS - SEQ_BITS)));
  const std::uint64_t budget = GetParam();
  Session s(Failure::None, budget);
  std::vector<std::uint64_t> serials(IDS * WAVES + 1);
  std::vector<std::uint32_t> events_of(IDS * WAVES + 1);
  std::atomic<std::uint64_t> recorded{0};
  // Thread k records under tid k % IDS + 1; its codes are k and a sequence number.
  auto run = [&](std::uint32_t k, std::uint32_t events) {
    HOT.tid.store(k % IDS + 1);
    serials[k] = thread_serial();
    events_of[k] = events;
    for (std::uint32_t n = 0; n < events; ++n)
      record(*s.queue, s.queue->clock.now_ticks(), make_word(KIND_START, k << SEQ_BITS | n));
    recorded.fetch_add(events);
  };
  std::unique_lock<std::mutex> stall(s.log->m);  // the exporter waits until the first wave is done
  for (std::uint32_t wave = 0; wave < WAVES; ++wave) {
    std::vector<std::thread> threads;
    for (std::uint32_t k = wave * IDS; k < (wave + 1) * IDS; ++k)
      threads.emplace_back(run, k, wave == 0 ? STALLED_EVENTS : 300 * k + 1);
    for (auto& t : threads) t.join();
    if (wave == 0) stall.unlock();
  }
  // A thread that stops recording neither holds its events back nor the floor.
  std::latch late_recorded(1), ended(1);
  std::thread late([&] {
    run(IDS * WAVES, 5);
    late_recorded.count_down();
    ended.wait();
    record(*s.queue, s.queue->clock.now_ticks(), make_word(KIND_START, 0));
  });
  late_recorded.wait();
  const std::uint64_t idle_since = s.queue->clock.now_ticks();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (s.queue->recycle_floor() <= idle_since && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_GT(s.queue->recycle_floor(), idle_since) << "the floor did not pass an idle thread";
  s.queue->close();  // as the tracer ends a session
  ASSERT_FALSE(s.result.get());
  ended.count_down();
  late.join();
  recorded.fetch_add(1);

  EXPECT_EQ(s.log->finish_calls, 1);
  std::map<std::uint32_t, std::int64_t> open;       // tid -> thread whose batches are being written
  std::map<std::uint32_t, std::uint64_t> gap;       // tid -> events lost since its last batch
  std::map<std::uint32_t, std::uint64_t> next_seq;  // thread -> its next sequence number
  std::set<std::uint32_t> ended_threads;
  std::uint64_t delivered = 0, in_gaps = 0;
  for (std::size_t i = 0; i < s.log->calls.size(); ++i) {
    const ExportLog::Call& c = s.log->calls[i];
    auto [it, fresh] = open.try_emplace(c.tid, -1);
    if (c.what == 'g') {
      gap[c.tid] += c.detail;
      in_gaps += c.detail;
    } else if (c.what == 'b') {
      for (const Event& e : c.events) {
        const std::uint32_t k = word_code(e.code_kind) >> SEQ_BITS;
        const std::uint32_t n = word_code(e.code_kind) & ((1u << SEQ_BITS) - 1);
        ASSERT_EQ(e.tid, c.tid);
        ASSERT_FALSE(ended_threads.contains(k)) << "thread " << k << " written after its exit";
        if (it->second == -1) it->second = k;
        ASSERT_EQ(it->second, k) << "two threads of tid " << c.tid << " mixed";
        next_seq[k] += std::exchange(gap[c.tid], 0);
        ASSERT_EQ(n, next_seq[k]) << "an event duplicated, out of order, or lost outside a gap";
        next_seq[k] = n + 1;
        ++delivered;
      }
    } else if (c.what == 'e') {
      ASSERT_NE(it->second, -1) << "an exit notice without the thread's events";
      const auto k = static_cast<std::uint32_t>(it->second);
      EXPECT_EQ(next_seq[k] + std::exchange(gap[c.tid], 0), events_of[k])
          << "thread " << k << " lost events that no gap shows";
      ASSERT_LT(i + 1, s.log->calls.size());
      const ExportLog::Call& r = s.log->calls[i + 1];
      EXPECT_TRUE(r.what == 'r' && r.tid == c.tid && r.detail == serials[k])
          << "end_thread not followed by the retirement of the same thread";
      ended_threads.insert(k);
      it->second = -1;
    }
  }
  EXPECT_EQ(ended_threads.size(), IDS * WAVES);
  EXPECT_EQ(delivered + s.queue->dropped.load(), recorded.load());
  // The exporter was given the count, all but the event recorded after the end.
  EXPECT_EQ(s.log->stats.dropped + 1, s.queue->dropped.load());
  EXPECT_EQ(in_gaps, s.log->stats.dropped) << "every lost event shows as a gap";
  // Each thread's last batch may pass the budget by one.
  EXPECT_LE(s.log->stats.peak_buffered_bytes, budget + (IDS * WAVES + 1) * QUEUED_BATCH_BYTES);
  if (budget == DEFAULT_BUFFER_BYTES) {
    EXPECT_EQ(in_gaps, 0u) << "a stalled exporter lost events within the budget";
    EXPECT_GE(s.log->stats.peak_buffered_bytes, IDS * (STALLED_EVENTS / 2) * sizeof(PackedEvent))
        << "the stalled batches waited without being counted";
  } else {
    EXPECT_GT(in_gaps, 0u) << "nothing was lost past a small budget";
  }
}

INSTANTIATE_TEST_SUITE_P(Budgets, Pipeline,
                         ::testing::Values(DEFAULT_BUFFER_BYTES, 16 * QUEUED_BATCH_BYTES));

}  // namespace
}  // namespace fennik
