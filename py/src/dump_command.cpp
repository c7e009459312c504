#include "dump_command.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "cli_messages.hpp"
#include "control_files.hpp"
#include "signal_names.hpp"

namespace fennik::py {
namespace {

// How long the dump may take to appear, and how often the directory is read.
constexpr std::chrono::milliseconds DUMP_WAIT{5000};
constexpr std::chrono::milliseconds DUMP_POLL{50};

namespace fs = std::filesystem;
using Listing = std::map<std::string, std::uintmax_t>;  // name, size

// The regular files of `dir` with their sizes; empty when it cannot be read.
Listing list(const std::string& dir) {
  Listing out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code size_ec;
    const std::uintmax_t size = it->file_size(size_ec);
    if (!size_ec && it->is_regular_file(size_ec)) out[it->path().filename().string()] = size;
  }
  return out;
}

std::string not_ours(int pid) {
  return "process " + std::to_string(pid) +
         " is not ours to signal: run fennik dump as its user, or as root";
}

// A file new since `before` whose size held still for one poll (the recorder
// writes a dump in one go and closes it); empty while there is none.
std::string settled_new_file(const Listing& before, const Listing& last, const Listing& now) {
  for (const auto& [name, size] : now) {
    if (before.contains(name) || size == 0) continue;
    auto seen = last.find(name);
    if (seen != last.end() && seen->second == size) return name;
  }
  return {};
}

}  // namespace

PyObject* dump_command(const DumpArgs& a) {
  const std::string who = "process " + std::to_string(a.pid);
  if (::kill(a.pid, 0) != 0) {
    return say_failed(errno == EPERM ? not_ours(a.pid) : "no " + who + " is running");
  }
  // Its notice is in its owner's control directory.
  const uid_t uid = process_owner(a.pid, ::getuid());
  const std::optional<RecorderNotice> notice = read_notice(a.pid, uid);
  if (!notice) {
    return say_failed(who +
                      " runs no flight recorder of fennik's (fennik run --record-last-mb N, " +
                      "or Tracer(..., record_last_mb=N))");
  }
  if (notice->dump_signal == 0) {
    return say_failed(who + "'s flight recorder takes no dump signal (it was started with " +
                      "dump_signal=None)");
  }
  const Listing before = list(notice->directory);
  if (a.reason && !offer_reason(a.pid, uid, *a.reason)) {
    return say_failed("the reason could not be handed to " + who + ": " + std::strerror(errno));
  }
  if (::kill(a.pid, notice->dump_signal) != 0) {
    const int error = errno;
    withdraw_reason(a.pid, uid);
    return say_failed(error == EPERM ? not_ours(a.pid) : who + " exited");
  }
  Listing last = before;
  for (auto waited = std::chrono::milliseconds{0}; waited < DUMP_WAIT; waited += DUMP_POLL) {
    {
      WithoutGil nogil;
      std::this_thread::sleep_for(DUMP_POLL);
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
    const Listing now = list(notice->directory);
    if (const std::string name = settled_new_file(before, last, now); !name.empty()) {
      if (!write_to("stdout", (fs::path(notice->directory) / name).string() + "\n")) return nullptr;
      return PyLong_FromLong(0);
    }
    last = now;
    if (::kill(a.pid, 0) != 0 && errno == ESRCH) {
      withdraw_reason(a.pid, uid);
      return say_failed(who + " exited before a dump appeared in " + notice->directory);
    }
  }
  withdraw_reason(a.pid, uid);
  return say_failed("no dump appeared in " + notice->directory + " within " +
                    std::to_string(DUMP_WAIT.count() / 1000) + " s: the program's own handler of " +
                    signal_name(notice->dump_signal) + " may have taken the signal");
}

}  // namespace fennik::py
