// The core as the extension module carries it: linked into a shared library
// that is loaded with dlopen, recording one event per call. Built once per
// way of reaching HOT (TLS model and dialect) so that tls_bench can compare them.
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "clock.hpp"
#include "event.hpp"
#include "evqueue.hpp"
#include "tls.hpp"

namespace {

// Draining this often (in events) keeps the waiting batches few.
constexpr std::uint64_t DRAIN_EVERY_EVENTS = 16 * fennik::BATCH_CAPACITY;

fennik::EventQueue& probe_queue() {
  static const std::shared_ptr<fennik::EventQueue> queue =
      fennik::EventQueue::create(fennik::Clock::starting_now());
  return *queue;
}

}  // namespace

// One recording step behind its own call, as the tracer's callback makes it.
// Hidden, so the loop below calls it directly rather than through the PLT.
extern "C" [[gnu::visibility("hidden"), gnu::noipa]] void fennik_probe_event(
    fennik::EventQueue& q, std::uint64_t now, std::uint32_t word) noexcept {
  fennik::record(q, now, word);
}

// Records `count` events with synthetic ticks into this library's queue and
// returns the events it has dropped so far (0 unless the buffer budget ran out).
extern "C" [[gnu::visibility("default")]] std::uint64_t fennik_probe_record(
    std::uint64_t count) noexcept {
  thread_local std::uint64_t tick = 0;
  thread_local std::uint64_t since_drain = 0;
  thread_local std::vector<fennik::Drained> drained;
  fennik::EventQueue& q = probe_queue();
  for (std::uint64_t i = 0; i < count; ++i) {
    fennik_probe_event(q, ++tick,
                       fennik::make_word(fennik::KIND_START, static_cast<std::uint32_t>(i)));
    if (++since_drain == DRAIN_EVERY_EVENTS) {
      since_drain = 0;
      q.drain_batches(drained, std::numeric_limits<std::size_t>::max());
      drained.clear();
    }
  }
  return q.dropped.load(std::memory_order_relaxed);
}

#if defined(FENNIK_PROBE_TLS_PADDING)
// Thread-local bytes besides the core's, as a module with big per-thread
// caches has: its block then no longer fits the spare static TLS.
[[gnu::used]] thread_local char TLS_PADDING[FENNIK_PROBE_TLS_PADDING];
#endif

// How this copy was built, as named by the build.
extern "C" [[gnu::visibility("default")]] const char* fennik_probe_tls_model() noexcept {
  return FENNIK_PROBE_MODEL;
}
