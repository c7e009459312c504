// A processor without a constant-rate counter we know: sessions use the
// monotonic clock.
#include "counter_probe.hpp"

namespace fennik {

const char COUNTER_NAME[] = "counter";

CounterSource probe_counter() noexcept {
  return CounterSource{.reason = ClockReason::NoCounter};
}

}  // namespace fennik
