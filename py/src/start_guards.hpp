// What a session's start has done so far, each undone by its guard unless the
// start completes and keeps it: whatever way a start fails (a Python error,
// an exception from the C++ library), the profiler slot is free again, the
// advertised variables are as they were, the directories it made are gone
// and no output thread is left waiting.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "advertisement.hpp"
#include "evqueue.hpp"
#include "exporter_thread.hpp"
#include "io_error.hpp"
#include "monitoring.hpp"
#include "pyref.hpp"

namespace fennik::py {

// The claimed profiler slot.
class SlotGuard {
 public:
  explicit SlotGuard(MonitoringHandle handle) : handle_(std::move(handle)) {}
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;
  ~SlotGuard() {
    if (!handle_) return;
    PendingError pending;
    (void)disable(*handle_);
  }
  MonitoringHandle& handle() { return *handle_; }
  MonitoringHandle keep() { return *std::exchange(handle_, std::nullopt); }

 private:
  std::optional<MonitoringHandle> handle_;
};

// The child-process variables as they were before the start set them.
class AdvertisementGuard {
 public:
  AdvertisementGuard() = default;
  AdvertisementGuard(const AdvertisementGuard&) = delete;
  AdvertisementGuard& operator=(const AdvertisementGuard&) = delete;
  ~AdvertisementGuard() {
    if (!saved_) return;
    PendingError pending;
    if (PyRef environ = os_environ()) restore_env(environ.get(), *saved_);
  }
  // False with an exception, the variables as they were.
  bool advertise(const TracerConfig& c, std::uint64_t origin_ns) {
    saved_ = fennik::py::advertise(c, origin_ns);
    return saved_.has_value();
  }
  void keep() { saved_.reset(); }

 private:
  std::optional<SavedEnv> saved_;
};

// Directories the start created, removed (while still empty) on failure,
// deepest first; an existing directory is never touched.
class DirectoriesGuard {
 public:
  DirectoriesGuard() = default;
  DirectoriesGuard(const DirectoriesGuard&) = delete;
  DirectoriesGuard& operator=(const DirectoriesGuard&) = delete;
  ~DirectoriesGuard() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) (void)::rmdir(it->c_str());
  }
  // Creates `directory` and every missing parent with `mode` (before the
  // umask); an existing directory is fine.
  IoStatus make(const std::string& directory, unsigned mode) {
    for (std::size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
      std::string prefix = directory.substr(0, end);
      if (::mkdir(prefix.c_str(), mode) == 0) {
        created_.push_back(std::move(prefix));
      } else if (errno != EEXIST) {
        return IoError::from_errno(errno);
      }
      if (end == std::string::npos) break;
    }
    struct stat st{};
    if (::stat(directory.c_str(), &st) != 0) return IoError::from_errno(errno);
    if (!S_ISDIR(st.st_mode)) return IoError::from_errno(ENOTDIR);
    return IO_OK;
  }
  void keep() { created_.clear(); }

 private:
  std::vector<std::string> created_;
};

// The output thread, started before monitoring is turned on: on failure its
// queue is closed, so it finishes its (empty) output, and it is joined.
class OutputGuard {
 public:
  OutputGuard(std::shared_ptr<EventQueue> queue, std::shared_ptr<SessionHub> state)
      : queue_(std::move(queue)), state_(std::move(state)) {}
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;
  ~OutputGuard() {
    if (!thread) return;
    PendingError pending;
    state_->end_recording();
    queue_->close();
    (void)thread->join();
  }
  ExporterThread keep() { return *std::exchange(thread, std::nullopt); }

  std::optional<ExporterThread> thread;

 private:
  std::shared_ptr<EventQueue> queue_;
  std::shared_ptr<SessionHub> state_;
};

}  // namespace fennik::py
