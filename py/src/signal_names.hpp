// Signals by name: what dump_signal= and --dump-signal accept, and the name a
// dump made on a signal is given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace fennik::py {

// The dump signal a flight recorder takes unless told otherwise.
int default_dump_signal() noexcept;

// "SIGUSR1", "usr1" or "10" as a signal number a handler may be given;
// "none" (any case) as nothing. Otherwise the reason it is refused. The
// signals the tracer ends on, and those no handler can catch, are refused.
std::variant<std::optional<int>, std::string> parse_dump_signal(std::string_view text);
// The same check for a number.
std::optional<std::string> refuse_dump_signal(int signum);

// "SIGUSR1" for 10; "SIG34" for a signal without a name here.
std::string signal_name(int signum);

}  // namespace fennik::py
