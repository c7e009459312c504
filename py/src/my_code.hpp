// "Only my code": the file patterns of what is not the user's own, the
// standard library and installed packages where this interpreter finds them
// (sysconfig and site), and modules frozen into it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fennik::py {

inline constexpr char FROZEN_PATTERN[] = "<frozen *>";

// Nothing with an exception when sysconfig or site cannot be asked.
std::optional<std::vector<std::string>> library_patterns();

}  // namespace fennik::py
