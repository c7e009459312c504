// The arm64 generic timer: its virtual count (what read_counter reads) runs at
// the rate its frequency register gives.
#include "counter_probe.hpp"

#if !defined(__aarch64__)
#error "the arm64 counter probe is built for another processor"
#endif

namespace fennik {

const char COUNTER_NAME[] = "counter";

CounterSource probe_counter() noexcept {
  std::uint64_t hz;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(hz));
  if (hz == 0) return CounterSource{.reason = ClockReason::NoCounter};
  return CounterSource{true, hz, "cntfrq", ClockReason::CounterRegister};
}

}  // namespace fennik
