#include "output.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace fennik {
namespace {

TEST(SharedFile, LockFailureKeepsTheBuffer) {
  SharedFile f = SharedFile::adopt(UniqueFd(-1));
  EXPECT_FALSE(f.flush()) << "an empty buffer touches nothing";
  f.write("kept");
  IoStatus err = f.flush();
  ASSERT_TRUE(err);
  EXPECT_EQ(err->os_code, EBADF);
  EXPECT_EQ(f.buffered(), 4u);
}

TEST(SharedFile, WritersInTwoProcessesLeaveWholeChunks) {
  const std::string path = ::testing::TempDir() + "fennik-shared-" + std::to_string(getpid());
  std::remove(path.c_str());
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
  const pid_t child = fork();
  if (child == 0) _exit(writer('b'));
  EXPECT_EQ(writer('a'), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::ifstream in(path, std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(in), {}};
  std::remove(path.c_str());
  ASSERT_EQ(all.size(), 2 * CHUNKS * CHUNK);
  for (std::size_t off = 0; off < all.size(); off += CHUNK) {
    ASSERT_EQ(all.find_first_not_of(all[off], off), off + CHUNK - 1) << "chunk at " << off;
  }
  EXPECT_EQ(std::count(all.begin(), all.end(), 'a'), CHUNKS * (CHUNK - 1));
  EXPECT_EQ(std::count(all.begin(), all.end(), 'b'), CHUNKS * (CHUNK - 1));
}

}  // namespace
}  // namespace fennik
