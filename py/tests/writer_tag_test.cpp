#include "writer_tag.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fd.hpp"
#include "proto_exporter.hpp"

namespace fennik {
namespace {

class WriterTagTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path); }
  // Each call is a writer of its own: an open file of its own.
  UniqueFd open_writer() const {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  }
  const std::string path =
      ::testing::TempDir() + "fennik-writers-" + std::to_string(::getpid()) + ".pb";
};

// Writers come and go in a generated order, up to twice as many at once as
// there are small tags: each takes the lowest small tag no live writer
// holds, or, with all of them held, a large one no live writer holds.
TEST_F(WriterTagTest, LiveWritersNeverShareATagAndTakeTheLowestFree) {
  std::mt19937 rng(20261208);
  std::map<std::uint32_t, UniqueFd> live;  // by tag
  for (int step = 0; step < 2000; ++step) {
    const bool join = live.empty() || (live.size() < 2 * SMALL_WRITER_TAGS && rng() % 5 < 3);
    if (!join) {
      auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
      live.erase(it);
      continue;
    }
    UniqueFd fd = open_writer();
    ASSERT_TRUE(fd.valid());
    const auto pid = static_cast<std::uint32_t>(1 + rng() % (1u << PROTO_WRITER_TAG_BITS));
    const std::uint32_t tag = claim_writer_tag(fd.get(), pid);
    ASSERT_FALSE(live.contains(tag)) << "step " << step << ": tag " << tag << " held twice";
    std::uint32_t lowest_free = 1;
    while (live.contains(lowest_free)) ++lowest_free;
    if (lowest_free <= SMALL_WRITER_TAGS) {
      ASSERT_EQ(tag, lowest_free) << "step " << step;
    } else {
      ASSERT_GT(tag, SMALL_WRITER_TAGS);
      ASSERT_LT(tag, 1u << PROTO_WRITER_TAG_BITS);
    }
    live.emplace(tag, std::move(fd));
  }
}

// Other processes see the tags held, and a tag is free again once the
// process holding it has ended.
TEST_F(WriterTagTest, ProcessesTakeTagsOthersDoNotHold) {
  std::vector<UniqueFd> held;
  for (std::uint32_t want = 1; want <= 3; ++want) {
    held.push_back(open_writer());
    ASSERT_EQ(claim_writer_tag(held.back().get(), 99999), want);
  }
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  UniqueFd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    UniqueFd mine = open_writer();
    const std::uint32_t tag = claim_writer_tag(mine.get(), 99999);
    const bool sent = ::write(write_end.get(), &tag, sizeof tag) == sizeof tag;
    ::_exit(sent ? 0 : 1);
  }
  std::uint32_t childs = 0;
  EXPECT_EQ(::read(read_end.get(), &childs, sizeof childs), static_cast<ssize_t>(sizeof childs));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(childs, 4u);
  UniqueFd after = open_writer();
  EXPECT_EQ(claim_writer_tag(after.get(), 99999), 4u) << "the ended child's tag is free";
  held.erase(held.begin());
  UniqueFd again = open_writer();
  EXPECT_EQ(claim_writer_tag(again.get(), 99999), 1u) << "a closed writer's tag is free";
}

// Where the locks cannot be trusted (here a pipe and a socket, on systems
// no writers share a file through) the process id is the tag.
TEST_F(WriterTagTest, OutputsElsewhereKeepTheProcessId) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  EXPECT_EQ(claim_writer_tag(write_end.get(), 4242), 4242u);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd one(fds[0]), other(fds[1]);
  EXPECT_EQ(claim_writer_tag(one.get(), 4243), 4243u);
}

}  // namespace
}  // namespace fennik
