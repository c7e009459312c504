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

// What the exporter saw, kept beyond its life.
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
  ~FakeExporter() override { log_->destroyed = true; }
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

// A streaming session of `threads` threads recording `events + tid` events
// each (codes are sequence numbers, ticks 1,000 past them), which then stay
// idle while it ends as the tracer ends it: flush every thread, count, close.
std::shared_ptr<ExportLog> run_session(std::uint32_t threads, std::uint32_t events,
                                       std::uint64_t dropped_before, std::uint64_t& dropped) {
  auto queue = EventQueue::create(Clock::nanos(0));
  queue->dropped.fetch_add(dropped_before);
  auto log = std::make_shared<ExportLog>();
  auto result = std::async(std::launch::async, run_pipeline, queue,
                           std::make_shared<testing::FakeCodes>(),
                           std::make_shared<testing::FakeThreads>(),
                           std::make_unique<FakeExporter>(log));
  testing::CountDown recorded(threads), release(1);
  std::vector<std::thread> producers;
  for (std::uint32_t tid = 1; tid <= threads; ++tid) {
    producers.emplace_back([&, tid] {
      HOT.tid.store(tid);
      for (std::uint32_t n = 0; n < events + tid; ++n) {
        record(*queue, 1'000 + n, make_word(KIND_START, n));
      }
      recorded.count_down();
      release.wait();
    });
  }
  recorded.wait();
  queue->dropped.fetch_add(flush_every_thread());
  queue->close();
  const IoStatus status = result.get();
  release.count_down();
  for (auto& p : producers) p.join();
  EXPECT_FALSE(status);
  dropped = queue->dropped.load();
  return log;
}

// Every event reaches the exporter once, in its thread's order, before the
// one finish, or is counted as dropped.
void check_session(std::uint32_t events, bool expect_all) {
  std::uint64_t dropped = 0;
  auto log = run_session(3, events, 0, dropped);
  EXPECT_EQ(log->finish_calls, 1);
  EXPECT_FALSE(log->wrote_after_finish);
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(log->dropped, dropped);
  std::map<std::uint32_t, std::int64_t> last;
  std::uint64_t delivered = 0;
  for (const auto& batch : log->batches) {
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
  EXPECT_EQ(delivered + dropped, 3ull * events + 6);
  if (expect_all) {
    EXPECT_EQ(dropped, 0u);
    for (std::uint32_t t = 1; t <= 3; ++t) EXPECT_EQ(last[t], std::int64_t{events} + t - 1) << t;
  }
}

TEST(Pipeline, EveryEventIsExportedOnceInThreadOrderOrCounted) {
  // Far more than the rings hold: whether some are dropped depends on timing.
  check_session(100'000, false);
}

TEST(Pipeline, BatchesFlushedAtTheEndAreAllExportedBeforeFinish) {
  check_session(5 * BATCH_CAPACITY + 7, true);  // fits in the rings
}

TEST(Pipeline, TheDroppedCountReachesFinish) {
  std::uint64_t dropped = 0;
  EXPECT_EQ(run_session(0, 0, 42, dropped)->dropped, 42u);
}

}  // namespace
}  // namespace fennik
