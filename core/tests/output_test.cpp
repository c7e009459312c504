#include "output.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#if FENNIK_TEST_ZLIB
#include <zlib.h>
#endif

namespace fennik {
namespace {

TEST(SharedFile, AChunkTheFileCannotTakeWholeIsTakenBack) {
  // A file size limit cuts the fourth chunk short, as a full disk would.
  const std::string path = ::testing::TempDir() + "fennik-cut-" + std::to_string(getpid());
  constexpr std::size_t CHUNK = 300'000;
  const pid_t child = fork();
  if (child == 0) {
    const rlimit limit{3 * CHUNK + CHUNK / 3, 3 * CHUNK + CHUNK / 3};
    if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(1);
    auto r = SharedFile::open(path, true);
    if (!r.ok()) _exit(2);
    SharedFile f = std::move(r).value();
    for (char c = 'a'; c < 'z'; ++c) {
      f.write(std::string(CHUNK, c));
      if (IoStatus err = f.flush()) _exit(err->os_code == EFBIG && c == 'd' ? 0 : 3);
    }
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  std::remove(path.c_str());
  EXPECT_EQ(st.st_size, 3 * CHUNK);
}

TEST(SharedFile, WritersInTwoProcessesLeaveWholeChunks) {
  // In the working directory (the build tree), where outputs go, rather
  // than a temporary file system that reserves no room.
  const std::string path = "fennik-shared-" + std::to_string(getpid());
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

  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  // Room reserved ahead of the end while writing is all given back.
  EXPECT_LT(st.st_blocks * 512, st.st_size + RESERVE_CHUNK_BYTES / 4);
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

#if FENNIK_TEST_ZLIB
// What gzip readers make of the file: every member, in order, by zlib's own
// reader, which reads concatenated members as one stream.
std::string gunzip(const std::string& path) {
  gzFile in = gzopen(path.c_str(), "rb");
  if (in == nullptr) return "<unopened>";
  std::string out;
  char chunk[65'536];
  int n;
  while ((n = gzread(in, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<std::size_t>(n));
  if (n < 0) out += "<damaged>";
  gzclose(in);
  return out;
}

// Random pieces (from a byte to over two flushes' worth), each followed by
// flush_if_full() or, now and then, flush(): the file must read back as
// exactly what was written, whether members compress on this thread alone or
// alternately on the second one too.
TEST(SharedFile, CompressedMembersReadBackInOrder) {
  if (!Deflater::available()) GTEST_SKIP() << "this build has no compressor";
  const std::string path = ::testing::TempDir() + "fennik-gzip-" + std::to_string(getpid());
  constexpr int ROUNDS = 12;
  constexpr int PIECES = 60;
  constexpr std::size_t MAX_PIECE = 2 * SHARED_FILE_FLUSH_BYTES + 1'000;
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < ROUNDS; ++round) {
    const bool alongside = round % 2 == 1;
    std::string written;
    {
      auto r = SharedFile::open(path, true);
      ASSERT_TRUE(r.ok());
      SharedFile f = std::move(r).value();
      f.compress_each_flush();
      if (alongside) f.compress_alongside();
      for (int i = 0; i < PIECES; ++i) {
        // Short words from a small alphabet compress as traces do; the
        // round and piece numbers keep members from being alike.
        std::string piece = std::to_string(round) + ":" + std::to_string(i) + ";";
        // Lengths spread over orders of magnitude: most pieces are short.
        const std::size_t len = rng() % ((MAX_PIECE >> (rng() % 11)) + 1);
        while (piece.size() < len) piece.push_back(static_cast<char>('a' + rng() % 7));
        f.write(piece);
        written += piece;
        const IoStatus status = rng() % 8 == 0 ? f.flush() : f.flush_if_full();
        ASSERT_FALSE(status) << status->text();
      }
      if (rng() % 2 == 0) {
        ASSERT_FALSE(f.flush());
      }  // else the destructor's flush
    }
    const std::string read = gunzip(path);
    ASSERT_EQ(read.size(), written.size()) << "round " << round;
    ASSERT_TRUE(read == written) << "round " << round;
  }
  std::remove(path.c_str());
}
#endif

// What the file cannot take for want of its lock stays in hand: the buffer,
// and a member handed to the second thread, which neither flush nor
// destruction then waits on forever.
TEST(SharedFile, LockFailureKeepsTheBuffer) {
  for (const bool alongside : {false, true}) {
    if (alongside && !Deflater::available()) continue;
    SharedFile f = SharedFile::adopt(UniqueFd(-1));
    EXPECT_FALSE(f.flush()) << "an empty buffer touches nothing";
    if (alongside) {
      f.compress_each_flush();
      f.compress_alongside();
      f.write(std::string(SHARED_FILE_FLUSH_BYTES, 'x'));
      EXPECT_FALSE(f.flush_if_full()) << "handed over, not written";
      EXPECT_EQ(f.buffered(), 0u);
    }
    f.write("kept");
    for (int attempt = 0; attempt < 2; ++attempt) {
      IoStatus err = f.flush();
      ASSERT_TRUE(err);
      EXPECT_EQ(err->os_code, EBADF);
      EXPECT_EQ(f.buffered(), 4u);
    }
  }
}

}  // namespace
}  // namespace fennik
