#include "pipeline.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "count_down.hpp"
#include "fake_lookups.hpp"

namespace fennik {
namespace {

// What a fake exporter saw, kept beyond the exporter's life.
struct ExportLog {
  std::mutex m;
  std::vector<std::vector<Event>> batches;
  int finish_calls = 0;
  std::uint64_t dropped = 0;
  bool destroyed = false;
  bool wrote_after_finish = false;
};

class FakeExporter : public Exporter {
 public:
  explicit FakeExporter(std::shared_ptr<ExportLog> log) : log_(std::move(log)) {}
  ~FakeExporter() override {
    std::lock_guard<std::mutex> g(log_->m);
    log_->destroyed = true;
  }
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    std::lock_guard<std::mutex> g(log_->m);
    log_->wrote_after_finish |= log_->finish_calls != 0;
    log_->batches.emplace_back(events.begin(), events.end());
    return IO_OK;
  }
  IoStatus finish(const CodeLookup&, const ThreadNames&, std::uint64_t dropped) override {
    std::lock_guard<std::mutex> g(log_->m);
    ++log_->finish_calls;
    log_->dropped = dropped;
    return IO_OK;
  }

 private:
  std::shared_ptr<ExportLog> log_;
};

struct Session {
  std::shared_ptr<EventQueue> queue = EventQueue::create(Clock::nanos(0));
  std::shared_ptr<ExportLog> log = std::make_shared<ExportLog>();
  std::future<IoStatus> result;

  Session()
      : result(std::async(std::launch::async, run_pipeline, queue,
                          std::make_shared<testing::FakeCodes>(),
                          std::make_shared<testing::FakeThreads>(),
                          std::make_unique<FakeExporter>(log))) {}

  // What the tracer does at the end: flush every thread, count, close, wait.
  IoStatus end() {
    queue->dropped.fetch_add(flush_every_thread());
    queue->close();
    return result.get();
  }
};

// Records `count` events under tid `tid` whose codes are their sequence numbers.
void produce(EventQueue& q, std::uint32_t tid, std::uint32_t count) {
  HOT.tid.store(tid);
  for (std::uint32_t n = 0; n < count; ++n) record(q, 1'000 + n, make_word(KIND_START, n));
}

// Three threads record `events + tid` events each, then stay idle while the
// session ends. Every event must reach the exporter once, in its thread's
// order, before finish, or be counted as dropped.
void run_session(std::uint32_t events, bool expect_all) {
  Session s;
  constexpr std::uint32_t THREADS = 3;
  testing::CountDown recorded(THREADS), release(1);
  std::vector<std::thread> producers;
  for (std::uint32_t t = 1; t <= THREADS; ++t) {
    producers.emplace_back([&, t] {
      produce(*s.queue, t, events + t);  // every thread ends with a partial batch
      recorded.count_down();
      release.wait();
    });
  }
  recorded.wait();
  IoStatus status = s.end();
  release.count_down();
  for (auto& p : producers) p.join();
  ASSERT_FALSE(status) << status->text();

  std::lock_guard<std::mutex> g(s.log->m);
  EXPECT_EQ(s.log->finish_calls, 1);
  EXPECT_FALSE(s.log->wrote_after_finish);
  EXPECT_TRUE(s.log->destroyed);
  EXPECT_EQ(s.log->dropped, s.queue->dropped.load());
  std::map<std::uint32_t, std::int64_t> last;
  std::uint64_t delivered = 0;
  for (const auto& batch : s.log->batches) {
    for (const Event& e : batch) {
      ASSERT_EQ(e.tid, batch.front().tid) << "a batch mixes threads";
      const auto n = static_cast<std::int64_t>(word_code(e.code_kind));
      auto [it, fresh] = last.try_emplace(e.tid, -1);
      ASSERT_GT(n, it->second) << "duplicate or out of order on tid " << e.tid;
      ASSERT_EQ(e.ts_ns, 1'000u + static_cast<std::uint64_t>(n));
      it->second = n;
      ++delivered;
    }
  }
  EXPECT_EQ(delivered + s.log->dropped, 3ull * events + 6);
  if (expect_all) {
    EXPECT_EQ(s.log->dropped, 0u);
    for (std::uint32_t t = 1; t <= THREADS; ++t) EXPECT_EQ(last[t], static_cast<std::int64_t>(events + t - 1)) << t;
  }
}

TEST(Pipeline, EveryEventIsExportedOnceInThreadOrderOrCounted) {
  // Far more than the rings hold: whether some are dropped depends on timing.
  run_session(100'000, false);
}

TEST(Pipeline, BatchesFlushedAtTheEndAreAllExportedBeforeFinish) {
  run_session(5 * BATCH_CAPACITY + 7, true);  // fits in the rings
}

TEST(Pipeline, TheDroppedCountReachesFinish) {
  Session s;
  s.queue->dropped.fetch_add(42);
  ASSERT_FALSE(s.end());
  std::lock_guard<std::mutex> g(s.log->m);
  EXPECT_EQ(s.log->finish_calls, 1);
  EXPECT_EQ(s.log->dropped, 42u);
}

}  // namespace
}  // namespace fennik
