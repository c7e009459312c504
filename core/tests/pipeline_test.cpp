// Threads record into a queue that a streaming pipeline drains into an
// exporter: every event arrives once, in its thread's order, before the one
// finish, or is counted as dropped, and the count reaches finish. Also run
// under ThreadSanitizer.
#include "pipeline.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "count_down.hpp"
#include "fake_lookups.hpp"

namespace fennik {
namespace {

constexpr std::uint32_t PRODUCERS = 4;
#if defined(__SANITIZE_THREAD__)
constexpr std::uint32_t MANY_EVENTS = 150'000;
#else
constexpr std::uint32_t MANY_EVENTS = 1'000'000;
#endif
static_assert(MANY_EVENTS + PRODUCERS <= MAX_CODE_ID);

// What the exporter saw, kept beyond its life.
struct ExportLog {
  std::mutex m;
  std::map<std::uint32_t, std::int64_t> last;  // per tid, the last code seen
  std::uint64_t delivered = 0;
  std::uint64_t dropped = 0;
  int finish_calls = 0;
  bool destroyed = false;
  std::string error;  // the first broken rule
};

class CheckingExporter : public Exporter {
 public:
  CheckingExporter(std::shared_ptr<ExportLog> log, testing::CountDown* gate)
      : log_(std::move(log)), gate_(gate) {}
  ~CheckingExporter() override { log_->destroyed = true; }
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    if (gate_ != nullptr) gate_->wait();
    std::lock_guard<std::mutex> g(log_->m);
    for (const Event& e : events) {
      const auto n = static_cast<std::int64_t>(word_code(e.code_kind));
      std::int64_t& last = log_->last.try_emplace(e.tid, -1).first->second;
      if (log_->error.empty() &&
          (events.size() > BATCH_CAPACITY || e.tid != events.front().tid || n <= last ||
           e.ts_ns != 1'000u + static_cast<std::uint64_t>(n) || log_->finish_calls != 0)) {
        log_->error = "tid " + std::to_string(e.tid) + " event " + std::to_string(n) +
                      ": in an oversized or mixed batch, repeated, reordered, mistimed or late";
      }
      last = n;
      ++log_->delivered;
    }
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
  testing::CountDown* gate_;
};

// Each producer records `events + tid` events (codes their sequence numbers,
// ticks 1,000 past them), then stays idle while the session ends as the tracer
// ends it: flush every thread, count the loss, close, wait. A stalled exporter
// takes nothing until every producer is done, so the rings fill.
void run_session(std::uint32_t events, bool stall, bool expect_all) {
  auto queue = EventQueue::create(Clock::nanos(0));
  auto log = std::make_shared<ExportLog>();
  testing::CountDown recorded(PRODUCERS), release(1);
  auto result =
      std::async(std::launch::async, run_pipeline, queue, std::make_shared<testing::FakeCodes>(),
                 std::make_shared<testing::FakeThreads>(),
                 std::make_unique<CheckingExporter>(log, stall ? &recorded : nullptr));
  std::vector<std::thread> producers;
  for (std::uint32_t tid = 1; tid <= PRODUCERS; ++tid) {
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
  ASSERT_FALSE(status) << status->text();

  EXPECT_EQ(log->error, "");
  EXPECT_EQ(log->finish_calls, 1);
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(log->dropped, queue->dropped.load());
  EXPECT_EQ(log->delivered + log->dropped,
            std::uint64_t{PRODUCERS} * events + PRODUCERS * (PRODUCERS + 1) / 2);
  if (stall) {
    EXPECT_GT(log->dropped, 0u) << "a stalled exporter must have let the rings fill";
  }
  if (expect_all) {
    EXPECT_EQ(log->dropped, 0u);
    for (std::uint32_t t = 1; t <= PRODUCERS; ++t) {
      EXPECT_EQ(log->last[t], std::int64_t{events} + t - 1) << "tid " << t;
    }
  }
}

TEST(Pipeline, EveryEventIsExportedOnceInThreadOrderOrCounted) {
  run_session(MANY_EVENTS, false, false);
}

TEST(Pipeline, AStalledExporterLetsTheRingsFillAndTheLossIsCounted) {
  run_session(MANY_EVENTS, true, false);
}

TEST(Pipeline, PartialBatchesFlushedAtTheEndAreExportedBeforeFinish) {
  run_session(5 * BATCH_CAPACITY + 7, false, true);  // fits in the rings
}

}  // namespace
}  // namespace fennik
