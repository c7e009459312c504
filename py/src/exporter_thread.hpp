// The "fennik-exporter" thread, which runs a session's output side (the
// streaming pipeline or the flight recorder), and the counting wrappers that
// tell the session's end what the output side was given.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>

#include "dump_sink.hpp"
#include "forwarding_exporter.hpp"
#include "io_error.hpp"
#include "pyref.hpp"
#include "short_calls.hpp"
#include "sink.hpp"
#include "span_nesting.hpp"
#include "thread_name.hpp"

namespace fennik::py {

inline constexpr char EXPORTER_THREAD_NAME[] = "fennik-exporter";

// What the output side of a session wrote: the recorded events the exporter
// put in its output (a flight recorder's: those of its last dump) and the
// events the threads dropped.
struct OutputFigures {
  std::uint64_t events = 0;
  std::uint64_t dropped = 0;
  std::string dump;  // a flight recorder's last dump; empty when streaming
};

// The "fennik-exporter" thread and what it ended with.
class ExporterThread {
 public:
  struct Outcome {
    IoStatus status;
    bool panicked = false;
    OutputFigures figures;  // the body's to fill in
  };

  // Runs `body` (the streaming pipeline or the recorder) with the outcome's
  // figures; throws std::system_error if the thread cannot start.
  template <class Body>
  explicit ExporterThread(Body body) : outcome_(std::make_shared<Outcome>()) {
    thread_ = std::thread([outcome = outcome_, body = std::move(body)]() mutable {
      name_current_thread(EXPORTER_THREAD_NAME);
      try {
        outcome->status = body(outcome->figures);
      } catch (...) {
        outcome->panicked = true;
      }
    });
  }
  ExporterThread(ExporterThread&&) noexcept = default;
  ExporterThread& operator=(ExporterThread&&) noexcept = default;
  ~ExporterThread() {
    // Sessions are joined by their end or leaked whole by a forked child, so
    // this is a guard: a joinable std::thread would terminate the process.
    if (thread_.joinable()) thread_.detach();
  }

  // Waits without the interpreter lock.
  Outcome join() {
    {
      WithoutGil nogil;
      thread_.join();
    }
    return std::move(*outcome_);
  }

 private:
  std::shared_ptr<Outcome> outcome_;
  std::thread thread_;
};

// Forwards to the exporter it wraps, counting the events that exporter
// writes: all it is given but the ends every format leaves out.
class CountingExporter final : public ForwardingExporter {
 public:
  CountingExporter(std::unique_ptr<Exporter> inner, std::uint64_t& events) noexcept
      : ForwardingExporter(std::move(inner)), events_(events) {}
  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override {
    if (!events.empty()) {
      // Counted in locals (the members might alias) and without a branch on
      // the kind: an end with nothing open takes the count below zero, and
      // is then neither counted nor kept.
      std::size_t& open_here = open_[events.front().tid];  // a batch is one thread's
      auto open = static_cast<std::int64_t>(open_here);
      std::uint64_t counted = 0;
      for (const Event& e : events) {
        const std::uint8_t kind = word_kind(e.code_kind);
        open += DEPTH_STEP[kind];
        const std::int64_t nothing_open = open < 0;
        open += nothing_open;
        // Argument words are part of the annotation before them.
        counted += static_cast<std::uint64_t>(std::int64_t{kind != KIND_ARG} - nothing_open);
      }
      open_here = static_cast<std::size_t>(open);
      events_ += counted;
    }
    return inner().write_batch(events, codes, threads);
  }
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override {
    open_[tid] = 0;  // what was open ends at the gap
    return inner().write_gap(tid, ts_ns, count, codes, threads);
  }
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override {
    open_[tid] = 0;  // what was open ends at the pause
    return inner().end_open_at(tid, ts_ns, codes, threads);
  }
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override {
    open_.erase(tid);
    return inner().end_thread(tid, codes, threads);
  }

 private:
  std::uint64_t& events_;  // outlives the exporter: the exporter thread's outcome
  std::unordered_map<std::uint32_t, std::size_t> open_;  // frames open per thread
};

// Gives every dump a counting exporter (behind a short-call filter with a
// threshold, behind the spans' nesting); the figures end up describing the
// last dump opened, which is the final one.
class CountingDumpSink final : public DumpSink {
 public:
  CountingDumpSink(std::unique_ptr<DumpSink> inner, OutputFigures& figures,
                   std::uint64_t min_duration_ns = 0) noexcept
      : inner_(std::move(inner)), figures_(figures), min_ns_(min_duration_ns) {}
  std::string location() const override { return inner_->location(); }
  IoResult<OpenedDump> open(const std::string& reason) override {
    IoResult<OpenedDump> opened = inner_->open(reason);
    if (!opened.ok()) return opened;
    OpenedDump dump = std::move(opened).value();
    figures_.events = 0;
    figures_.dump = dump.path;
    dump.exporter = std::make_unique<CountingExporter>(std::move(dump.exporter), figures_.events);
    if (min_ns_ != 0) {
      dump.exporter = std::make_unique<ShortCallFilter>(std::move(dump.exporter), min_ns_);
    }
    dump.exporter = std::make_unique<SpanNesting>(std::move(dump.exporter));
    return dump;
  }

 private:
  std::unique_ptr<DumpSink> inner_;
  OutputFigures& figures_;
  std::uint64_t min_ns_;
};

}  // namespace fennik::py
