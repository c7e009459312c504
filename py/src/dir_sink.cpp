#include "dir_sink.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string_view>

#include "fd.hpp"

namespace fennik {
namespace {

// The length of the well-formed UTF-8 sequence that starts at s[i], or 0
// when the byte there starts none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  // The bounds of the byte after the first; overlong forms, surrogates and
  // code points above U+10FFFF fall outside them.
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if (c < lo || c > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
  }
  return n;
}

bool kept_in_name(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

IoResult<std::uint64_t> wall_clock_millis() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return IoError::from_errno(errno);
  if (ts.tv_sec < 0) return IoError::other("the wall clock is before the unix epoch");
  constexpr std::uint64_t MAX_SECONDS = std::numeric_limits<std::uint64_t>::max() / 1000 - 1;
  const auto seconds = static_cast<std::uint64_t>(ts.tv_sec);
  if (seconds > MAX_SECONDS) return IoError::other("the wall clock is out of range");
  return seconds * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000;
}

// Creates `path`, which must not exist yet in any form: a symbolic link
// planted there counts as existing and is not followed.
int create_exclusive(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                OUTPUT_FILE_MODE);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A dump written under a dot-name beside its own, which no dump's name
// matches and which reserves that name among writers into the directory.
class PartFile final : public DumpFile {
 public:
  PartFile(std::string part, std::string path) : part_(std::move(part)), path_(std::move(path)) {}
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() override {
    if (!part_.empty()) ::unlink(part_.c_str());
  }

  IoStatus publish() override {
    if (::rename(part_.c_str(), path_.c_str()) != 0) return IoError::from_errno(errno);
    part_.clear();
    return IO_OK;
  }

 private:
  std::string part_;  // empty once published
  std::string path_;
};

}  // namespace

std::string sanitize_reason(const std::string& reason) {
  std::string out;
  out.reserve(std::min(reason.size(), MAX_REASON_BYTES));
  for (std::size_t i = 0; i < reason.size() && out.size() < MAX_REASON_BYTES;) {
    const std::size_t n = utf8_length(reason, i);
    out.push_back(n == 1 && kept_in_name(reason[i]) ? reason[i] : '-');
    // A byte that starts no character stands for one.
    i += n == 0 ? 1 : n;
  }
  return out;
}

IoResult<OpenedDump> DirSink::open(const std::string& reason) {
  IoResult<std::uint64_t> millis = wall_clock_millis();
  if (!millis.ok()) return millis.error();
  return open_at(millis.value(), reason);
}

IoResult<OpenedDump> DirSink::open_at(std::uint64_t millis, const std::string& reason) {
  std::string dir = directory_;
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  const std::string stem = std::to_string(millis) + "-" + sanitize_reason(reason);
  std::string tail = ".";
  if (pid_ != 0) tail += std::to_string(pid_) + ".";
  tail += format_.extension();

  std::string path, part;
  int fd = -1;
  for (unsigned n = 1; fd < 0; ++n) {
    const std::string name = n == 1 ? stem + tail : stem + "-" + std::to_string(n) + tail;
    path = dir + name;
    part = dir + "." + name + PART_SUFFIX;
    int error = EEXIST;
    if (!exists(path)) {
      fd = create_exclusive(part);
      error = errno;
    }
    if (fd < 0 && (error != EEXIST || n == MAX_NAME_TRIES)) return IoError::from_errno(error);
  }
  auto file = std::make_unique<PartFile>(std::move(part), path);
  IoResult<std::unique_ptr<Exporter>> exporter =
      Format::adopt(format_, SharedFile::adopt(UniqueFd(fd)), pid_);
  if (!exporter.ok()) return exporter.error();
  return OpenedDump{std::move(path), std::move(exporter).value(), std::move(file)};
}

std::string DirSink::location() const {
  return directory_;
}

}  // namespace fennik
