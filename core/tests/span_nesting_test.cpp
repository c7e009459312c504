// Spans kept inside their frames: random streams of frames, spans, marks and
// argument words, cut into batches at random and interleaved across threads,
// come out as a model that keeps every open word on a stack says they should.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "fake_lookups.hpp"
#include "span_nesting.hpp"

namespace fennik {
namespace {

struct Captured final : Exporter {
  IoStatus write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
    out.insert(out.end(), events.begin(), events.end());
    return IO_OK;
  }
  IoStatus finish(const CodeLookup&, const ThreadNames&, const RunStats&) override { return IO_OK; }
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts, std::uint64_t, const CodeLookup&,
                     const ThreadNames&) override {
    out.push_back({ts, tid, 0});  // a marker the model writes too
    return IO_OK;
  }
  std::vector<Event> out;
};

// The rule, kept the plain way: every open word on a stack per thread.
struct Model {
  std::vector<Event> out;
  std::map<std::uint32_t, std::vector<std::uint32_t>> open;
  bool dropping = false;

  void feed(const Event& e) {
    std::vector<std::uint32_t>& stack = open[e.tid];
    const std::uint8_t kind = word_kind(e.code_kind);
    const auto span_on_top = [&] {
      return !stack.empty() && word_kind(stack.back()) == KIND_SPAN_BEGIN;
    };
    bool keep = true;
    if (kind == KIND_ARG) {
      keep = !dropping;
    } else if (is_begin(kind)) {
      stack.push_back(e.code_kind);
    } else if (kind == KIND_SPAN_END) {
      keep = span_on_top();
      if (keep) stack.pop_back();
    } else if (is_end(kind)) {
      for (; span_on_top(); stack.pop_back()) {
        out.push_back({e.ts_ns, e.tid, closing_word(stack.back())});
      }
      if (!stack.empty()) stack.pop_back();
    }
    if (kind != KIND_ARG) dropping = !keep;
    if (keep) out.push_back(e);
  }
  void gap(std::uint32_t tid, std::uint64_t ts) {
    open.erase(tid);
    out.push_back({ts, tid, 0});
  }
};

std::uint32_t random_word(std::mt19937_64& rng) {
  // Frames outnumber spans, as in a program; ends as often as begins, so
  // stacks rise and fall and ends with nothing open occur.
  constexpr std::uint8_t KINDS[] = {KIND_START,    KIND_START,    KIND_RESUME,  KIND_THROW,
                                    KIND_RETURN,   KIND_RETURN,   KIND_YIELD,   KIND_UNWIND,
                                    KIND_START,    KIND_RETURN,   KIND_RETURN,  KIND_SPAN_BEGIN,
                                    KIND_SPAN_END, KIND_SPAN_END, KIND_INSTANT, KIND_COUNTER};
  return make_word(KINDS[rng() % std::size(KINDS)], static_cast<std::uint32_t>(rng() % 50));
}

TEST(SpanNesting, MatchesTheStackModelWhateverTheBatches) {
  testing::FakeCodes codes;
  testing::FakeThreads threads;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    std::mt19937_64 rng(seed);
    auto captured = std::make_unique<Captured>();
    Captured& sink = *captured;
    SpanNesting nesting(std::move(captured));
    Model model;
    std::uint64_t ts = 0;
    for (int batch = 0; batch < 60; ++batch) {
      const auto tid = static_cast<std::uint32_t>(1 + rng() % 3);
      if (rng() % 20 == 0) {
        ASSERT_FALSE(nesting.write_gap(tid, ++ts, 1, codes, threads));
        model.gap(tid, ts);
        continue;
      }
      std::vector<Event> events;
      for (std::uint64_t n = rng() % 40; n-- > 0;) {
        const std::uint32_t word = random_word(rng);
        events.push_back({++ts, tid, word});
        // Annotations carry argument words, which follow their event.
        if (is_annotation(word_kind(word))) {
          for (std::uint64_t a = rng() % 3; a-- > 0;) {
            events.push_back({ts, tid, make_word(KIND_ARG, static_cast<std::uint32_t>(a))});
          }
        }
      }
      for (const Event& e : events) model.feed(e);
      // Argument words never carry over from one batch to the next.
      model.dropping = false;
      ASSERT_FALSE(nesting.write_batch(events, codes, threads));
    }
    ASSERT_EQ(sink.out.size(), model.out.size()) << "seed " << seed;
    for (std::size_t i = 0; i < model.out.size(); ++i) {
      ASSERT_EQ(sink.out[i].ts_ns, model.out[i].ts_ns) << "seed " << seed << " at " << i;
      ASSERT_EQ(sink.out[i].tid, model.out[i].tid) << "seed " << seed << " at " << i;
      ASSERT_EQ(sink.out[i].code_kind, model.out[i].code_kind) << "seed " << seed << " at " << i;
    }
  }
}

}  // namespace
}  // namespace fennik
