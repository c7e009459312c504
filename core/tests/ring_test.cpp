#include "ring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <ranges>
#include <tuple>

#include "window_assembly.hpp"

namespace fennik {
namespace {

constexpr std::uint32_t SLOTS = 16;
const std::uint64_t HELD = held_batch_bytes(EventBatch(SLOTS, 0, 0));

std::unique_ptr<EventBatch> batch_ending(std::uint32_t tid, std::uint64_t base, std::uint32_t end) {
  auto b = std::make_unique<EventBatch>(SLOTS, base, tid);
  b->slots()[0] = PackedEvent::pack(end, make_word(KIND_START, 1));
  b->set_size(1);
  return b;
}

TEST(Ring, EvictsOldestFirstUnlessPinnedWithinTwiceTheBudgetOrHeld) {
  Ring ring(3 * HELD);
  // Pushes the batches based at 100 * i for i in [from, to), each ending 10
  // ticks in; then the oldest one's base, how many are held, and the end of
  // the last one evicted.
  const auto push = [&](std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t i = from; i < to; ++i) ring.push(batch_ending(1, 100 * i, 10));
    return std::tuple(ring.batches().front()->base, ring.batches().size(), ring.evicted_until());
  };
  EXPECT_EQ(push(0, 5), std::tuple(200u, 3u, 110u));
  ring.set_pin(310);  // protects the batch ending at 310, not the one ending at 210
  EXPECT_EQ(push(5, 9), std::tuple(300u, 6u, 210u));   // up to twice the budget
  EXPECT_EQ(push(9, 10), std::tuple(400u, 6u, 310u));  // then the hard limit
  ring.set_pin(std::nullopt);
  EXPECT_EQ(push(10, 10), std::tuple(700u, 3u, 610u));
  // A hold keeps what ends at or after it past any limit, and says when
  // the ring is full; released, the ring is back within its budget.
  ring.set_hold(810);
  for (std::uint64_t i = 10; i < 14; ++i) {
    EXPECT_FALSE(ring.full());
    push(i, i + 1);
  }
  EXPECT_TRUE(ring.full());
  EXPECT_EQ(push(14, 15), std::tuple(800u, 7u, 710u));
  ring.set_hold(std::nullopt);
  EXPECT_FALSE(ring.full());
  EXPECT_EQ(ring.pop_front()->base, 1200u);
  EXPECT_EQ(ring.evicted_until(), 1110u);
}

// One thread's retained history as replay reads it: events, and gaps (lost != 0).
struct Entry {
  std::uint64_t tick, lost;
  std::uint32_t word;
};
// Time (ns with a clock starting at 0), tid, normalised word, lost.
using Row = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint64_t>;

// Per thread: the window runs from the first entry at `from` or later (`w`) to
// the first past `until` (`n`); pair each close with the open it ends within
// its stretch between gaps; then each stretch shows its gap (if in the
// window), synthetic starts for its unpaired closes in the window (outermost
// first), its opens still open at `w`, and its part of the window. A pause
// between two entries closes what is open; closes after it in its stretch get
// no start.
void model(std::uint32_t tid, const std::vector<Entry>& e, const std::vector<std::uint64_t>& pauses,
           std::uint64_t evicted_until, std::uint64_t from, std::uint64_t until,
           std::vector<Row>& out) {
  const auto put = [&](const Entry& x) {
    const std::uint8_t kind = known_kind(word_kind(x.word));
    out.emplace_back(x.tick, tid, x.lost != 0 ? 0 : make_word(kind, word_code(x.word)), x.lost);
  };
  std::size_t n = 0, w = 0;
  while (n < e.size() && e[n].tick <= until) ++n;
  while (w < e.size() && e[w].tick < from) ++w;
  std::vector<std::size_t> stack, closer(n, n), unpaired;
  bool quiet = false;  // past a pause in this stretch
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i <= n && i < e.size(); seen = std::max(seen, e[i++].tick)) {
    // The first pause since the entries before.
    const auto p = std::ranges::find_if(pauses, [&](auto t) { return t > seen && t <= e[i].tick; });
    if (i > 0 && p != pauses.end()) {
      for (const std::size_t s : stack) closer[s] = *p >= from ? n : s;  // open in the window?
      stack.clear();
      quiet = true;
    }
    if (i == n) break;
    if (e[i].lost != 0)
      stack.clear(), quiet = false;
    else if (is_begin(word_kind(e[i].word)))
      stack.push_back(i);
    else if (!stack.empty())
      closer[stack.back()] = i, stack.pop_back();
    else if (!quiet)
      unpaired.push_back(i);
  }
  for (std::size_t b = 0, end = 0; b < n; b = end) {
    const bool after_gap = e[b].lost != 0;
    if (after_gap && b >= w) put(e[b]);
    for (end = b + 1; end < n && e[end].lost == 0;) ++end;
    const std::size_t first = after_gap ? b + 1 : b;
    std::uint64_t tick = first < end ? e[first].tick : 0;
    if (!after_gap) tick = std::min(evicted_until, tick);
    for (const std::size_t i : std::views::reverse(unpaired))
      if (i >= std::max(b, w) && i < end)
        put({tick, 0, make_word(KIND_START, word_code(e[i].word))});
    const bool alive = end == n || end >= w;
    for (std::size_t i = first; i < end; ++i)
      if (i >= w || (alive && is_begin(word_kind(e[i].word)) && closer[i] >= w)) put(e[i]);
  }
}

