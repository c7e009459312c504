// Leaves out of an output every call shorter than a threshold. A call that
// is short has only short callees, so what is left out is exactly the slices
// shorter than the threshold, whole subtrees at a time. Sits in front of an
// exporter: a thread's begin waits here until its end comes (both are left
// out when it came too soon) or the thread's time has moved past the
// threshold (it and the begins beneath it go out). Output side only: the
// recording costs the same.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "forwarding_exporter.hpp"
#include "sink.hpp"

namespace fennik {

// "N calls shorter than D left out": how the outputs say what was left out.
std::string short_calls_statement(std::uint64_t count, std::uint64_t min_duration_ns);

class ShortCallFilter final : public ForwardingExporter {
 public:
  ShortCallFilter(std::unique_ptr<Exporter> inner, std::uint64_t min_duration_ns) noexcept
      : ForwardingExporter(std::move(inner)), min_ns_(min_duration_ns) {}

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Begins still waiting are calls that had not ended: they go out.
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override;
  // The gap, or the thread's last event, ends what is open as the exporters
  // end it: a begin still waiting then was a short call.
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override;
  // A pause ends what is open there, as a gap does.
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;

 private:
  // Frames open on a thread, outermost first, each followed by the marks
  // (argument words, instants, counter values) recorded while it was the
  // innermost; the first `shown` went out. `last_ts`: of its last event.
  struct Open {
    std::vector<Event> begins;
    std::size_t shown = 0;
    std::uint64_t last_ts = 0;
  };

  // Sends out the waiting begins of calls that have lasted until `now`.
  void show_lasting(Open& open, std::uint64_t now);
  // Ends what is open at `at`: waiting begins left out, the rest sent out.
  void close_at(Open& open, std::uint64_t at);
  // Leaves, of `open`'s entries from `from` on, only the instants and
  // counter values (with their argument words): the calls being left out do
  // not take those with them.
  static void keep_only_marks(Open& open, std::size_t from);
  // The begins among `open`'s entries from `from` on.
  static std::size_t begins_in(const Open& open, std::size_t from) noexcept;
  IoStatus send(const CodeLookup& codes, const ThreadNames& threads);

  const std::uint64_t min_ns_;
  std::unordered_map<std::uint32_t, Open> threads_;
  std::vector<Event> out_;  // what goes to the exporter, reused
  std::uint64_t left_out_ = 0;
};

}  // namespace fennik
