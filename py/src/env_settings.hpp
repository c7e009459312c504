// Settings a session reads from the environment when it starts: the code
// capacity, the memory for waiting batches and the clock. A malformed value
// warns once per process (a RuntimeWarning) and the default applies; each
// returns nothing, with the exception set, when the warning was made an error.
#pragma once

#include <cstdint>
#include <optional>

#include "clock.hpp"

namespace fennik::py {

inline constexpr unsigned MB_SHIFT = 20;  // megabytes of 1,048,576 bytes
inline constexpr char BUFFER_MB_ENV[] = "FENNIK_BUFFER_MB";
inline constexpr std::uint64_t MAX_BUFFER_MB = std::uint64_t{1} << 20;  // a terabyte

// How many code objects a session tells apart, from FENNIK_CODE_CAPACITY.
std::optional<std::uint32_t> code_capacity();

// Memory for waiting batches in bytes, from FENNIK_BUFFER_MB; large values
// are capped at MAX_BUFFER_MB.
std::optional<std::uint64_t> buffer_budget();

// The clock a session started now asks for, from FENNIK_CLOCK.
std::optional<ClockRequest> clock_request();

}  // namespace fennik::py
