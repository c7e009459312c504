#include "recorder.hpp"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>

#include "fake_lookups.hpp"
#include "steady_producer.hpp"

namespace fennik {
namespace {

using namespace std::chrono_literals;

// The codes each dump started, by path.
struct Dumps {
  std::mutex m;
  std::map<std::string, std::vector<std::uint32_t>> codes;
  // While set, the next dump's first write waits for `open` after counting
  // `entered` down.
  std::atomic<bool> gate{false};
  std::latch entered{1}, open{1};
};

struct LoggingExporter : Exporter {
  LoggingExporter(Dumps& d, std::vector<std::uint32_t>& s)
      : dumps(d), started(s), gated(d.gate.exchange(false)) {}
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    if (std::exchange(gated, false)) {
      dumps.entered.count_down();
      dumps.open.wait();
    }
    std::lock_guard<std::mutex> g(dumps.m);
    for (const Event& e : events)
      if (word_kind(e.code_kind) == KIND_START) started.push_back(word_code(e.code_kind));
    return IO_OK;
  }
  IoStatus write_gap(std::uint32_t, std::uint64_t, std::uint64_t, const CodeLookup&,
                     const ThreadNames&) override {
    return IoError::other("no gap expected");
  }
  IoStatus finish(const CodeLookup&, const ThreadNames&, const RunStats&) override { return IO_OK; }
  Dumps& dumps;
  std::vector<std::uint32_t>& started;
  bool gated;
};

struct FakeSink : DumpSink {
  explicit FakeSink(std::shared_ptr<Dumps> d) : dumps(std::move(d)) {}
  IoResult<OpenedDump> open(const std::string& reason) override {
    std::string path = reason + "#" + std::to_string(++opened);
    std::lock_guard<std::mutex> g(dumps->m);
    return OpenedDump{path, std::make_unique<LoggingExporter>(*dumps, dumps->codes[path]), nullptr};
  }
  std::shared_ptr<Dumps> dumps;
  int opened = 0;
};

// A recorder thread, with one thread after another calling codes 0, 1, ...
// (a start and a return each), and requests and what their dumps hold.
struct RecorderSession {
  explicit RecorderSession(std::uint64_t budget)
      : result(std::async(std::launch::async, run_recorder, queue,
                          std::make_shared<testing::FakeCodes>(),
                          std::make_shared<testing::FakeThreads>(),
                          std::make_unique<FakeSink>(dumps), budget, channel)) {}

  void record_some(std::uint32_t n) {
    std::thread([&] {
      for (std::uint32_t i = 0; i < n; ++i) {
        record(*queue, queue->clock.now_ticks(), make_word(KIND_START, next));
        record(*queue, queue->clock.now_ticks(), make_word(KIND_RETURN, next++));
      }
    }).join();
  }
  // A dump of all that is held, or of window `id`'s part from `from` on.
  std::shared_ptr<DumpReply> dump(const char* reason, std::optional<std::uint64_t> id = {},
                                  std::uint64_t from = 0) {
    auto reply = std::make_shared<DumpReply>();
    const std::uint64_t now = queue->clock.now_ticks();
    EXPECT_TRUE(channel->send(id ? Control{DumpWindow{ReplyTo(reply), reason, *id, from, now}}
                                 : Control{Dump{ReplyTo(reply), reason, now}}));
    return reply;
  }
  std::vector<std::uint32_t> dumped(const std::shared_ptr<DumpReply>& reply) {
    EXPECT_TRUE(reply->wait_for(10s));
    std::lock_guard<std::mutex> g(dumps->m);
    return reply->outcome() == DumpReply::Outcome::Written ? dumps->codes[reply->path()]
                                                           : std::vector<std::uint32_t>{};
  }

