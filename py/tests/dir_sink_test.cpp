#include "dir_sink.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fake_lookups.hpp"

namespace fennik {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Ends the output with no events; what it wrote.
std::string finish(std::unique_ptr<Exporter> exporter, const std::string& path) {
  EXPECT_FALSE(exporter->finish(testing::FakeCodes{}, testing::FakeThreads{}, RunStats{}));
  exporter.reset();
  return read_all(path);
}

class DirSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  const std::string dir = ::testing::TempDir() + "fennik-dumps-" + std::to_string(::getpid());
};

TEST_F(DirSinkTest, NamesTakeTheNextSuffixAndHoldTheFormatsOutput) {
  for (auto [format, ext] :
       {std::pair{Format::Json, "json"}, {Format::Protobuf, "pb"}, {Format::Pprof, "pprof"}}) {
    for (const std::uint32_t pid : {0u, 4242u}) {
      DirSink sink(dir, pid, format);
      for (const char* suffix : {"", "-2", "-3"}) {
        auto dump = sink.open_at(1234, "my run/1");
        ASSERT_TRUE(dump.ok()) << dump.error().text();
        EXPECT_EQ(dump.value().path,
                  dir + "/1234-my-run-1" + suffix + (pid ? ".4242." : ".") + ext);
        // The same bytes as a streaming output of the format.
        auto streamed = Format::open(format, dir + "/streamed", pid, false);
        ASSERT_TRUE(streamed.ok());
        const std::string want = finish(std::move(streamed).value(), dir + "/streamed");
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(finish(std::move(dump.value().exporter), dump.value().path), want) << ext;
      }
    }
  }
}

TEST_F(DirSinkTest, PlantedSymlinkIsSkippedNotFollowed) {
  std::ofstream(dir + "/target") << "keep";
  ASSERT_EQ(::symlink((dir + "/target").c_str(), (dir + "/5-exit.json").c_str()), 0);
  auto dump = DirSink(dir, 0, Format::Json).open_at(5, "exit");
  ASSERT_TRUE(dump.ok());
  EXPECT_EQ(dump.value().path, dir + "/5-exit-2.json");
  EXPECT_EQ(read_all(dir + "/target"), "keep");
}

TEST_F(DirSinkTest, WallClockNameAndSanitisedReason) {
  const auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const auto before = now_ms();
  // é, €, an emoji, "|", a stray byte, a cut sequence's two bytes, an
  // encoded surrogate's three; then more than a name can hold.
  auto dump =
      DirSink(dir, 0, Format::Pprof)
          .open("a\u00e9b\u20ac\U0001F600|\xff\xe2\x82x\xed\xa0\x80.c_d" + std::string(300, 'r'));
  const auto after = now_ms();
  ASSERT_TRUE(dump.ok()) << dump.error().text();
  const std::string name = dump.value().path.substr(dir.size() + 1);
  EXPECT_GE(std::stoll(name), before);
  EXPECT_LE(std::stoll(name), after);
  const std::string kept = "a-b------x---.c_d";
  EXPECT_EQ(name.substr(name.find('-') + 1),
            kept + std::string(MAX_REASON_BYTES - kept.size(), 'r') + ".pprof");
}

TEST_F(DirSinkTest, BadDirectoriesFailTheOpen) {
  auto not_unicode = DirSink(dir + "/\xff", 0, Format::Json).open_at(1, "exit");
  ASSERT_FALSE(not_unicode.ok());
  EXPECT_EQ(not_unicode.error().description, NOT_UNICODE);
  auto removed = DirSink(dir + "/gone", 0, Format::Json).open_at(1, "exit");
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().os_code, ENOENT);
}

}  // namespace
}  // namespace fennik
