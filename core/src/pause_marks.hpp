// Pauses of a session (Tracer.pause/resume) on the output side. Recording
// simply stops while paused, so a thread's record jumps from before a pause
// to after it: PauseMarks, wrapped around a session's exporter, ends the
// frames a thread had open where the pause began (what they did meanwhile is
// unknown) and hands the exporter the pauses to mark on the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "dump_sink.hpp"
#include "forwarding_exporter.hpp"
#include "sink.hpp"

namespace fennik {

// The session's pauses, in time order. Written by the thread that pauses and
// resumes, read by the output side; nothing else happens under its lock.
class PauseLog {
 public:
  // False when already paused (or not paused, for resume): nothing changes.
  bool pause(std::uint64_t ns);
  bool resume(std::uint64_t ns);
  bool paused() const;
  std::vector<Pause> list() const;
  // Moves with every change, so that readers copy the list only then.
  std::uint64_t version() const noexcept { return version_.load(std::memory_order_acquire); }

 private:
  mutable std::mutex lock_;
  std::vector<Pause> pauses_;
  std::atomic<std::uint64_t> version_{0};
};

class PauseMarks final : public ForwardingExporter {
 public:
  PauseMarks(std::unique_ptr<Exporter> inner, std::shared_ptr<const PauseLog> log) noexcept
      : ForwardingExporter(std::move(inner)), log_(std::move(log)) {}
  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Threads whose record stops before a pause end their frames there; the
  // pauses that reach into what was written are marked.
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override;
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override;
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;

 private:
  // The start of the first pause in (after, until], if any.
  std::optional<std::uint64_t> pause_within(std::uint64_t after, std::uint64_t until) const;
  void refresh();

  std::shared_ptr<const PauseLog> log_;
  std::vector<Pause> pauses_;  // the log as last read
  std::uint64_t version_ = 0;
  std::unordered_map<std::uint32_t, std::uint64_t> last_ts_;  // per thread written
  std::optional<std::uint64_t> first_ts_;
};

// Wraps every dump's exporter in PauseMarks.
class PauseMarksDumpSink final : public DumpSink {
 public:
  PauseMarksDumpSink(std::unique_ptr<DumpSink> inner, std::shared_ptr<const PauseLog> log) noexcept
      : inner_(std::move(inner)), log_(std::move(log)) {}
  IoResult<OpenedDump> open(const std::string& reason) override;
  std::string location() const override { return inner_->location(); }
  std::vector<std::uint64_t> pauses_ns() const override;

 private:
  std::unique_ptr<DumpSink> inner_;
  std::shared_ptr<const PauseLog> log_;
};

}  // namespace fennik
