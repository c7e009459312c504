#include "signal_names.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <utility>

#include "whole_number.hpp"

namespace fennik::py {
namespace {

constexpr std::string_view SIGNAL_PREFIX = "SIG";
constexpr std::string_view NONE = "none";

// The standard signals by name. Those the tracer ends on and those no
// handler can catch are here too, so that a refusal can say why.
constexpr std::array<std::pair<std::string_view, int>, 26> NAMED = {{
    {"HUP", SIGHUP},   {"INT", SIGINT},       {"QUIT", SIGQUIT}, {"ILL", SIGILL},
    {"TRAP", SIGTRAP}, {"ABRT", SIGABRT},     {"BUS", SIGBUS},   {"FPE", SIGFPE},
    {"USR1", SIGUSR1}, {"SEGV", SIGSEGV},     {"USR2", SIGUSR2}, {"PIPE", SIGPIPE},
    {"ALRM", SIGALRM}, {"TERM", SIGTERM},     {"CHLD", SIGCHLD}, {"CONT", SIGCONT},
    {"TSTP", SIGTSTP}, {"TTIN", SIGTTIN},     {"TTOU", SIGTTOU}, {"URG", SIGURG},
    {"XCPU", SIGXCPU}, {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"WINCH", SIGWINCH},
    {"KILL", SIGKILL}, {"STOP", SIGSTOP},
}};

bool same_letters(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) ==
           std::toupper(static_cast<unsigned char>(y));
  });
}

}  // namespace

int default_dump_signal() noexcept {
  return SIGUSR1;
}

std::string signal_name(int signum) {
  for (const auto& [name, number] : NAMED) {
    if (number == signum) return std::string(SIGNAL_PREFIX) + std::string(name);
  }
  return std::string(SIGNAL_PREFIX) + std::to_string(signum);
}

std::optional<std::string> refuse_dump_signal(int signum) {
  if (signum == SIGTERM || signum == SIGHUP || signum == SIGQUIT) {
    return signal_name(signum) + " already ends the tracer";
  }
  if (signum == SIGKILL || signum == SIGSTOP) return signal_name(signum) + " cannot be caught";
  if (signum <= 0 || signum >= NSIG) return "no signal has the number " + std::to_string(signum);
  return std::nullopt;
}

std::variant<std::optional<int>, std::string> parse_dump_signal(std::string_view text) {
  if (same_letters(text, NONE)) return std::optional<int>();
  const std::string whole(text);
  std::optional<int> signum;
  if (const std::optional<std::uint64_t> n = parse_whole_number(whole.c_str());
      n && !whole.starts_with('+')) {
    if (*n < static_cast<std::uint64_t>(NSIG)) signum = static_cast<int>(*n);
  } else {
    std::string_view bare = text;
    if (bare.size() > SIGNAL_PREFIX.size() &&
        same_letters(bare.substr(0, SIGNAL_PREFIX.size()), SIGNAL_PREFIX)) {
      bare.remove_prefix(SIGNAL_PREFIX.size());
    }
    for (const auto& [name, number] : NAMED) {
      if (same_letters(bare, name)) signum = number;
    }
  }
  if (!signum) return "'" + whole + "' names no signal (SIGUSR1, USR2, 12 or none)";
  if (std::optional<std::string> refused = refuse_dump_signal(*signum)) return *refused;
  return signum;
}

}  // namespace fennik::py
