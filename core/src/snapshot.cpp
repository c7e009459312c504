#include "snapshot.hpp"

#include <algorithm>
#include <utility>

#include "flat_map.hpp"

namespace fennik {
namespace {

// One record of the time-ordered list before it becomes an Event: an event,
// or, with `lost` not 0, a gap.
struct Record {
  std::uint64_t tick;
  std::uint64_t lost;
  std::uint32_t tid;
  std::uint32_t word;
};

// The batches of one thread, ring batches first, in the order they came.
struct ThreadBatches {
  std::uint32_t tid;
  std::vector<const EventBatch*> batches;
};

// The per-thread step: walks one thread's events (and gaps) in order, keeps
// the stack of frames it opened, and appends to `out` what the window shows.
// Frames open when the window starts come out with their own ticks; a frame
// that closes with no known start gets a synthetic start. Synthetic starts
// are gathered per stretch between gaps and put in front of that stretch once
// the thread is done: the innermost frame closes first, so the order of
// discovery is reversed to put the outermost first.
class Replay {
 public:
  Replay(std::uint64_t evicted_until, std::uint64_t from, std::uint64_t until,
         std::vector<Record>& out) noexcept
      : evicted_until_(evicted_until), from_(from), until_(until), out_(out) {}

  void run(const ThreadBatches& thread) {
    tid_ = thread.tid;
    in_window_ = false;
    stack_.clear();
    synthetic_.clear();
    stretches_.clear();
    start_stretch(true);
    for (const EventBatch* batch : thread.batches) {
      if (batch->lost_before != 0 && !gap(batch->lost_tick, batch->lost_before)) break;
      const std::span<const PackedEvent> events = batch->events();
      const std::size_t skip = std::min<std::size_t>(batch->skip, events.size());
      bool stopped = false;
      for (const PackedEvent e : events.subspan(skip)) {
        if (!event(batch->base + e.delta(), e.word())) {
          stopped = true;
          break;
        }
      }
      if (stopped) break;
    }
    if (!in_window_) emit_stack();
    place_synthetic();
  }

 private:
  struct Frame {
    std::uint64_t tick;
    std::uint32_t word;
  };
  // A stretch of the thread's history that no gap interrupts.
  struct Stretch {
    std::size_t at;               // index in `out_` its synthetic starts go before
    std::size_t first_synthetic;  // its first entry in `synthetic_`
  };

  void start_stretch(bool first) {
    stretches_.push_back({out_.size(), synthetic_.size()});
    first_stretch_ = first;
    tick_known_ = false;
  }

  void emit_stack() {
    for (const Frame& f : stack_) out_.push_back({f.tick, 0, tid_, f.word});
  }

  // False once the thread is past the window.
  bool gap(std::uint64_t tick, std::uint64_t lost) {
    if (!in_window_ && tick >= from_) {
      emit_stack();
      in_window_ = true;
    }
    if (in_window_) {
      if (tick > until_) return false;
      out_.push_back({tick, lost, tid_, 0});
    }
    // What was open is unknown past a gap.
    stack_.clear();
    start_stretch(false);
    return true;
  }

  bool event(std::uint64_t tick, std::uint32_t word) {
    if (!tick_known_) {
      // A frame that closes with no start in this stretch was running at its
      // first event; before the first gap it may also have started in what
      // was evicted.
      synthetic_tick_ = first_stretch_ ? std::min(evicted_until_, tick) : tick;
      tick_known_ = true;
    }
    const bool opens = is_begin(word_kind(word));
    if (!in_window_) {
      if (tick < from_) {
        if (opens) {
          stack_.push_back({tick, word});
        } else if (!stack_.empty()) {
          stack_.pop_back();
        }
        return true;
      }
      emit_stack();
      in_window_ = true;
    }
    if (tick > until_) return false;
    if (opens) {
      stack_.push_back({tick, word});
    } else if (!stack_.empty()) {
      stack_.pop_back();
    } else {
      synthetic_.push_back({synthetic_tick_, 0, tid_, make_word(KIND_START, word_code(word))});
    }
    out_.push_back({tick, 0, tid_, word});
    return true;
  }