TEST(Assemble, MatchesAModelOnGeneratedHistories) {
  std::mt19937_64 rng(20261207);
  const auto below = [&](std::uint64_t n) { return rng() % n; };
  const std::uint8_t opens[] = {KIND_START, KIND_RESUME, KIND_THROW, 0x7F};
  const std::uint8_t closes[] = {KIND_RETURN, KIND_YIELD, KIND_UNWIND};
  for (int round = 0; round < 2000; ++round) {
    Ring ring(below(6) * HELD);
    if (below(3) == 0) ring.set_pin(below(150));
    // Well-nested histories cut into batches, some lost, the last often a tail.
    std::vector<std::vector<std::unique_ptr<EventBatch>>> queued(1 + below(4));
    std::vector<EventBatch> tails;
    for (std::uint32_t t = 0; t < queued.size(); ++t) {
      std::vector<std::uint32_t> stack(below(4), 40 + t);  // entered before recording
      std::uint64_t tick = below(8), lost = 0, lost_tick = 0;
      for (auto chunks = 1 + below(8); chunks-- > 0;) {
        auto b = std::make_unique<EventBatch>(SLOTS, ++tick, 100 + t);
        b->set_size(static_cast<std::uint32_t>(below(SLOTS + 1)));
        for (std::uint32_t i = 0; i < b->size(); ++i) {
          tick = below(40) == 0 ? b->base + below(tick - b->base + 1) : tick + below(3);
          const bool close = !stack.empty() && below(2) == 0;
          const std::uint32_t code = close ? stack.back() : static_cast<std::uint32_t>(below(30));
          close ? stack.pop_back() : stack.push_back(code);
          const std::uint8_t kind = close ? closes[below(3)] : opens[below(4)];
          b->slots()[i] =
              PackedEvent::pack(static_cast<std::uint32_t>(tick - b->base), make_word(kind, code));
        }
        if (!b->empty() && below(8) == 0) {
          lost_tick = lost == 0 ? b->base : lost_tick;
          lost += b->size();
          if (chunks != 0) continue;
          b = std::make_unique<EventBatch>(SLOTS, ++tick, 100 + t);
        }
        b->lost_before = std::exchange(lost, 0);
        b->lost_tick = lost_tick;
        chunks == 0 && below(3) != 0 ? tails.push_back(std::move(*b))
                                     : queued[t].push_back(std::move(b));
      }
    }
    std::vector<std::size_t> order, next(queued.size());  // drained in any thread order
    for (std::size_t t = 0; t < queued.size(); ++t) order.insert(order.end(), queued[t].size(), t);
    std::shuffle(order.begin(), order.end(), rng);
    for (const std::size_t t : order) ring.push(std::move(queued[t][next[t]++]));
    ASSERT_EQ(ring.bytes(), ring.batches().size() * HELD);
    ASSERT_EQ(ring.evicted() + ring.batches().size(), ring.pushed());
    ASSERT_TRUE(ring.pushed() == 0 ? ring.batches().empty()
                                   : !ring.batches().empty() &&
                                         (ring.batches().size() == 1 ||
                                          ring.bytes() <= (ring.pin() ? 2 : 1) * ring.capacity()));

    std::vector<std::pair<std::uint32_t, std::vector<Entry>>> threads;
    const auto retained = [&](const EventBatch& b) {
      auto it =
          std::find_if(threads.begin(), threads.end(), [&](auto& p) { return p.first == b.tid; });
      if (it == threads.end()) it = threads.insert(it, {b.tid, {}});
      if (b.lost_before != 0) it->second.push_back({b.lost_tick, b.lost_before, 0});
      for (const PackedEvent e : b.events())
        it->second.push_back({b.base + e.delta(), 0, e.word()});
    };
    for (const auto& b : ring.batches()) retained(*b);
    for (const EventBatch& b : tails) retained(b);
    for (const auto& b : ring.batches()) {  // older copies of what reached the ring
      if (below(3) != 0) continue;
      EventBatch copy(SLOTS, b->base, b->tid);
      copy.set_size(static_cast<std::uint32_t>(below(b->size() + 1)));
      std::copy_n(b->slots(), copy.size(), copy.slots());
      tails.insert(tails.begin() + static_cast<std::ptrdiff_t>(below(tails.size() + 1)),
                   std::move(copy));
    }

    const auto some_tick = [&] {  // often an event's, to hit the edges
      if (threads.empty() || below(2) == 0) return below(250);
      const auto& e = threads[below(threads.size())].second;
      return e.empty() ? below(250) : e[below(e.size())].tick;
    };
    const std::uint64_t from = below(4) == 0 ? 0 : some_tick();
    const std::uint64_t until = below(8) == 0 ? UINT64_MAX : std::max(from, some_tick());
    std::vector<std::uint64_t> pauses(below(3));
    for (auto& p : pauses) p = some_tick();
    std::ranges::sort(pauses);
    std::vector<Row> want, got;
    for (const auto& [tid, e] : threads)
      model(tid, e, pauses, ring.evicted_until(), from, until, want);
    std::stable_sort(want.begin(), want.end(),
                     [](auto& a, auto& b) { return std::get<0>(a) < std::get<0>(b); });
    const Assembled a =
        assemble(ring, tails, Clock::nanos(0), pauses, ring.evicted_until(), from, until);
    for (std::size_t i = 0, g = 0; i <= a.events.size(); ++i) {
      for (; g < a.gaps.size() && a.gaps[g].before == i; ++g)
        got.emplace_back(a.gaps[g].ts_ns, a.gaps[g].tid, 0, a.gaps[g].count);
      if (i < a.events.size())
        got.emplace_back(a.events[i].ts_ns, a.events[i].tid, a.events[i].code_kind, 0);
    }
    ASSERT_EQ(got, want) << "round " << round;
  }
}

}  // namespace
}  // namespace fennik
