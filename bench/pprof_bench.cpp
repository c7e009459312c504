// Costs of the pprof exporter: folding events (write_batch) for a deeply
// recursive program and for one that touches many distinct stacks, writing
// the profile (finish) for 100,000 distinct stacks, and the memory a profile
// of deep recursion takes from its first event to its file. Figures only;
// nothing here passes or fails on a timing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "event.hpp"
#include "fake_lookups.hpp"
#include "pprof.hpp"

// Heap bytes in use, and the most at once since the last reset: every
// operator new and delete of this program passes through here.
namespace heap {
namespace {
std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> most{0};
}  // namespace

void* take(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t now = in_use.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  for (std::size_t seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
  }
  return p;
}
void give(void* p) noexcept {
  if (p == nullptr) return;
  in_use.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
// Starts a new peak from what is in use now, and returns that.
std::size_t reset_peak() {
  most = in_use.load();
  return most;
}
std::size_t peak() {
  return most.load();
}
}  // namespace heap

void* operator new(std::size_t n) {
  return heap::take(n);
}
void* operator new[](std::size_t n) {
  return heap::take(n);
}
void operator delete(void* p) noexcept {
  heap::give(p);
}
void operator delete[](void* p) noexcept {
  heap::give(p);
}
void operator delete(void* p, std::size_t) noexcept {
  heap::give(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  heap::give(p);
}

namespace fennik {
namespace {

using testing::FakeCodes;
using testing::FakeThreads;

constexpr std::uint32_t TID = 7;
constexpr std::uint64_t NS_PER_EVENT = 40;  // a plausible gap between two calls' events
// Events replayed per benchmark iteration: enough batches to leave the caches
// and to make the stream's shape, not its start, what is measured.
constexpr std::size_t STREAM_EVENTS = 256 * BATCH_CAPACITY;
// The wide stream: main -> one of WIDE_MIDS handlers -> one of WIDE_LEAVES leaves.
constexpr std::uint32_t WIDE_MIDS = 1'000;
constexpr std::uint32_t WIDE_LEAVES = 100;
constexpr std::uint32_t MID_CODE_BASE = 1;
constexpr std::uint32_t LEAF_CODE_BASE = MID_CODE_BASE + WIDE_MIDS;
constexpr std::uint32_t FINISH_STACKS = WIDE_MIDS * WIDE_LEAVES;  // 100,000
static_assert(FINISH_STACKS == 100'000);

std::string scratch_path(const char* what) {
  return "/tmp/fennik_pprof_bench_" + std::string(what) + "_" + std::to_string(::getpid()) + ".pb";
}

std::unique_ptr<PprofExporter> open_exporter(const std::string& path) {
  auto created = PprofExporter::create(path);
  if (!created) {
    std::fprintf(stderr, "pprof_bench: %s: %s\n", path.c_str(), created.error().text().c_str());
    std::abort();
  }
  return std::move(created).value();
}

// Hands the events to the exporter in batches, as the pipeline does.
void feed(PprofExporter& exporter, std::span<const Event> all, const FakeCodes& codes,
          const FakeThreads& threads) {
  for (std::size_t at = 0; at < all.size(); at += BATCH_CAPACITY) {
    const std::size_t n = std::min<std::size_t>(BATCH_CAPACITY, all.size() - at);
    (void)exporter.write_batch(all.subspan(at, n), codes, threads);
  }
}

void fold_stream(benchmark::State& state, const std::vector<Event>& events) {
  const std::string path = scratch_path("fold");
  auto exporter = open_exporter(path);
  const FakeCodes codes;
  const FakeThreads threads;
  for (auto _ : state) feed(*exporter, events, codes, threads);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * events.size()));
  exporter.reset();
  std::remove(path.c_str());
}

// Every stream is balanced (each start has its return), so replaying it leaves
// the thread's stack as it found it and the tree stops growing after one pass.

// One function recursing to `depth` and returning all the way, `repeats`
// times: every event changes the stack, and stacks are as deep as the depth.
std::vector<Event> recursion(std::uint32_t depth, std::size_t repeats) {
  std::vector<Event> events;
  events.reserve(2 * depth * repeats);
  std::uint64_t ts = 0;
  for (std::size_t r = 0; r < repeats; ++r) {
    for (std::uint32_t d = 0; d < depth; ++d) {
      events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_START, 1)});
    }
    for (std::uint32_t d = 0; d < depth; ++d) {
      events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, 1)});
    }
  }
  return events;
}

void BM_FoldDeepRecursion(benchmark::State& state) {
  const auto depth = static_cast<std::uint32_t>(state.range(0));
  fold_stream(state, recursion(depth, STREAM_EVENTS / (2 * depth)));
}
BENCHMARK(BM_FoldDeepRecursion)->Arg(50)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMillisecond);

