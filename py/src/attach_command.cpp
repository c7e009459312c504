#include "attach_command.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "attach_channel.hpp"
#include "cli.hpp"
#include "cli_messages.hpp"
#include "control_files.hpp"

namespace fennik::py {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds POLL{50};
// How long the program may take to run the attach script; the script does
// nothing once this is over, and the command waits a little longer for it.
constexpr std::chrono::seconds ATTACH_WAIT{10};
constexpr std::chrono::seconds ATTACH_GRACE{2};
// How long ending the tracer there may take: it finishes the output.
constexpr std::chrono::seconds DETACH_WAIT{120};
constexpr char REMOTE_DEBUG_OFF[] = "not enabled";

std::string process(int pid) {
  return "process " + std::to_string(pid);
}

std::string no_permission(int pid) {
  return "no permission to reach " + process(pid) +
         ": attaching needs ptrace rights over it: run as root, or as its user with "
         "/proc/sys/kernel/yama/ptrace_scope at 0; a container needs the SYS_PTRACE capability";
}

bool alive(int pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

// The message of the exception raised now (cleared), with its type.
struct Raised {
  PyRef exc;
  bool is(PyObject* type) const { return PyErr_GivenExceptionMatches(exc.get(), type) != 0; }
  std::string text() const {
    PyRef s = PyRef::steal(PyObject_Str(exc.get()));
    const char* t = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (t == nullptr) PyErr_Clear();
    return t != nullptr ? t : "";
  }
};

// Runs `script` in process `pid`; an empty string, or why it could not.
std::optional<std::string> remote_exec(int pid, const std::string& script) {
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  PyRef path = sys ? PyRef::steal(PyUnicode_DecodeFSDefault(script.c_str())) : PyRef();
  if (!path) return std::nullopt;
  if (PyRef::steal(PyObject_CallMethod(sys.get(), "remote_exec", "iO", pid, path.get()))) {
    return std::string();
  }
  Raised e{PyRef::steal(PyErr_GetRaisedException())};
  if (e.is(PyExc_KeyboardInterrupt)) {
    PyErr_SetRaisedException(e.exc.release());
    return std::nullopt;
  }
  if (!alive(pid)) return process(pid) + " exited";
  if (e.is(PyExc_PermissionError)) return no_permission(pid) + " (" + e.text() + ")";
  if (e.text().find(REMOTE_DEBUG_OFF) != std::string::npos) {
    return "remote debugging is disabled in " + process(pid) +
           " (PYTHON_DISABLE_REMOTE_DEBUG, or -X disable-remote-debug)";
  }
  return process(pid) + " is not a Python 3.14 (or later) interpreter this one can reach (" +
         e.text() + ")";
}

// Waits for the status file until `deadline`; Ctrl-C (`interrupted`) and the
// process's exit end the wait early. Nothing on an error of the interpreter.
enum class Waited { Status, Timeout, Interrupted, Exited, Error };
Waited wait_for_status(AttachChannel& channel, int pid, Clock::time_point deadline,
                       std::vector<std::string>& lines, bool& interrupted) {
  for (;;) {
    if (std::optional<std::vector<std::string>> s = channel.take_status()) {
      lines = std::move(*s);
      return Waited::Status;
    }
    if (!alive(pid)) return Waited::Exited;
    if (Clock::now() >= deadline) return Waited::Timeout;
    {
      WithoutGil nogil;
      std::this_thread::sleep_for(POLL);
    }
    if (PyErr_CheckSignals() < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return Waited::Error;
      PyErr_Clear();
      interrupted = true;
      return Waited::Interrupted;
    }
  }
}

// The status lines' error, "Type: message", as one phrase.
std::string error_of(const std::vector<std::string>& lines) {
  const std::string type = lines.size() > 1 ? lines[1] : "?";
  const std::string message = lines.size() > 2 ? lines[2] : "";
  if (type == "ModuleNotFoundError" || type == "ImportError") {
    return "fennik cannot be imported there: install it in that program's environment (" + message +
           ")";
  }
  return message.empty() ? type : type + ": " + message;
}

// Sleeps until `until`, Ctrl-C or the process's exit; false when it exited
// (or, with `error` set, when an exception other than Ctrl-C was raised).
bool traced_until(std::optional<Clock::time_point> until, int pid, bool& error) {
  for (;;) {
    if (!alive(pid)) return false;
    if (until && Clock::now() >= *until) return true;
    {
      WithoutGil nogil;
      std::this_thread::sleep_for(POLL);
    }
    if (PyErr_CheckSignals() < 0) {
      error = !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
      if (!error) PyErr_Clear();
      return !error;
    }
  }
}

PyObject* detach(const RunArgs& a, int pid, AttachChannel& channel) {
  const std::string who = process(pid);
  const std::string script = channel.write_detach_script();
  if (script.empty())
    return say_failed("the detach script could not be written: " +
                      std::string(std::strerror(errno)));
  const std::optional<std::string> refused = remote_exec(pid, script);
  if (!refused) return nullptr;
  if (!refused->empty()) return say_failed(*refused + "; the tracer there was not ended");
  std::vector<std::string> lines;
  bool interrupted = false;
  switch (wait_for_status(channel, pid, Clock::now() + DETACH_WAIT, lines, interrupted)) {
    case Waited::Status:
      break;
    case Waited::Error:
      return nullptr;
    case Waited::Exited:
      return say_failed(who + " exited while the tracer there was ending");
    case Waited::Timeout:
    case Waited::Interrupted:
      return say_failed(who +
                        " has not ended the tracer yet: it will when its main thread next runs "
                        "Python, and the output is complete only then");
  }
  if (lines.empty() || lines[0] != "ok" || lines.size() < 4) {
    return say_failed("the tracer in " + who + " did not end cleanly: " + error_of(lines));
  }
  OutputFigures figures;
  figures.events = std::strtoull(lines[1].c_str(), nullptr, 10);
  figures.dropped = std::strtoull(lines[2].c_str(), nullptr, 10);
  figures.dump = lines[3];
  if (!a.quiet) say(summary(a, chosen_format(a), figures, std::nullopt));
  return PyLong_FromLong(0);
}

}  // namespace

PyObject* attach_command(const RunArgs& a) {
  // Before anything about the process: nothing else matters on 3.13.
  if (!PySys_GetObject("remote_exec")) {
    return say_failed("this Python cannot reach other processes (sys.remote_exec came with 3.14)");
  }
  const int pid = *a.attach_pid;
  const std::string who = process(pid);
  if (::kill(pid, 0) != 0) {
    return say_failed(errno == EPERM ? no_permission(pid) : "no " + who + " is running");
  }
  if (pid == ::getpid()) return say_failed("fennik attach cannot trace itself");
  std::error_code ec;
  const std::filesystem::path output = std::filesystem::absolute(a.output, ec);
  if (ec) return say_failed("the output's path cannot be made absolute: " + ec.message());
  std::optional<AttachChannel> channel = AttachChannel::create(process_owner(pid, ::geteuid()));
  if (!channel)
    return say_failed("a private directory could not be made: " +
                      std::string(std::strerror(errno)));

  const double deadline = std::chrono::duration<double>(
                              std::chrono::system_clock::now().time_since_epoch() + ATTACH_WAIT)
                              .count();
  const AttachSettings settings{output.string(),  chosen_format(a).name(), !a.no_trace_subprocesses,
                                a.record_last_mb, a.dump_signal,           a.selection.c_calls};
  const std::string script = channel->write_attach_script(settings, deadline);
  if (script.empty())
    return say_failed("the attach script could not be written: " +
                      std::string(std::strerror(errno)));
  const std::optional<std::string> refused = remote_exec(pid, script);
  if (!refused) return nullptr;
  if (!refused->empty()) return say_failed(*refused);

  std::vector<std::string> lines;
  bool interrupted = false;
  Waited waited =
      wait_for_status(*channel, pid, Clock::now() + ATTACH_WAIT + ATTACH_GRACE, lines, interrupted);
  if (waited == Waited::Interrupted || waited == Waited::Timeout) {
    // Called off; a script that started meanwhile has reported within the grace.
    channel->call_off();
    waited = wait_for_status(*channel, pid, Clock::now() + ATTACH_GRACE, lines, interrupted);
    if (waited == Waited::Status && !lines.empty() && lines[0] == "ok") {
      return detach(a, pid, *channel);
    }
    if (interrupted) return say_failed("attaching was called off");
    return say_failed(
        who + " did not run the attach script within " + std::to_string(ATTACH_WAIT.count()) +
        " s (its main thread may be blocked outside Python): nothing was changed there");
  }
  if (waited == Waited::Error) return nullptr;
  if (waited == Waited::Exited) return say_failed(who + " exited");
  if (lines.empty() || lines[0] != "ok") {
    return say_failed("the tracer could not start in " + who + ": " + error_of(lines));
  }
  if (!a.quiet) {
    say("attached to " + who + (a.duration_s ? "" : "; Ctrl-C detaches"));
  }
  std::optional<Clock::time_point> until;
  if (a.duration_s) {
    until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*a.duration_s));
  }
  bool error = false;
  const bool ended = traced_until(until, pid, error);
  if (error) {
    PendingError kept;
    (void)detach(a, pid, *channel);
    return nullptr;
  }
  if (!ended) return say_failed(who + " exited while traced; its exit finished the output");
  return detach(a, pid, *channel);
}

}  // namespace fennik::py
