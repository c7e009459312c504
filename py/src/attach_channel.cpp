#include "attach_channel.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <utility>

#include "fd.hpp"

namespace fennik::py {
namespace {

constexpr char DIR_TEMPLATE[] = "/tmp/fennik-attach-XXXXXX";
constexpr char STATUS[] = "status";
constexpr char CALLED_OFF[] = "called-off";
constexpr char ATTACH_SCRIPT[] = "attach.py";
constexpr char DETACH_SCRIPT[] = "detach.py";
constexpr mode_t FILE_MODE = 0600;
constexpr const char* FILES[] = {STATUS, CALLED_OFF, ATTACH_SCRIPT, DETACH_SCRIPT};

// A Python expression for these bytes as a str, whatever they hold.
std::string py_str(const std::string& bytes) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "os.fsdecode(bytes.fromhex('";
  for (const unsigned char c : bytes) {
    out += HEX[c >> 4];
    out += HEX[c & 0xF];
  }
  return out + "'))";
}

// The end both scripts share: `text` goes to the status file in one go,
// written in binary so that no encoder of Python's own runs.
constexpr char REPORT_ERROR[] =
    "    except BaseException as e:\n"
    "        text = 'error\\n%s\\n%s\\n' % (type(e).__name__, str(e).replace('\\n', ' '))\n";
constexpr char REPORT_WRITE[] =
    "    with open(status + '.part', 'wb') as f:\n"
    "        f.write(text.encode())\n"
    "    os.replace(status + '.part', status)\n";

}  // namespace

std::optional<AttachChannel> AttachChannel::create(uid_t uid) {
  std::string dir = DIR_TEMPLATE;
  if (::mkdtemp(dir.data()) == nullptr) return std::nullopt;
  if (uid != ::geteuid() && ::chown(dir.c_str(), uid, static_cast<gid_t>(-1)) != 0) {
    const int error = errno;
    ::rmdir(dir.c_str());
    errno = error;
    return std::nullopt;
  }
  return AttachChannel(dir, uid);
}

AttachChannel::AttachChannel(AttachChannel&& o) noexcept
    : dir_(std::exchange(o.dir_, std::string())), uid_(o.uid_) {}

AttachChannel::~AttachChannel() {
  if (dir_.empty()) return;
  for (const char* name : FILES) {
    ::unlink(path(name).c_str());
    ::unlink((path(name) + ".part").c_str());
  }
  ::rmdir(dir_.c_str());
}

std::string AttachChannel::write_script(const char* name, const std::string& text) {
  const std::string file = path(name);
  UniqueFd fd(
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FILE_MODE));
  if (!fd.valid()) return {};
  if (uid_ != ::geteuid() && ::fchown(fd.get(), uid_, static_cast<gid_t>(-1)) != 0) return {};
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    done += static_cast<std::size_t>(n);
  }
  return file;
}

std::string AttachChannel::write_attach_script(const AttachSettings& s, double deadline) {
  char when[64];
  std::snprintf(when, sizeof when, "%.3f", deadline);
  std::string text = "import os, time\nstatus = " + py_str(path(STATUS)) + "\n";
  text += "if (time.time() <= " + std::string(when) + " and os.path.isdir(" + py_str(dir_) +
          ") and not os.path.exists(" + py_str(path(CALLED_OFF)) + ")):\n";
  text += "    try:\n";
  text += "        import fennik\n";
  text += "        if hasattr(fennik, '_attached'):\n";
  text += "            raise RuntimeError('another fennik attach is tracing it')\n";
  text += "        tracer = fennik.Tracer(" + py_str(s.output) + ", format=" + py_str(s.format) +
          ", trace_subprocesses=" + (s.trace_subprocesses ? "True" : "False") +
          ", record_last_mb=" + (s.record_last_mb ? std::to_string(*s.record_last_mb) : "None") +
          (s.dump_signal ? ", dump_signal=" + py_str(*s.dump_signal) : std::string()) +
          (s.c_calls ? ", c_calls=True" : "") + ")\n";
  text += "        tracer.__enter__()\n";
  text += "        fennik._attached = tracer\n";
  text += "        text = 'ok\\n'\n";
  text += REPORT_ERROR;
  text += REPORT_WRITE;
  return write_script(ATTACH_SCRIPT, text);
}

std::string AttachChannel::write_detach_script() {
  // The tracer ends first: this script's own frame is the only one it sees.
  std::string text = "if True:\n";
  text += "    try:\n";
  text += "        import fennik\n";
  text += "        tracer = fennik.__dict__.pop('_attached')\n";
  text += "        tracer.__exit__(None, None, None)\n";
  text += "        text = 'ok\\n%d\\n%d\\n%s\\n' % tracer._figures()\n";
  text += REPORT_ERROR;
  text += "    import os\n    status = " + py_str(path(STATUS)) + "\n";
  text += REPORT_WRITE;
  return write_script(DETACH_SCRIPT, text);
}

void AttachChannel::call_off() {
  UniqueFd fd(
      ::open(path(CALLED_OFF).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, FILE_MODE));
}

std::optional<std::vector<std::string>> AttachChannel::take_status() {
  std::ifstream in(path(STATUS));
  if (!in) return std::nullopt;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
  ::unlink(path(STATUS).c_str());
  return lines;
}

}  // namespace fennik::py
