// What `fennik attach` and the program it traces exchange: a private
// directory (mode 0700, owned by the program's user) holding the scripts
// sys.remote_exec runs there and the status file each one leaves, written
// whole. The scripts run nothing of Python's own after the tracer starts and
// before it ends but built-in calls, so that they leave nothing in the trace.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fennik::py {

// What enters the tracer there.
struct AttachSettings {
  std::string output;  // absolute
  std::string format;  // a format's name
  bool trace_subprocesses = true;
  std::optional<std::uint64_t> record_last_mb;
  std::optional<std::string> dump_signal;
  bool c_calls = false;
};

class AttachChannel {
 public:
  // A fresh directory owned by `uid`; nothing with errno set.
  static std::optional<AttachChannel> create(uid_t uid);
  AttachChannel(AttachChannel&& o) noexcept;
  AttachChannel& operator=(AttachChannel&&) = delete;
  AttachChannel(const AttachChannel&) = delete;
  ~AttachChannel();  // removes the directory and what is in it

  // The script that enters the tracer, unless the wall clock is past
  // `deadline` (seconds since the epoch) or the attach was called off by
  // then; the path to hand to sys.remote_exec, or empty with errno set.
  std::string write_attach_script(const AttachSettings& s, double deadline);
  // The script that ends it and reports the session's figures.
  std::string write_detach_script();
  // Makes an attach script that has not run yet do nothing.
  void call_off();

  // The lines of the status file, once there; it is taken away as it is read.
  std::optional<std::vector<std::string>> take_status();

 private:
  AttachChannel(std::string dir, uid_t uid) : dir_(std::move(dir)), uid_(uid) {}
  std::string write_script(const char* name, const std::string& text);
  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;  // empty once moved from
  uid_t uid_;
};

}  // namespace fennik::py
