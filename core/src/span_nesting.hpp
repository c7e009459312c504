// Keeps spans nested inside the frames they were opened in. A span is
// opened and closed by the program, a frame by the interpreter, and the two
// need not agree: a function may return, or a generator or coroutine yield,
// while a span it opened is still open. Sits in front of whatever tracks
// stacks: an end of a frame first ends the spans opened inside it (at the
// same time), and an end of a span that is no longer innermost is left out
// (with its argument words), so every end closes what it names.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "forwarding_exporter.hpp"
#include "sink.hpp"

namespace fennik {

class SpanNesting final : public ForwardingExporter {
 public:
  explicit SpanNesting(std::unique_ptr<Exporter> inner) noexcept
      : ForwardingExporter(std::move(inner)) {}

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // What was open ends there, as the exporters end it.
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override {
    open_.erase(tid);
    return inner().write_gap(tid, ts_ns, count, codes, threads);
  }
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override {
    open_.erase(tid);
    return inner().end_open_at(tid, ts_ns, codes, threads);
  }
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override {
    open_.erase(tid);
    return inner().end_thread(tid, codes, threads);
  }

 private:
  // A span open on a thread: its word, and how many frames and spans were
  // open with it, itself included.
  struct OpenSpan {
    std::uint64_t depth;
    std::uint32_t word;
  };
  // What is open on a thread. Frames are only counted, and only while a span
  // is open: which of them a span was opened in is all that matters.
  struct Open {
    std::uint64_t depth = 0;      // frames and spans, since the outermost span opened
    std::vector<OpenSpan> spans;  // innermost last
  };

  std::unordered_map<std::uint32_t, Open> open_;  // by thread
  std::vector<Event> out_;                        // reused
};

}  // namespace fennik
