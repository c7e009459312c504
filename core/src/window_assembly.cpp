#include "window_assembly.hpp"

#include <algorithm>
#include <utility>

#include "flat_map.hpp"

namespace fennik {
namespace {

// Until the list is sorted, its records are Events that hold the raw tick in
// `ts_ns`, the thread's index in `tid` and the word in `code_kind`; a gap is
// marked in the index and holds its place in `Gaps` instead of a word. So the
// list becomes the result in place, and a dump needs no second copy of it.
using Record = Event;
inline constexpr std::uint32_t GAP_MARK = std::uint32_t{1} << 31;

// Events lost, by the index a gap record holds.
using Gaps = std::vector<std::uint64_t>;

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
  Replay(std::span<const std::uint64_t> pauses, std::uint64_t evicted_until, std::uint64_t from,
         std::uint64_t until, std::vector<Record>& out, Gaps& gaps) noexcept
      : pauses_(pauses),
        evicted_until_(evicted_until),
        from_(from),
        until_(until),
        out_(out),
        gaps_(gaps) {}

  // `index` is the thread's place in the list of threads.
  void run(const ThreadBatches& thread, std::uint32_t index) {
    index_ = index;
    in_window_ = false;
    seen_event_ = false;
    next_pause_ = 0;
    stack_.clear();
    synthetic_.clear();
    stretches_.clear();
    start_stretch(true);
    for (const EventBatch* batch : thread.batches) {
      if (!replay_batch(*batch)) break;
    }
    if (!in_window_) emit_stack();
    place_synthetic();
  }

 private:
  struct Frame {
    std::uint64_t tick;
    std::uint32_t word;
    std::span<const PackedEvent> args;  // a span's argument words, in their batch
  };
  // A stretch of the thread's history that no gap interrupts.
  struct Stretch {
    std::size_t at;               // index in `out_` its synthetic starts go before
    std::size_t first_synthetic;  // its first entry in `synthetic_`
  };

  // False once the thread is past the window.
  bool replay_batch(const EventBatch& batch) {
    if (batch.lost_before != 0 && !gap(batch.lost_tick, batch.lost_before)) return false;
    // Events a tail reader already moved on are not this batch's to show.
    const std::size_t skip = std::min<std::size_t>(batch.skip, batch.size());
    const std::span<const PackedEvent> events = batch.events().subspan(skip);
    for (std::size_t i = 0; i < events.size();) {
      // An annotation comes with its argument words, which share its tick.
      std::size_t n = 1;
      while (i + n < events.size() && word_kind(events[i + n].word()) == KIND_ARG) ++n;
      if (word_kind(events[i].word()) != KIND_ARG &&
          !event(batch.base + events[i].delta(), events[i].word(), events.subspan(i + 1, n - 1))) {
        return false;
      }
      i += n;
    }
    return true;
  }

  void start_stretch(bool first) {
    stretches_.push_back({out_.size(), synthetic_.size()});
    first_stretch_ = first;
    tick_known_ = false;
    after_pause_ = false;
  }

  // A pause that began since the thread's previous event ended what was open
  // there, as the exporter's pause marks end it: within the window, what was
  // open is shown up to it. A frame that ends after it with no start in view
  // began before the pause or during it: it gets no start of its own, so a
  // dump shows what a streamed trace shows.
  void cross_pauses(std::uint64_t tick) {
    if (next_pause_ == pauses_.size() || pauses_[next_pause_] > tick) return;
    const std::uint64_t first = pauses_[next_pause_];
    while (next_pause_ < pauses_.size() && pauses_[next_pause_] <= tick) ++next_pause_;
    if (!seen_event_) return;
    if (!in_window_ && first >= from_) {
      emit_stack();
      in_window_ = true;
    }
    stack_.clear();
    after_pause_ = true;
  }

  void emit(std::uint64_t tick, std::uint32_t word, std::span<const PackedEvent> args) {
    out_.push_back({tick, index_, word});
    for (const PackedEvent a : args) out_.push_back({tick, index_, a.word()});
  }

  void emit_stack() {
    for (const Frame& f : stack_) emit(f.tick, f.word, f.args);
  }

  // False once the thread is past the window.
  bool gap(std::uint64_t tick, std::uint64_t lost) {
    cross_pauses(tick);
    seen_event_ = true;
    if (!in_window_ && tick >= from_) {
      emit_stack();
      in_window_ = true;
    }
    if (in_window_) {
      if (tick > until_) return false;
      out_.push_back({tick, index_ | GAP_MARK, static_cast<std::uint32_t>(gaps_.size())});
      gaps_.push_back(lost);
    }
    // What was open is unknown past a gap.
    stack_.clear();
    start_stretch(false);
    return true;
  }

