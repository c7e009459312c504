// The pprof exporter: folds each thread's events into its call stack, charges
// the time between a thread's consecutive events to the stack that stood in
// between, and at the end writes one uncompressed pprof Profile with one
// sample of wall nanoseconds per distinct stack.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "io_error.hpp"
#include "output.hpp"
#include "sink.hpp"
#include "stack_tree.hpp"

namespace fennik {

class PprofExporter final : public Exporter {
 public:
  // Opens, and truncates, the output file: a session that never finishes
  // leaves an empty file rather than a stale profile.
  static IoResult<std::unique_ptr<PprofExporter>> create(const std::string& path);

  explicit PprofExporter(SharedFile file);

  // Only folds events into memory: never fails, no I/O. Names are not needed
  // until the end.
  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Writes the whole profile in one write and one flush.
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  std::uint64_t dropped) override;

  // The time charged so far per stack (outermost frame first), in the
  // profile's sample order. For tests and diagnostics.
  std::vector<std::pair<std::vector<std::uint32_t>, std::int64_t>> stack_totals() const;

 private:
  // One thread's state: its current stack, innermost last, each frame being
  // the tree node of the stack up to it.
  struct Fold {
    std::vector<pprof::NodeId> stack;
    std::uint64_t last_ts = 0;
  };

  SharedFile file_;
  std::unordered_map<std::uint32_t, Fold> folds_;
  pprof::StackTree stacks_;
};

}  // namespace fennik
