#include "control_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fd.hpp"

namespace fennik::py {
namespace {

constexpr char CONTROL_ROOT[] = "/tmp/fennik-";
constexpr mode_t CONTROL_DIR_MODE = 0700;
constexpr mode_t CONTROL_FILE_MODE = 0600;
constexpr char REASON_SUFFIX[] = ".reason";
constexpr char PART_SUFFIX[] = ".part";
// In /proc/PID/stat, the start time is the 20th field after the command's
// closing parenthesis.
constexpr int START_TIME_FIELD = 20;
// The longest reason read back; the dump's name cuts it much shorter.
constexpr std::size_t MAX_REASON_READ = 4096;

std::string notice_path(pid_t pid, uid_t uid) {
  return control_directory(uid) + "/" + std::to_string(pid);
}

std::string reason_path(pid_t pid, uid_t uid) {
  return notice_path(pid, uid) + REASON_SUFFIX;
}

// The directory, made if missing; false unless it is a real directory of
// `uid`'s that no one else may write into.
bool ensure_directory(uid_t uid) {
  const std::string dir = control_directory(uid);
  if (::mkdir(dir.c_str(), CONTROL_DIR_MODE) != 0 && errno != EEXIST) return false;
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

// Writes `text` to `path` whole or not at all: through a file beside it,
// renamed over it.
// `uid` owns it in the end (root hands a reason to another user's process).
bool write_whole(const std::string& path, const std::string& text, uid_t uid) {
  const std::string part = path + PART_SUFFIX;
  UniqueFd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     CONTROL_FILE_MODE));
  if (!fd.valid()) return false;
  if (uid != ::geteuid() && ::fchown(fd.get(), uid, static_cast<gid_t>(-1)) != 0) {
    const int error = errno;
    ::unlink(part.c_str());
    errno = error;
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      ::unlink(part.c_str());
      errno = error;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  fd.reset();
  if (::rename(part.c_str(), path.c_str()) == 0) return true;
  const int error = errno;
  ::unlink(part.c_str());
  errno = error;
  return false;
}

}  // namespace

std::string control_directory(uid_t uid) {
  return CONTROL_ROOT + std::to_string(uid);
}

uid_t process_owner(pid_t pid, uid_t otherwise) {
  struct stat st{};
  return ::stat((PROC_ROOT + std::to_string(pid)).c_str(), &st) == 0 ? st.st_uid : otherwise;
}

std::uint64_t process_start_time(pid_t pid) {
  std::ifstream in(PROC_ROOT + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 0; i < START_TIME_FIELD && fields >> field; ++i) {
  }
  return fields ? std::strtoull(field.c_str(), nullptr, 10) : 0;
}

void publish_notice(const RecorderNotice& notice) {
  if (!ensure_directory(::getuid())) return;
  (void)write_whole(notice_path(::getpid(), ::getuid()),
                    std::to_string(notice.dump_signal) + "\n" + notice.directory + "\n" +
                        std::to_string(process_start_time(::getpid())) + "\n",
                    ::getuid());
}

void withdraw_notice() noexcept {
  ::unlink(notice_path(::getpid(), ::getuid()).c_str());
}

std::optional<RecorderNotice> read_notice(pid_t pid, uid_t uid) {
  std::ifstream in(notice_path(pid, uid));
  RecorderNotice notice;
  std::string signal, started;
  if (!std::getline(in, signal) || !std::getline(in, notice.directory) ||
      !std::getline(in, started)) {
    return std::nullopt;
  }
  try {
    notice.dump_signal = std::stoi(signal);
    notice.started = std::stoull(started);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (notice.started == 0 || notice.started != process_start_time(pid)) return std::nullopt;
  return notice;
}

bool offer_reason(pid_t pid, uid_t uid, const std::string& reason) {
  return write_whole(reason_path(pid, uid), reason, uid);
}

void withdraw_reason(pid_t pid, uid_t uid) noexcept {
  ::unlink(reason_path(pid, uid).c_str());
}

std::optional<std::string> take_reason() {
  const std::string path = reason_path(::getpid(), ::getuid());
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  ::unlink(path.c_str());
  std::string reason(MAX_REASON_READ, '\0');
  ssize_t n;
  do {
    n = ::read(fd.get(), reason.data(), reason.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  reason.resize(static_cast<std::size_t>(n));
  return reason;
}

}  // namespace fennik::py