// main calls handlers that call leaves, chosen pseudo-randomly among `range`
// distinct (handler, leaf) pairs: many distinct stacks, little locality.
void BM_FoldWide(benchmark::State& state) {
  const auto pairs = static_cast<std::uint32_t>(state.range(0));
  std::vector<Event> events;
  events.reserve(STREAM_EVENTS);
  std::uint64_t ts = 0;
  std::uint64_t rng = 0x2545F4914F6CDD1Dull;
  events.push_back({ts, TID, make_word(KIND_START, 0)});
  while (events.size() + 5 <= STREAM_EVENTS) {
    rng ^= rng << 13;  // xorshift64
    rng ^= rng >> 7;
    rng ^= rng << 17;
    const auto pair = static_cast<std::uint32_t>(rng % pairs);
    const std::uint32_t mid = MID_CODE_BASE + pair / WIDE_LEAVES;
    const std::uint32_t leaf = LEAF_CODE_BASE + pair % WIDE_LEAVES;
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_START, mid)});
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_START, leaf)});
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, leaf)});
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, mid)});
  }
  events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, 0)});
  fold_stream(state, events);
}
BENCHMARK(BM_FoldWide)->Arg(1'000)->Arg(FINISH_STACKS)->Unit(benchmark::kMillisecond);

// finish with FINISH_STACKS distinct charged stacks main -> handler -> leaf,
// every code known by name: building, encoding and writing the profile.
void BM_Finish100kStacks(benchmark::State& state) {
  const std::string path = scratch_path("finish");
  FakeCodes codes;
  codes.add(0, {"main", "/app/main.py", 1});
  for (std::uint32_t m = 0; m < WIDE_MIDS; ++m) {
    codes.add(MID_CODE_BASE + m, {"Handler.handle_" + std::to_string(m), "/app/handlers.py", m});
  }
  for (std::uint32_t l = 0; l < WIDE_LEAVES; ++l) {
    codes.add(LEAF_CODE_BASE + l, {"leaf_" + std::to_string(l), "/app/leaves.py", l});
  }
  const FakeThreads threads;
  std::vector<Event> events;
  std::uint64_t ts = 0;
  events.push_back({ts, TID, make_word(KIND_START, 0)});
  for (std::uint32_t m = 0; m < WIDE_MIDS; ++m) {
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_START, MID_CODE_BASE + m)});
    for (std::uint32_t l = 0; l < WIDE_LEAVES; ++l) {
      events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_START, LEAF_CODE_BASE + l)});
      events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, LEAF_CODE_BASE + l)});
    }
    events.push_back({ts += NS_PER_EVENT, TID, make_word(KIND_RETURN, MID_CODE_BASE + m)});
  }

  std::size_t stacks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto exporter = open_exporter(path);
    (void)exporter->write_batch(events, codes, threads);
    stacks = exporter->stack_totals().size();
    state.ResumeTiming();
    const IoStatus st = exporter->finish(codes, threads, RunStats{});
    if (st) state.SkipWithError(st->text().c_str());
  }
  struct stat info{};
  ::stat(path.c_str(), &info);
  state.counters["stacks"] = static_cast<double>(stacks);
  state.counters["profile_bytes"] = static_cast<double>(info.st_size);
  std::remove(path.c_str());
}
BENCHMARK(BM_Finish100kStacks)->Unit(benchmark::kMillisecond);

// A profile of deep recursion has as many stacks as the depth, but its
// samples list depth * (depth + 1) / 2 frames in all.
constexpr std::size_t RECURSION_REPEATS = 8;
// The most heap a profile of deep recursion takes, from its first event to
// its written file.
void BM_DeepRecursionMemory(benchmark::State& state) {
  const auto depth = static_cast<std::uint32_t>(state.range(0));
  const std::string path = scratch_path("deep");
  const FakeCodes codes;
  const FakeThreads threads;
  const std::vector<Event> events = recursion(depth, RECURSION_REPEATS);
  std::size_t peak = 0;
  for (auto _ : state) {
    const std::size_t before = heap::reset_peak();
    auto exporter = open_exporter(path);
    feed(*exporter, events, codes, threads);
    const IoStatus st = exporter->finish(codes, threads, RunStats{});
    if (st) state.SkipWithError(st->text().c_str());
    exporter.reset();
    peak = std::max(peak, heap::peak() - before);
  }
  struct stat info{};
  ::stat(path.c_str(), &info);
  state.counters["frames_in_samples"] = static_cast<double>(depth) * (depth + 1) / 2;
  state.counters["profile_bytes"] = static_cast<double>(info.st_size);
  state.counters["peak_heap_bytes"] = static_cast<double>(peak);
  std::remove(path.c_str());
}
BENCHMARK(BM_DeepRecursionMemory)
    ->Arg(1'000)
    ->Arg(3'000)
    ->Arg(5'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fennik

BENCHMARK_MAIN();
