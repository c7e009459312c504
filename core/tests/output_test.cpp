#include "output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "temp_dir.hpp"

namespace fennik {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

SharedFile open_ok(const std::string& path, bool truncate) {
  auto r = SharedFile::open(path, truncate);
  if (!r.ok()) ADD_FAILURE() << r.error().text();
  return std::move(r).value();
}

TEST(SharedFile, TruncateEmptiesAtOpenAppendKeeps) {
  TempDir dir;
  const std::string path = dir.file("out");
  write_file(path, "old");
  {
    SharedFile f = open_ok(path, false);
    f.write("+new");
    EXPECT_EQ(read_file(path), "old") << "nothing reaches the file before a flush";
  }
  EXPECT_EQ(read_file(path), "old+new") << "destruction flushes";
  {
    SharedFile f = open_ok(path, true);
    EXPECT_EQ(read_file(path), "") << "truncated at open, before any flush";
    f.write("fresh");
    ASSERT_FALSE(f.flush());
  }
  EXPECT_EQ(read_file(path), "fresh");
}

TEST(SharedFile, CreatesMissingFilesAndReportsOsErrors) {
  TempDir dir;
  EXPECT_TRUE(SharedFile::open(dir.file("a"), false).ok());
  EXPECT_TRUE(SharedFile::open(dir.file("b"), true).ok());
  auto missing = SharedFile::open(dir.file("no/such/dir"), true);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, IoErrorKind::Os);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
}

TEST(SharedFile, FlushOfAnEmptyBufferTouchesNothing) {
  // An invalid descriptor would make any system call fail.
  SharedFile f = SharedFile::adopt(UniqueFd(-1));
  EXPECT_FALSE(f.flush());
}

TEST(SharedFile, LockFailureKeepsTheBuffer) {
  SharedFile f = SharedFile::adopt(UniqueFd(-1));
  f.write("kept");
  IoStatus err = f.flush();
  ASSERT_TRUE(err);
  EXPECT_EQ(err->os_code, EBADF);
  EXPECT_EQ(f.buffered(), 4u);
}

TEST(SharedFile, WriteFailureDropsTheBufferAndReportsIt) {
  const int fd = ::open("/dev/full", O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  SharedFile f = SharedFile::adopt(UniqueFd(fd));
  f.write(std::string(200'000, 'x'));  // larger than the initial buffer
  IoStatus err = f.flush();
  ASSERT_TRUE(err);
  EXPECT_EQ(err->text(), "No space left on device (os error 28)");
  EXPECT_EQ(f.buffered(), 0u);
  EXPECT_FALSE(f.flush()) << "nothing is left to write";
}

TEST(SharedFile, WritersInTwoProcessesLeaveWholeChunks) {
  TempDir dir;
  const std::string path = dir.file("shared");
  constexpr int CHUNKS = 200;
  constexpr std::size_t CHUNK = 50'000;  // several write() calls' worth on a pipe-sized boundary
  const auto writer = [&](char letter) {
    auto r = SharedFile::open(path, false);
    if (!r.ok()) return 1;
    SharedFile f = std::move(r).value();
    for (int i = 0; i < CHUNKS; ++i) {
      f.write(std::string(CHUNK - 1, letter));
      f.put('\n');
      if (f.flush()) return 2;
    }
    return 0;
  };
  {
    SharedFile create = open_ok(path, true);
  }
  const pid_t child = fork();
  if (child == 0) _exit(writer('b'));
  const int parent_rc = writer('a');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(parent_rc, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string all = read_file(path);
  ASSERT_EQ(all.size(), 2 * CHUNKS * CHUNK);
  int a = 0, b = 0;
  for (std::size_t off = 0; off < all.size(); off += CHUNK) {
    const char c = all[off];
    ASSERT_TRUE(c == 'a' || c == 'b');
    ASSERT_EQ(all.find_first_not_of(c, off), off + CHUNK - 1) << "chunk at " << off << " mixed";
    ASSERT_EQ(all[off + CHUNK - 1], '\n');
    (c == 'a' ? a : b)++;
  }
  EXPECT_EQ(a, CHUNKS);
  EXPECT_EQ(b, CHUNKS);
}

}  // namespace
}  // namespace fennik
