#include "recorder.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include "fake_lookups.hpp"

namespace fennik {
namespace {

using namespace std::chrono_literals;

// The codes each dump started, by path.
struct Dumps {
  std::mutex m;
  std::map<std::string, std::vector<std::uint32_t>> codes;
};

struct LoggingExporter : Exporter {
  LoggingExporter(Dumps& d, std::vector<std::uint32_t>& s) : dumps(d), started(s) {}
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
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
};

struct FakeSink : DumpSink {
  explicit FakeSink(std::shared_ptr<Dumps> d) : dumps(std::move(d)) {}
  IoResult<OpenedDump> open(const std::string& reason) override {
    std::string path = reason + "#" + std::to_string(++opened);
    std::lock_guard<std::mutex> g(dumps->m);
    return OpenedDump{path, std::make_unique<LoggingExporter>(*dumps, dumps->codes[path])};
  }
  std::shared_ptr<Dumps> dumps;
  int opened = 0;
};

// One thread calls codes 0..n-1 between requests; every reply is checked
// against what the dump holds: everything so far, a window's part only, and
// the requests still waiting when the session ends, the last dump after them.
// (A dump that cannot be written is the Python tests' concern.)
TEST(Recorder, AnswersEveryRequestInOrder) {
  auto queue = EventQueue::create(Clock::nanos(0));
  auto dumps = std::make_shared<Dumps>();
  auto channel = std::make_shared<ControlChannel>(queue);
  auto result =
      std::async(std::launch::async, run_recorder, queue, std::make_shared<testing::FakeCodes>(),
                 std::make_shared<testing::FakeThreads>(), std::make_unique<FakeSink>(dumps),
                 std::uint64_t{1} << 30, channel);
  std::uint32_t next = 0;
  auto record_some = [&](std::uint32_t n) {
    std::thread([&] {
      for (std::uint32_t i = 0; i < n; ++i) {
        record(*queue, queue->clock.now_ticks(), make_word(KIND_START, next));
        record(*queue, queue->clock.now_ticks(), make_word(KIND_RETURN, next++));
      }
    }).join();
  };
  auto request = [&](auto make) {
    auto reply = std::make_shared<DumpReply>();
    EXPECT_TRUE(channel->send(make(ReplyTo(reply), queue->clock.now_ticks())));
    return reply;
  };
  auto dumped = [&](const std::shared_ptr<DumpReply>& reply) {
    EXPECT_TRUE(reply->wait_for(10s));
    std::lock_guard<std::mutex> g(dumps->m);
    return reply->outcome() == DumpReply::Outcome::Written ? dumps->codes[reply->path()]
                                                           : std::vector<std::uint32_t>{};
  };
  auto counting = [](std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> v(to - from);
    std::iota(v.begin(), v.end(), from);
    return v;
  };
  auto dump = [&](const char* reason) {
    return request([&](ReplyTo r, std::uint64_t t) { return Dump{std::move(r), reason, t}; });
  };
  record_some(3000);
  EXPECT_EQ(dumped(dump("a")), counting(0, 3000));
  const std::uint64_t since = queue->clock.now_ticks();
  channel->send(OpenWindow{7, since});
  record_some(1500);
  EXPECT_EQ(dumped(request([&](ReplyTo r, std::uint64_t t) {
              return DumpWindow{std::move(r), "w", 7, since, t};
            })),
            counting(3000, 4500));
  // Sent as the session ends: answered before the last dump, nothing after.
  auto late = dump("late");
  channel->request_final_dump(FinalDump{"exit", queue->clock.now_ticks()});
  queue->close();
  EXPECT_FALSE(result.get());
  EXPECT_EQ(dumped(late).size(), 4500u);
  EXPECT_EQ(dumps->codes.at("exit#4"), counting(0, 4500));
  auto refused = std::make_shared<DumpReply>();
  EXPECT_FALSE(channel->send(Dump{ReplyTo(refused), "gone", 0}));
  EXPECT_TRUE(refused->wait_for(0s) && refused->outcome() == DumpReply::Outcome::Gone);
  EXPECT_GT(queue->recycle_floor(), 0u);
}

}  // namespace
}  // namespace fennik
