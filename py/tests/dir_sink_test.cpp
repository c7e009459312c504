#include "dir_sink.hpp"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

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

class DirSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  const std::string dir = ::testing::TempDir() + "fennik-dumps-" + std::to_string(::getpid());
};

TEST_F(DirSinkTest, NamesTakeTheNextSuffixAndHoldTheFormatsOutput) {
  // Ends an output with no events (an open that failed throws); what it wrote.
  const auto finish = [](IoResult<std::unique_ptr<Exporter>> opened, const std::string& path) {
    EXPECT_FALSE(std::unique_ptr<Exporter>(std::move(opened).value())
                     ->finish(testing::FakeCodes{}, testing::FakeThreads{}, {}));
    return read_all(path);
  };
  for (auto [format, ext] :
       {std::pair{Format::Json, "json"}, {Format::Protobuf, "pb"}, {Format::Pprof, "pprof"}}) {
    for (const std::uint32_t pid : {0u, 4242u}) {
      DirSink sink(dir, pid, format);
      for (const char* suffix : {"", "-2", "-3"}) {
        auto dump = sink.open_at(1234, "my run/1");
        ASSERT_TRUE(dump.ok()) << dump.error().text();
        const std::string path = dump.value().path;
        EXPECT_EQ(path, dir + "/1234-my-run-1" + suffix + (pid ? ".4242." : ".") + ext);
        // The same bytes as a streaming output of the format.
        const std::string want = finish(Format::open(format, dir + "/s", pid, false), dir + "/s");
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(finish(std::move(dump.value().exporter), path), want) << ext;
      }
    }
  }
}

// A planted symlink is skipped, not followed; a directory that is not UTF-8
// or is gone fails the open.
TEST_F(DirSinkTest, PlantedLinksAndBadDirectories) {
  std::ofstream(dir + "/target") << "keep";
  ASSERT_EQ(::symlink((dir + "/target").c_str(), (dir + "/5-exit.json").c_str()), 0);
  auto dump = DirSink(dir, 0, Format::Json).open_at(5, "exit");
  ASSERT_TRUE(dump.ok());
  EXPECT_EQ(dump.value().path, dir + "/5-exit-2.json");
  EXPECT_EQ(read_all(dir + "/target"), "keep");
  auto not_unicode = DirSink(dir + "/\xff", 0, Format::Json).open_at(1, "exit");
  EXPECT_TRUE(!not_unicode.ok() && not_unicode.error().description == NOT_UNICODE);
  auto removed = DirSink(dir + "/gone", 0, Format::Json).open_at(1, "exit");
  EXPECT_TRUE(!removed.ok() && removed.error().os_code == ENOENT);
}

TEST_F(DirSinkTest, WallClockNameAndSanitisedReason) {
  const long long before = ::time(nullptr) * 1000LL;
  // é, €, an emoji, "|", a stray byte, a cut sequence's two bytes, an
  // encoded surrogate's three; then more than a name can hold.
  auto dump =
      DirSink(dir, 0, Format::Pprof)
          .open("a\u00e9b\u20ac\U0001F600|\xff\xe2\x82x\xed\xa0\x80.c_d" + std::string(300, 'r'));
  const long long after = (::time(nullptr) + 1) * 1000LL;
  ASSERT_TRUE(dump.ok()) << dump.error().text();
  const std::string name = dump.value().path.substr(dir.size() + 1);
  EXPECT_TRUE(std::stoll(name) >= before && std::stoll(name) < after) << name;
  const std::string kept = "a-b------x---.c_d";
  EXPECT_EQ(name.substr(name.find('-') + 1),
            kept + std::string(MAX_REASON_BYTES - kept.size(), 'r') + ".pprof");
}

}  // namespace
}  // namespace fennik
