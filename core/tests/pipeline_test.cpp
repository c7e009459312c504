#include "pipeline.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include "count_down.hpp"

#include "fake_lookups.hpp"

namespace fennik {
namespace {

using namespace std::chrono_literals;

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
  FakeExporter(std::shared_ptr<ExportLog> log, int fail_on_call)
      : log_(std::move(log)), fail_on_call_(fail_on_call) {}
  ~FakeExporter() override {
    std::lock_guard<std::mutex> g(log_->m);
    log_->destroyed = true;
  }
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    std::lock_guard<std::mutex> g(log_->m);
    if (++calls_ == fail_on_call_) return IoError::other("disk on fire");
    if (log_->finish_calls != 0) log_->wrote_after_finish = true;
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
  int fail_on_call_;
  int calls_ = 0;
};

struct Session {
  std::shared_ptr<EventQueue> queue = EventQueue::create(Clock::nanos(0));
  std::shared_ptr<ExportLog> log = std::make_shared<ExportLog>();
  std::future<IoStatus> result;

  explicit Session(int fail_on_call = 0) {
    auto codes = std::make_shared<testing::FakeCodes>();
    auto threads = std::make_shared<testing::FakeThreads>();
    result = std::async(std::launch::async, run_pipeline, queue, codes, threads,
                        std::make_unique<FakeExporter>(log, fail_on_call));
  }

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
// session ends. Checks that every event reached the exporter once, in its
// thread's order, before finish, or was counted as dropped.
void run_session(std::uint32_t events, bool expect_all) {
  Session s;
  constexpr std::uint32_t THREADS = 3;
  const std::uint32_t EVENTS = events;
  testing::CountDown recorded(THREADS), release(1);
  std::vector<std::thread> producers;
  for (std::uint32_t t = 1; t <= THREADS; ++t) {
    producers.emplace_back([&, t] {
      produce(*s.queue, t, EVENTS + t);  // every thread ends with a partial batch
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
    ASSERT_FALSE(batch.empty());
    const std::uint32_t tid = batch.front().tid;
    for (const Event& e : batch) {
      ASSERT_EQ(e.tid, tid) << "a batch mixes threads";
      const auto n = static_cast<std::int64_t>(word_code(e.code_kind));
      auto [it, fresh] = last.try_emplace(tid, -1);
      ASSERT_GT(n, it->second) << "duplicate or out of order on tid " << tid;
      ASSERT_EQ(e.ts_ns, 1'000u + static_cast<std::uint64_t>(n));
      it->second = n;
      ++delivered;
    }
  }
  std::uint64_t total = 0;
  for (std::uint32_t t = 1; t <= THREADS; ++t) {
    total += EVENTS + t;
    if (expect_all) {
      EXPECT_EQ(last[t], static_cast<std::int64_t>(EVENTS + t - 1)) << "tid " << t;
    }
  }
  EXPECT_EQ(delivered + s.log->dropped, total);
  if (expect_all) {
    EXPECT_EQ(s.log->dropped, 0u);
  }
}

TEST(Pipeline, EveryEventIsExportedOnceInThreadOrderOrCounted) {
  // Far more than the rings hold: whether some are dropped depends on timing.
  run_session(100'000, false);
}

TEST(Pipeline, BatchesFlushedAtTheEndAreAllExportedBeforeFinish) {
  // Fits in the rings, so nothing may be lost, the partial batches included.
  run_session(5 * BATCH_CAPACITY + 7, true);
}

TEST(Pipeline, AnEmptySessionOnlyFinishesWithTheDroppedCount) {
  Session s;
  s.queue->dropped.fetch_add(42);
  IoStatus status = s.end();
  ASSERT_FALSE(status);
  std::lock_guard<std::mutex> g(s.log->m);
  EXPECT_TRUE(s.log->batches.empty());
  EXPECT_EQ(s.log->finish_calls, 1);
  EXPECT_EQ(s.log->dropped, 42u);
}

TEST(Pipeline, AWriteErrorEndsItAtOnceWithoutFinishing) {
  Session s(/*fail_on_call=*/2);
  std::thread([&] { produce(*s.queue, 5, 10 * BATCH_CAPACITY); }).join();
  // The queue is never closed: the drain thread must end because the
  // exporting side is gone, and release its reference to the queue.
  IoStatus status = s.result.get();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->text(), "disk on fire");
  {
    std::lock_guard<std::mutex> g(s.log->m);
    EXPECT_EQ(s.log->batches.size(), 1u);
    EXPECT_EQ(s.log->finish_calls, 0);
    EXPECT_TRUE(s.log->destroyed);
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (s.queue.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(s.queue.use_count(), 1) << "the drain thread did not end";
}

// Names of this process's threads as the operating system shows them.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  return names;
}

TEST(Pipeline, TheDrainThreadIsNamedForTheOperatingSystem) {
  Session s;
  // Linux shows the first 15 characters of a thread name.
  const std::string shown = std::string(SERIALIZER_THREAD_NAME).substr(0, 15);
  bool seen = false;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    for (const auto& n : thread_names()) seen |= n == shown;
    if (!seen) std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(seen);
  ASSERT_FALSE(s.end());
}

}  // namespace
}  // namespace fennik