  // The session starts now: ticks before it are well above 0.
  std::shared_ptr<EventQueue> queue =
      EventQueue::create(Clock::nanos(read_monotonic_ns()), std::uint64_t{1} << 30);
  std::shared_ptr<Dumps> dumps = std::make_shared<Dumps>();
  std::shared_ptr<ControlChannel> channel = std::make_shared<ControlChannel>(queue);
  std::future<IoStatus> result;
  std::uint32_t next = 0;
};

std::vector<std::uint32_t> counting(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint32_t> v(to - from);
  std::iota(v.begin(), v.end(), from);
  return v;
}

// Every reply is checked against what the dump holds: everything so far, a
// window's part only, and the requests still waiting when the session ends,
// the last dump after them. (A dump that cannot be written is the Python
// tests' concern.)
TEST(Recorder, AnswersEveryRequestInOrder) {
  RecorderSession s(std::uint64_t{1} << 30);
  s.record_some(3000);
  EXPECT_EQ(s.dumped(s.dump("a")), counting(0, 3000));
  const std::uint64_t since = s.queue->clock.now_ticks();
  s.channel->send(OpenWindow{7, since});
  s.record_some(1500);
  EXPECT_EQ(s.dumped(s.dump("w", 7, since)), counting(3000, 4500));
  // Sent as the session ends: answered before the last dump, nothing after.
  auto late = s.dump("late");
  s.channel->request_final_dump(FinalDump{"exit", s.queue->clock.now_ticks()});
  s.queue->close();
  EXPECT_FALSE(s.result.get());
  EXPECT_EQ(s.dumped(late).size(), 4500u);
  EXPECT_EQ(s.dumps->codes.at("exit#4"), counting(0, 4500));
  auto refused = std::make_shared<DumpReply>();
  EXPECT_FALSE(s.channel->send(Dump{ReplyTo(refused), "gone", 0}));
  EXPECT_TRUE(refused->wait_for(0s) && refused->outcome() == DumpReply::Outcome::Gone);
  EXPECT_GT(s.queue->recycle_floor(), 0u);
}

// A dump asked for while another is written (its requester gone, as after
// Ctrl-C, or still waiting) shows all the ring held when it was asked: the
// first dump draining the threads as it writes, and the end of the window it
// dumped, give up nothing the second still needs. While the second waits,
// the ring grows up to its hard limit, and then the first stops draining.
TEST(Recorder, ADumpWaitingBehindAnotherShowsWhatWasHeldWhenAsked) {
  constexpr std::uint32_t CALLS_PER_BATCH = BATCH_CAPACITY / 2;
  const std::uint64_t budget = 16 * held_batch_bytes(EventBatch(BATCH_CAPACITY, 0, 0));
  for (const bool window : {false, true}) {
    // Batches recorded while the first dump is written: within twice the
    // budget, so that an open window would keep them all, or far past it.
    for (const std::uint32_t later : {4, 64}) {
      RecorderSession s(budget);
      if (window) s.channel->send(OpenWindow{1, 0});
      s.record_some(24 * CALLS_PER_BATCH);
      s.dumps->gate = true;
      auto first = s.dump("first", window ? std::optional<std::uint64_t>(1) : std::nullopt);
      s.dumps->entered.wait();
      auto second = s.dump("second");
      s.record_some(later * CALLS_PER_BATCH);
      s.dumps->open.count_down();
      // The ring keeps its budget's worth of the newest calls, or all of
      // them while the window is open; the first dump may show more, from
      // the threads' lists.
      const std::uint32_t recorded = 24 * CALLS_PER_BATCH;
      const std::uint32_t kept = (window ? 24 : 16) * CALLS_PER_BATCH;
      const std::vector<std::uint32_t> shown = s.dumped(first);
      EXPECT_GE(shown.size(), kept);
      EXPECT_EQ(shown, counting(recorded - static_cast<std::uint32_t>(shown.size()), recorded));
      EXPECT_EQ(s.dumped(second), counting(recorded - kept, recorded))
          << "window " << window << ", later " << later;
      s.queue->close();
      EXPECT_FALSE(s.result.get());
    }
  }
}

// What the ring evicts goes back to its thread: a thread recording steadily
// into a recorder needs no allocation once its batches are in circulation.
TEST(Recorder, EvictedBatchesRefillASteadyThreadWithoutAllocating) {
  constexpr std::uint32_t BATCHES = 200, AHEAD = 8, RING_BATCHES = 4;
  auto queue = EventQueue::create(Clock::nanos(0));
  Recorder recorder(queue, std::make_shared<testing::FakeCodes>(),
                    std::make_shared<testing::FakeThreads>(),
                    std::make_unique<FakeSink>(std::make_shared<Dumps>()),
                    RING_BATCHES * held_batch_bytes(EventBatch(BATCH_CAPACITY, 0, 0)),
                    std::make_shared<ControlChannel>(queue));
  std::atomic<std::uint32_t> recycled{0};
  std::latch warm(1);
  std::jthread producer = testing::record_steadily(*queue, BATCHES, AHEAD, recycled, warm);
  warm.wait();
  // A dropped event means a batch that never comes: the loop ends there too.
  while (recorder.ring().pushed() < BATCHES && queue->dropped.load() == 0) {
    recorder.absorb(ABSORB_ALL);
    recycled.store(static_cast<std::uint32_t>(recorder.ring().evicted()));
  }
  EXPECT_EQ(queue->dropped.load(), 0u);
}

}  // namespace
}  // namespace fennik
