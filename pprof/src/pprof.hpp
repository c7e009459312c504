// The pprof exporter: folds each thread's events into its call stack, charges
// the time between a thread's consecutive events to the stack that stood in
// between, and at the end writes one pprof Profile, gzip-compressed, with one
// sample of wall nanoseconds per distinct stack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "flat_map.hpp"
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

  // Only folds events into memory, no I/O; a code's name is read when the
  // code is first entered. Fails only when the stacks outgrow their ids.
  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Writes the profile, encoded piece by piece through the file's buffer:
  // the memory it takes is the stack tree's, however large the file.
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override;
  // Charges the thread's stack up to the gap, then starts it afresh.
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override;
  // Charges the thread's stack up to the pause and forgets it; each pause
  // is a comment of the profile.
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Forgets the thread's stack; the time it was charged stays.
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;

  // The time charged so far per stack (outermost frame first, as code ids),
  // in the profile's sample order. For tests and diagnostics.
  std::vector<std::pair<std::vector<std::uint32_t>, std::int64_t>> stack_totals() const;

 private:
  // One thread's state: its current stack, innermost last, each frame being
  // the tree node of the stack up to it.
  struct Fold {
    std::vector<pprof::NodeId> stack;
    std::uint64_t last_ts = 0;
  };
  // One function of the profile: a code as read at its first entry. Its
  // rank is the code id + 1 for the first code an id stood for, and moves up
  // by 2^24 for every later, different code given the same id. The ids the
  // profile holds are given when it is written, by how often samples list
  // each function; ranks order the samples and break ties.
  struct Function {
    std::optional<CodeInfo> info;
    std::uint64_t rank;
  };
  // The function a code id stands for now, re-read once per reuse epoch.
  struct CodeSlot {
    pprof::FunctionSlot slot;
    std::uint64_t epoch;
    std::uint64_t codes_seen;
  };

  // The function entered by `code`, or NO_FUNCTION when there are too many.
  pprof::FunctionSlot function_for(std::uint32_t code, const CodeLookup& codes);
  // A span's frame: a function named after the span (site ids are never reused).
  pprof::FunctionSlot function_for_site(std::uint32_t site, const CodeLookup& codes);
  // Ranks by function slot.
  std::vector<std::uint64_t> ranks() const;

  SharedFile file_;
  std::unordered_map<std::uint32_t, Fold> folds_;
  pprof::StackTree stacks_;
  std::vector<Function> functions_;
  FlatMap<std::uint32_t, CodeSlot> code_slots_;
  FlatMap<std::uint32_t, pprof::FunctionSlot> site_slots_;
  std::uint64_t marks_left_out_ = 0;  // instants and counter values
  std::uint64_t reuse_generation_ = 0;
  std::uint64_t epoch_ = 0;  // moves with every reuse generation seen
};

}  // namespace fennik
