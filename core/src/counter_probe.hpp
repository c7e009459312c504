// What this processor's constant-rate counter offers a session clock. The
// build compiles one implementation, for the processor it targets.
#pragma once

#include "clock_choice.hpp"

namespace fennik {

// The automatic choice on this machine, found by probing the processor and
// kernel (slow: called once per process, by counter_source).
CounterSource probe_counter() noexcept;

// What users know this processor's counter as.
extern const char COUNTER_NAME[];

}  // namespace fennik
