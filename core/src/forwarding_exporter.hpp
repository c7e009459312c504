// The base of the exporters that sit in front of another (the spans'
// nesting, pauses, the short-call filter, the event count).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "sink.hpp"

namespace fennik {

// An exporter in front of another, which it owns: every call goes on to the
// inner one unless the wrapper overrides it.
class ForwardingExporter : public Exporter {
 public:
  explicit ForwardingExporter(std::unique_ptr<Exporter> inner) noexcept
      : inner_(std::move(inner)) {}

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override {
    return inner_->write_batch(events, codes, threads);
  }
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override {
    return inner_->finish(codes, threads, stats);
  }
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override {
    return inner_->write_gap(tid, ts_ns, count, codes, threads);
  }
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override {
    return inner_->end_open_at(tid, ts_ns, codes, threads);
  }
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override {
    return inner_->end_thread(tid, codes, threads);
  }
  void draining() noexcept override { inner_->draining(); }

 protected:
  Exporter& inner() noexcept { return *inner_; }

 private:
  std::unique_ptr<Exporter> inner_;
};

}  // namespace fennik