  // Opens room for the synthetic starts and moves this thread's records back
  // over it, from the end, so each record moves once.
  void place_synthetic() {
    if (synthetic_.empty()) return;
    std::size_t src = out_.size();
    out_.resize(src + synthetic_.size());
    std::size_t dst = out_.size();
    std::size_t end = synthetic_.size();
    for (std::size_t s = stretches_.size(); s-- > 0;) {
      const Stretch& stretch = stretches_[s];
      while (src > stretch.at) out_[--dst] = out_[--src];
      // Discovery order, from the back: the first found (innermost) lands last.
      for (std::size_t i = stretch.first_synthetic; i < end; ++i) out_[--dst] = synthetic_[i];
      end = stretch.first_synthetic;
    }
  }

  const std::uint64_t evicted_until_;
  const std::uint64_t from_;
  const std::uint64_t until_;
  std::vector<Record>& out_;
  std::uint32_t tid_ = 0;
  bool in_window_ = false;
  bool first_stretch_ = true;
  bool tick_known_ = false;
  std::uint64_t synthetic_tick_ = 0;
  std::vector<Frame> stack_;
  std::vector<Record> synthetic_;
  std::vector<Stretch> stretches_;
};

// Ring batches first, then the tails that are not older copies of one of
// them; threads in the order they first appear.
std::vector<ThreadBatches> group_by_thread(const Ring& ring, std::span<const EventBatch> tails) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> in_ring;
  in_ring.reserve(ring.batches().size());
  for (const auto& b : ring.batches()) in_ring.emplace_back(b->tid, b->base);
  std::sort(in_ring.begin(), in_ring.end());

  std::vector<ThreadBatches> threads;
  // Thread ids widened, so that no 32-bit id is the map's empty key.
  FlatMap<std::uint64_t, std::size_t> index;
  const auto add = [&](const EventBatch& batch) {
    const std::size_t* found = index.find(batch.tid);
    const std::size_t i = found != nullptr ? *found : threads.size();
    if (found == nullptr) {
      threads.push_back({batch.tid, {}});
      index.insert(batch.tid, i);
    }
    threads[i].batches.push_back(&batch);
  };
  for (const auto& b : ring.batches()) add(*b);
  for (const EventBatch& tail : tails) {
    if (!std::binary_search(in_ring.begin(), in_ring.end(), std::pair(tail.tid, tail.base))) {
      add(tail);
    }
  }
  return threads;
}

}  // namespace

Assembled assemble(const Ring& ring, std::span<const EventBatch> tails, const Clock& clock,
                   std::uint64_t evicted_until, std::uint64_t from, std::uint64_t until) {
  const std::vector<ThreadBatches> threads = group_by_thread(ring, tails);
  std::size_t held = 0;
  for (const ThreadBatches& t : threads) {
    for (const EventBatch* b : t.batches) held += b->size() + (b->lost_before != 0 ? 1 : 0);
  }
  std::vector<Record> records;
  records.reserve(held);
  Replay replay(evicted_until, from, until, records);
  for (const ThreadBatches& t : threads) replay.run(t);
  // Equal ticks keep thread order, then each thread's own order.
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.tick < b.tick; });

  Assembled result;
  std::size_t gaps = 0;
  for (const Record& r : records) gaps += r.lost != 0 ? 1 : 0;
  result.events.reserve(records.size() - gaps);
  result.gaps.reserve(gaps);
  for (const Record& r : records) {
    const std::uint64_t ns = clock.ns_from_ticks(r.tick);
    if (r.lost != 0) {
      result.gaps.push_back({result.events.size(), r.tid, ns, r.lost});
    } else {
      const std::uint32_t word = make_word(known_kind(word_kind(r.word)), word_code(r.word));
      result.events.push_back({ns, r.tid, word});
    }
  }
  return result;
}

}  // namespace fennik
