// How `fennik dump` finds a flight recorder in another process: each session
// that runs one leaves a notice, a small file named after its pid in a
// directory of its user's (/tmp/fennik-UID, mode 0700), saying which signal
// asks it for a dump and where the dumps go. A reason for the next dump is
// handed over in a file beside it. No Python here: the signal handler reads
// the reason with the interpreter's lock held but calls nothing of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace fennik::py {

// Where other processes are looked up by pid.
inline constexpr char PROC_ROOT[] = "/proc/";

struct RecorderNotice {
  int dump_signal = 0;  // 0: the recorder takes no dump signal
  std::string directory;
  // When the process started (clock ticks since boot), so that a notice a
  // killed process left is not taken for that of a later one with its pid.
  std::uint64_t started = 0;
};

// The user who owns process `pid`, or `otherwise` when it cannot be seen.
uid_t process_owner(pid_t pid, uid_t otherwise);

// When process `pid` started, in clock ticks since boot; 0 when unknown.
std::uint64_t process_start_time(pid_t pid);

// The control directory of the user `uid`.
std::string control_directory(uid_t uid);

// Leaves this process's notice (its start time filled in) (replacing one a previous session left);
// best effort, as the recorder works without it.
void publish_notice(const RecorderNotice& notice);
// Removes this process's notice, if this process left it.
void withdraw_notice() noexcept;

// The notice of process `pid`, owned by `uid`; nothing when there is none
// or it is not that process's.
std::optional<RecorderNotice> read_notice(pid_t pid, uid_t uid);

// Hands `reason` to process `pid`'s next dump, in a file `uid` owns; false
// with errno set.
bool offer_reason(pid_t pid, uid_t uid, const std::string& reason);
// Takes back a reason no dump took.
void withdraw_reason(pid_t pid, uid_t uid) noexcept;
// In the recorder's process: the reason offered for this dump, removed as it
// is taken, or nothing.
std::optional<std::string> take_reason();

}  // namespace fennik::py
