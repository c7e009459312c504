// Figures per function from the calls a trace records, as pstats counts
// them: every activation (a call, or a generator resumed) is a call; its
// total time counts only outermost activations of a function on its thread,
// so recursion is not counted twice; self time is the time the function was
// the innermost frame. A profile's samples give self and total time only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "functions.hpp"
#include "stack_tree.hpp"

namespace fennik::report {

// Counts the files give may be as large as 64 bits hold: their sum stays there.
inline std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) noexcept {
  return a + b < a ? ~std::uint64_t{0} : a + b;
}

struct Figures {
  std::uint64_t calls = 0;
  std::uint64_t total_ns = 0;
  std::uint64_t self_ns = 0;
};

// Which threads a report covers; a thread is chosen when it matches every
// part given. Its name may be known only once the file is read.
struct Selection {
  std::optional<std::uint32_t> pid;
  std::optional<std::string> thread;  // a name, or a thread id in decimal
  bool wants(std::uint32_t pid_, std::uint64_t tid, const std::string& name) const;
  bool by_name() const;
};

struct ThreadInfo {
  std::uint32_t pid = 0;
  std::uint64_t tid = 0;
  std::string name;
  bool chosen = true;
  bool seen = false;  // has recorded an event
  std::uint64_t first_ns = 0, last_ns = 0;
};

class CallTable {
 public:
  // `tree`, when given, receives every stack with its self time.
  explicit CallTable(StackTree* tree = nullptr) : tree_(tree) {}

  Functions& functions() noexcept { return functions_; }
  const Functions& functions() const noexcept { return functions_; }

  // Which threads count: those the selection wants, or, once `by_index` is
  // given, those whose place in the order of appearance it marks.
  void choose(Selection selection) { selection_ = std::move(selection); }
  void choose(std::vector<std::uint8_t> by_index) {
    by_index_ = std::move(by_index);
    by_index_given_ = true;
  }
  // A new thread (a reused id's later thread too).
  std::uint32_t add_thread(std::uint32_t pid, std::uint64_t tid, std::string name);
  void name_thread(std::uint32_t thread, std::string name) {
    threads_[thread].info.name = std::move(name);
  }
  // The thread's record ends here: what is still open closes at its last event.
  void end_thread(std::uint32_t thread);

  void begin(std::uint32_t thread, std::uint32_t fn, std::uint64_t ts);
  // Ends the innermost open call; an end with nothing open (a call begun
  // before the record) is left out.
  void end(std::uint32_t thread, std::uint64_t ts);
  // The thread lost `count` events from `ts` on: what is open closes there.
  void gap(std::uint32_t thread, std::uint64_t ts, std::uint64_t count);
  void note_dropped(std::uint64_t count) { dropped_ = saturated_sum(dropped_, count); }
  // A profile's sample: a stack, outermost frame first, and its time.
  void sample(const std::vector<std::uint32_t>& stack, std::uint64_t ns);

  // Closes every thread's open calls; call once, after the last event.
  void finish();

  const std::vector<Figures>& figures() const noexcept { return figures_; }
  std::vector<ThreadInfo> threads() const;
  std::uint64_t events() const noexcept { return events_; }
  std::uint64_t dropped() const noexcept { return dropped_; }
  std::uint64_t lost_in_gaps() const noexcept { return gap_lost_; }
  std::uint64_t gaps() const noexcept { return gaps_; }
  std::uint64_t open_at_end() const noexcept { return open_at_end_; }
  // Time the chosen threads cover, first event to last, summed; for a profile,
  // its samples' time.
  std::uint64_t covered_ns() const;

 private:
  struct Frame {
    std::uint32_t fn;
    std::uint32_t node;
    std::uint64_t start;
  };
  struct Thread {
    ThreadInfo info;
    std::vector<Frame> stack;
    std::vector<std::uint32_t> active;  // open activations per function id
  };

  Figures& figures_of(std::uint32_t fn) {
    if (fn >= figures_.size()) figures_.resize(fn + 1);
    return figures_[fn];
  }
  // Charges the time since the thread's last event to its innermost frame.
  void advance(Thread& t, std::uint64_t ts);
  void pop(Thread& t, std::uint64_t ts);
  void close_all(Thread& t, std::uint64_t ts);

  StackTree* tree_;
  Selection selection_;
  std::vector<std::uint8_t> by_index_;
  bool by_index_given_ = false;
  Functions functions_;
  std::vector<Figures> figures_;
  std::vector<Thread> threads_;
  std::vector<std::uint64_t> sample_mark_;  // per function: the last sample it was in, plus 1
  std::uint64_t samples_ = 0;
  std::uint64_t sampled_ns_ = 0;
  std::uint64_t events_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t gap_lost_ = 0;
  std::uint64_t gaps_ = 0;
  std::uint64_t open_at_end_ = 0;
};

// Per event: defined here so that the readers' loops inline them.
inline void CallTable::advance(Thread& t, std::uint64_t ts) {
  ++events_;
  if (!t.info.seen) {
    t.info.seen = true;
    t.info.first_ns = t.info.last_ns = ts;
    return;
  }
  if (ts > t.info.last_ns) {
    if (!t.stack.empty()) {
      const std::uint64_t d = ts - t.info.last_ns;
      figures_[t.stack.back().fn].self_ns += d;
      if (tree_ != nullptr) tree_->charge(t.stack.back().node, d);
    }
    t.info.last_ns = ts;
  }
}

inline void CallTable::begin(std::uint32_t thread, std::uint32_t fn, std::uint64_t ts) {
  Thread& t = threads_[thread];
  if (!t.info.chosen) return;
  figures_of(fn);
  advance(t, ts);
  if (fn >= t.active.size()) t.active.resize(fn + 1);
  ++t.active[fn];
  const std::uint32_t parent = t.stack.empty() ? StackTree::ROOT : t.stack.back().node;
  t.stack.push_back(Frame{fn, tree_ != nullptr ? tree_->child(parent, fn) : 0, t.info.last_ns});
}

inline void CallTable::pop(Thread& t, std::uint64_t ts) {
  const Frame f = t.stack.back();
  t.stack.pop_back();
  Figures& fig = figures_[f.fn];
  ++fig.calls;
  if (--t.active[f.fn] == 0 && ts > f.start) fig.total_ns += ts - f.start;
}

inline void CallTable::end(std::uint32_t thread, std::uint64_t ts) {
  Thread& t = threads_[thread];
  if (!t.info.chosen) return;
  if (t.stack.empty()) return;  // begun before the record: nothing of it is known
  advance(t, ts);
  pop(t, t.info.last_ns);
}

}  // namespace fennik::report
