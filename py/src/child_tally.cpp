#include "child_tally.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fennik::py {
namespace {

constexpr char TALLY_TEMPLATE[] = "fennik-tally-XXXXXX";
constexpr char DEFAULT_TMPDIR[] = "/tmp";
constexpr char STARTED_MARK = 'S';
constexpr char ENDED_MARK = 'E';

void append_line(const std::string& line) noexcept {
  const char* path = std::getenv(ENV_CHILD_TALLY);
  if (path == nullptr || *path == '\0') return;
  // Never created here: a parent that has ended removed its file.
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

void tally_child_started(std::uint32_t pid) noexcept {
  try {
    append_line(std::string(1, STARTED_MARK) + " " + std::to_string(pid) + "\n");
  } catch (...) {  // a courtesy: nothing of it may fail a session
  }
}

void tally_child_ended(std::uint32_t pid, const OutputFigures& figures) noexcept {
  try {
    append_line(std::string(1, ENDED_MARK) + " " + std::to_string(pid) + " " +
                std::to_string(figures.events) + " " + std::to_string(figures.dropped) + "\n");
  } catch (...) {
  }
}

std::optional<TallyFile> TallyFile::create() {
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : DEFAULT_TMPDIR) + "/" + TALLY_TEMPLATE;
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  ::close(fd);
  return TallyFile(std::move(path));
}

TallyFile::~TallyFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

ChildTally TallyFile::read() const {
  ChildTally tally;
  std::ifstream in(path_);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    char mark = 0;
    std::uint64_t pid = 0, events = 0, dropped = 0;
    if (!(fields >> mark >> pid)) continue;
    if (mark == STARTED_MARK) {
      ++tally.started;
    } else if (mark == ENDED_MARK && fields >> events >> dropped) {
      ++tally.ended;
      tally.events += events;
      tally.dropped += dropped;
    }
  }
  return tally;
}

}  // namespace fennik::py
