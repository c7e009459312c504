#include "dir_sink.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "fake_lookups.hpp"
#include "recorder.hpp"

namespace fennik {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DirSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  const std::string dir = ::testing::TempDir() + "fennik-dumps-" + std::to_string(::getpid());
};

TEST_F(DirSinkTest, NamesTakeTheNextSuffixAndAppearOncePublished) {
  for (auto [format, ext, pid] : {std::tuple{Format::Json, "json", 0u},
                                  {Format::Protobuf, "pb", 4242u},
                                  {Format::Pprof, "pprof", 0u}}) {
    DirSink sink(dir, pid, format);
    // Names still being written are taken too.
    std::vector<OpenedDump> dumps;
    for (const char* suffix : {"", "-2", "-3"}) {
      auto dump = sink.open_at(1234, "my run/1");
      ASSERT_TRUE(dump.ok()) << dump.error().text();
      EXPECT_EQ(dump.value().path, dir + "/1234-my-run-1" + suffix + (pid ? ".4242." : ".") + ext);
      dumps.push_back(std::move(dump).value());
    }
    for (OpenedDump& dump : dumps) {
      EXPECT_FALSE(dump.exporter->finish(testing::FakeCodes{}, testing::FakeThreads{}, {}));
      dump.exporter.reset();
      EXPECT_FALSE(std::filesystem::exists(dump.path)) << "visible before it is complete";
      ASSERT_FALSE(dump.file->publish());
      EXPECT_FALSE(read_all(dump.path).empty()) << ext;
    }
  }
}

// On a full disk (a limit on the size of files stands in for it) a dump
// fails with the error and its path, and leaves nothing in the directory;
// with room again the next dump is there, whole, and nothing else.
TEST_F(DirSinkTest, AFailedDumpLeavesNoFileBehind) {
  auto queue = EventQueue::create(Clock::nanos(0));
  auto channel = std::make_shared<ControlChannel>(queue);
  auto result =
      std::async(std::launch::async, run_recorder, queue, std::make_shared<testing::FakeCodes>(),
                 std::make_shared<testing::FakeThreads>(),
                 std::make_unique<DirSink>(dir, 0, Format::Json), 1 << 30, channel);
  std::thread([&] {
    for (std::uint32_t i = 0; i < 40'000; ++i)  // 20,000 calls
      record(*queue, queue->clock.now_ticks(), make_word(i % 2 ? KIND_RETURN : KIND_START, i / 2));
  }).join();
  const auto dump = [&](const char* reason) {
    auto reply = std::make_shared<DumpReply>();
    EXPECT_TRUE(channel->send(Dump{ReplyTo(reply), reason, queue->clock.now_ticks()}));
    EXPECT_TRUE(reply->wait_for(std::chrono::seconds(10)));
    return reply;
  };
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
  const rlimit small{64 << 10, limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto full = dump("full");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  ASSERT_EQ(full->outcome(), DumpReply::Outcome::Failed);
  EXPECT_EQ(full->error()->os_code, EFBIG);
  EXPECT_TRUE(full->path().starts_with(dir + "/") && full->path().ends_with("-full.json"))
      << full->path();
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  auto room = dump("room");
  ASSERT_EQ(room->outcome(), DumpReply::Outcome::Written);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "more than the dump";
  EXPECT_GT(read_all(room->path()).size(), std::size_t{64} << 10);
  queue->close();
  EXPECT_FALSE(result.get());
}

// A planted symlink is skipped, not followed.
TEST_F(DirSinkTest, PlantedLinksAreSkipped) {
  std::ofstream(dir + "/target") << "keep";
  ASSERT_EQ(::symlink((dir + "/target").c_str(), (dir + "/5-exit.json").c_str()), 0);
  auto dump = DirSink(dir, 0, Format::Json).open_at(5, "exit");
  ASSERT_TRUE(dump.ok());
  EXPECT_EQ(dump.value().path, dir + "/5-exit-2.json");
  EXPECT_EQ(read_all(dir + "/target"), "keep");
}

TEST_F(DirSinkTest, WallClockNameAndSanitisedReason) {
  // The name's clock, not time()'s, which lags it by up to a tick.
  const auto now_ms = [] {
    return std::chrono::system_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
  };
  const long long before = now_ms();
  // é, €, an emoji, "|", a stray byte, a cut sequence's two bytes, an
  // encoded surrogate's three; then more than a name can hold.
  auto dump =
      DirSink(dir, 0, Format::Pprof)
          .open("a\u00e9b\u20ac\U0001F600|\xff\xe2\x82x\xed\xa0\x80.c_d" + std::string(300, 'r'));
  const long long after = now_ms();
  ASSERT_TRUE(dump.ok()) << dump.error().text();
  const std::string name = dump.value().path.substr(dir.size() + 1);
  EXPECT_TRUE(std::stoll(name) >= before && std::stoll(name) <= after) << name;
  const std::string kept = "a-b------x---.c_d";
  EXPECT_EQ(name.substr(name.find('-') + 1),
            kept + std::string(MAX_REASON_BYTES - kept.size(), 'r') + ".pprof");
}

}  // namespace
}  // namespace fennik