  bool event(std::uint64_t tick, std::uint32_t word, std::span<const PackedEvent> args) {
    cross_pauses(tick);
    seen_event_ = true;
    if (!tick_known_) {
      // A frame that closes with no start in this stretch was running at its
      // first event; before the first gap it may also have started in what
      // was evicted.
      synthetic_tick_ = first_stretch_ ? std::min(evicted_until_, tick) : tick;
      tick_known_ = true;
    }
    const std::uint8_t kind = word_kind(word);
    if (!in_window_) {
      if (tick < from_) {
        if (is_begin(kind)) {
          stack_.push_back({tick, word, args});
        } else if (is_end(kind) && !stack_.empty()) {
          stack_.pop_back();
        }
        return true;
      }
      emit_stack();
      in_window_ = true;
    }
    if (tick > until_) return false;
    if (is_begin(kind)) {
      stack_.push_back({tick, word, args});
    } else if (is_end(kind) && !stack_.empty()) {
      stack_.pop_back();
    } else if (is_end(kind) && !after_pause_) {
      const std::uint8_t opens = kind == KIND_SPAN_END ? KIND_SPAN_BEGIN : KIND_START;
      synthetic_.push_back({synthetic_tick_, index_, make_word(opens, word_code(word))});
    }
    emit(tick, word, args);
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

  const std::span<const std::uint64_t> pauses_;  // ticks, in order
  const std::uint64_t evicted_until_;
  const std::uint64_t from_;
  const std::uint64_t until_;
  std::vector<Record>& out_;
  Gaps& gaps_;
  std::uint32_t index_ = 0;
  bool in_window_ = false;
  bool first_stretch_ = true;
  bool tick_known_ = false;
  bool seen_event_ = false;
  bool after_pause_ = false;
  std::size_t next_pause_ = 0;  // the first pause after the thread's events so far
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

bool earlier(const Record& a, const Record& b) noexcept {
  return a.ts_ns < b.ts_ns;
}

// The stable sort by tick of the records, whose threads' runs start at
// `starts` (with the end last): each run is in tick order already, unless its
// clock stepped back, and merging neighbouring runs, the earlier one first on
// equal ticks, keeps thread order and each thread's own order.
void sort_by_tick(std::vector<Record>& records, const std::vector<std::size_t>& starts) {
  const auto at = [&](std::size_t run) {
    return records.begin() + static_cast<std::ptrdiff_t>(starts[run]);
  };
  const std::size_t runs = starts.size() - 1;
  for (std::size_t r = 0; r < runs; ++r) {
    if (!std::is_sorted(at(r), at(r + 1), earlier)) std::stable_sort(at(r), at(r + 1), earlier);
  }
  for (std::size_t width = 1; width < runs; width *= 2) {
    for (std::size_t r = 0; r + width < runs; r += 2 * width) {
      std::inplace_merge(at(r), at(r + width), at(std::min(r + 2 * width, runs)), earlier);
    }
  }
}

}  // namespace

Assembled assemble(const Ring& ring, std::span<const EventBatch> tails, const Clock& clock,
                   std::span<const std::uint64_t> pauses_ns, std::uint64_t evicted_until,
                   std::uint64_t from, std::uint64_t until) {
  const std::vector<ThreadBatches> threads = group_by_thread(ring, tails);
  Assembled result;
  std::vector<Record>& records = result.events;
  if (from == 0) {
    // A window from the start shows about everything held; a later one may
    // show little of it, and grows its list as it goes.
    std::size_t held = 0;
    for (const ThreadBatches& t : threads) {
      for (const EventBatch* b : t.batches) held += b->size();
    }
    records.reserve(held);
  }
  // Each pause as the first tick at or after its start, where an event's time
  // reaches it.
  std::vector<std::uint64_t> pauses;
  pauses.reserve(pauses_ns.size());
  for (const std::uint64_t ns : pauses_ns) {
    const std::uint64_t tick = clock.ticks_from_ns(ns);
    pauses.push_back(clock.ns_from_ticks(tick) < ns && tick != U64_MAX ? tick + 1 : tick);
  }
  Gaps lost;
  Replay replay(pauses, evicted_until, from, until, records, lost);
  std::vector<std::size_t> starts;
  starts.reserve(threads.size() + 1);
  // Every thread has a batch of its own, so their number is far below the mark.
  for (std::size_t i = 0; i < threads.size(); ++i) {
    starts.push_back(records.size());
    replay.run(threads[i], static_cast<std::uint32_t>(i));
  }
  starts.push_back(records.size());
  // Equal ticks keep thread order, then each thread's own order.
  sort_by_tick(records, starts);

  result.gaps.reserve(lost.size());
  std::size_t kept = 0;
  for (const Record& r : records) {
    const std::uint64_t ns = clock.ns_from_ticks(r.ts_ns);
    const std::uint32_t tid = threads[r.tid & ~GAP_MARK].tid;
    if ((r.tid & GAP_MARK) != 0) {
      result.gaps.push_back({kept, tid, ns, lost[r.code_kind]});
    } else {
      const std::uint32_t word =
          make_word(known_kind(word_kind(r.code_kind)), word_code(r.code_kind));
      records[kept++] = Event{ns, tid, word};
    }
  }
  records.resize(kept);
  return result;
}

}  // namespace fennik
