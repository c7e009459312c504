// Costs of the event capture core: the recording step, the clock reads it
// makes, the batch rotation, and the consumer's drain. Figures only; nothing
// here passes or fails on a timing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.hpp"
#include "event.hpp"
#include "evqueue.hpp"
#include "thread_batches.hpp"
#include "tls.hpp"

namespace fennik {
namespace {

using Steady = std::chrono::steady_clock;
using Batches = std::vector<Drained>;

constexpr std::size_t DRAIN_ALL = std::numeric_limits<std::size_t>::max();
// Each recording thread drains every list at least this often (in its own
// batches), so waiting batches stay few, as in a session whose exporter keeps up.
constexpr std::uint32_t DRAIN_EVERY_BATCHES = 16;
// Direct rotations timed in one go; the list is drained between chunks.
constexpr std::uint32_t ROTATIONS_PER_CHUNK = 48;
// Full batches each producer of the drain benchmark leaves in its list.
constexpr std::uint32_t LIST_BATCHES = 64;
constexpr std::uint32_t DRAIN_PRODUCERS = 4;
constexpr std::uint32_t DRAIN_BATCHES = DRAIN_PRODUCERS * LIST_BATCHES;

// The queue the record and rotation benchmarks share across their threads;
// one per benchmark run.
std::shared_ptr<EventQueue> SHARED_QUEUE;

void make_shared_queue(const benchmark::State&) {
  SHARED_QUEUE = EventQueue::create(Clock::starting_now());
}
void drop_shared_queue(const benchmark::State&) {
  SHARED_QUEUE.reset();
}

// Synthetic ticks keep increasing on each thread across runs, so a batch's
// deltas always fit in 32 bits.
thread_local std::uint64_t SYNTHETIC_TICK = 0;

// One recording step per call, as the tracer's callback makes it: HOT's
// address is computed per event instead of once per loop.
[[gnu::noipa]] void record_step(EventQueue& q, std::uint64_t now, std::uint32_t word) noexcept {
  record(q, now, word);
}
[[gnu::noipa]] void record_step_clocked(EventQueue& q, std::uint32_t word) noexcept {
  record(q, q.clock.now_ticks(), word);
}

template <bool CLOCKED>
void record_events(EventQueue& q, std::uint64_t& tick, std::uint32_t count) noexcept {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t word = make_word(KIND_START, i);
    if constexpr (CLOCKED) {
      record_step_clocked(q, word);
    } else {
      record_step(q, ++tick, word);
    }
  }
}

std::uint32_t free_slots() noexcept {
  return static_cast<std::uint32_t>(HOT.end.load(std::memory_order_relaxed) -
                                    HOT.cursor.load(std::memory_order_relaxed));
}

double seconds(Steady::time_point from, Steady::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Drains every list and gives the batches back for reuse, as the output
// thread does once it has written them.
void drain_everything(EventQueue& q, Batches& out) {
  q.drain_batches(out, DRAIN_ALL);
  std::vector<OwnedBatch> spent;
  for (Drained& d : out) spent.push_back(std::move(d.batch));
  q.recycle(spent);
  out.clear();
}

// Items per second and time per item (event or batch), both per thread: with
// several threads the library divides the threads' summed items by their
// summed time.
void report(benchmark::State& state, const EventQueue& q, std::uint64_t units, const char* name) {
  if (q.dropped.load() != 0) state.SkipWithError("events were dropped: the buffer budget ran out");
  state.SetItemsProcessed(static_cast<std::int64_t>(units));
  state.counters[name] = benchmark::Counter(
      static_cast<double>(units), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Only the fast path is timed: each iteration fills the rest of the current
// batch, then records the event that rotates it outside the timed region.
template <bool CLOCKED>
void BM_RecordFastPath(benchmark::State& state) {
  EventQueue& q = *SHARED_QUEUE;
  Batches drained;
  std::uint64_t tick = SYNTHETIC_TICK;
  record_events<CLOCKED>(q, tick, 1);  // joins the queue (or rotates a stale batch)
  std::uint64_t events = 0;
  std::uint32_t batches = 0;
  for (auto _ : state) {
    const std::uint32_t n = free_slots();
    const auto start = Steady::now();
    record_events<CLOCKED>(q, tick, n);
    state.SetIterationTime(seconds(start, Steady::now()));
    events += n;
    record_events<CLOCKED>(q, tick, 1);
    if (++batches % DRAIN_EVERY_BATCHES == 0) drain_everything(q, drained);
  }
  SYNTHETIC_TICK = tick;
  report(state, q, events, "per_event");
}

// Steady recording: whole batches including their rotations, draining
// between timed chunks.
void BM_RecordWithRotation(benchmark::State& state) {
  constexpr std::uint32_t CHUNK_EVENTS = DRAIN_EVERY_BATCHES * BATCH_CAPACITY;
  EventQueue& q = *SHARED_QUEUE;
  Batches drained;
  std::uint64_t tick = SYNTHETIC_TICK;
  record_events<false>(q, tick, 1);
  std::uint64_t events = 0;
  for (auto _ : state) {
    const auto start = Steady::now();
    record_events<false>(q, tick, CHUNK_EVENTS);
    state.SetIterationTime(seconds(start, Steady::now()));
    events += CHUNK_EVENTS;
    drain_everything(q, drained);
  }
  SYNTHETIC_TICK = tick;
  report(state, q, events, "per_event");
}

// The rotation alone: the call the fast path makes when a batch is full,
// which hands the batch to the list and mirrors a spare (or new) one into HOT.
void BM_SlowPathRotate(benchmark::State& state) {
  EventQueue& q = *SHARED_QUEUE;
  Batches drained;
  std::uint64_t tick = SYNTHETIC_TICK;
  record_events<false>(q, tick, 1);
  const std::uint32_t word = make_word(KIND_START, 1);
  std::uint64_t rotations = 0;
  for (auto _ : state) {
    const std::uint32_t tid = HOT.tid.load(std::memory_order_relaxed);
    const auto start = Steady::now();
    for (std::uint32_t i = 0; i < ROTATIONS_PER_CHUNK; ++i) {
      EventQueue::slow_path(q, HOT, ++tick, tid, word);
    }
    state.SetIterationTime(seconds(start, Steady::now()));
    rotations += ROTATIONS_PER_CHUNK;
    drain_everything(q, drained);
  }
  SYNTHETIC_TICK = tick;
  report(state, q, rotations, "per_batch");
}

void BM_ReadCounter(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(read_counter());
  if (!counter_source().usable) state.SetLabel("not the clock chosen on this machine");
}

void BM_ReadMonotonicNs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(read_monotonic_ns());
}

const char* mode_name(ClockMode mode) {
  switch (mode) {
    case ClockMode::Counter:
      return "counter";
    case ClockMode::Nanos:
      break;
  }
  return "nanos";
}

void BM_ClockNowTicks(benchmark::State& state) {
  const Clock clock = Clock::starting_now();
  for (auto _ : state) benchmark::DoNotOptimize(clock.now_ticks());
  state.SetLabel(std::string("mode=") + mode_name(clock.mode));
}

// Producer threads that each push exactly LIST_BATCHES full batches
// into a queue on request, then wait for the next request.
class Fillers {
 public:
  Fillers(EventQueue& q, std::uint32_t count) : q_(q) {
    for (std::uint32_t i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
  }
  ~Fillers() {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  Fillers(const Fillers&) = delete;
  Fillers& operator=(const Fillers&) = delete;

  // Returns once every thread's list holds LIST_BATCHES full batches.
  void fill_lists() {
    std::unique_lock<std::mutex> g(lock_);
    done_ = 0;
    ++round_;
    wake_.notify_all();
    filled_.wait(g, [this] { return done_ == threads_.size(); });
  }

 private:
  void run() {
    std::uint64_t tick = 0;
    // The first batch starts with this event, so each round of LIST_BATCHES
    // batches' worth of events rotates exactly that many full batches out.
    record_events<false>(q_, tick, 1);
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> g(lock_);
        wake_.wait(g, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
      }
      record_events<false>(q_, tick, LIST_BATCHES * BATCH_CAPACITY);
      {
        std::lock_guard<std::mutex> g(lock_);
        ++done_;
      }
      filled_.notify_one();
    }
  }

  EventQueue& q_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable filled_;
  std::uint64_t round_ = 0;
  std::size_t done_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The consumer's side: full lists of several threads, drained with at most
// state.range(0) batches per call.
void BM_DrainBatches(benchmark::State& state) {
  constexpr std::uint64_t EXPECTED = std::uint64_t{DRAIN_BATCHES} * BATCH_CAPACITY;
  const auto max_per_call = static_cast<std::size_t>(state.range(0));
  auto q = EventQueue::create(Clock::starting_now());
  Fillers fillers(*q, DRAIN_PRODUCERS);
  Batches drained;
  drained.reserve(DRAIN_BATCHES);
  std::uint64_t events = 0;
  for (auto _ : state) {
    drained.clear();  // frees the previous round's batches before refilling
    fillers.fill_lists();
    const auto start = Steady::now();
    while (q->drain_batches(drained, max_per_call) != 0) {
    }
    state.SetIterationTime(seconds(start, Steady::now()));
    std::uint64_t got = 0;
    for (const auto& d : drained) got += d.batch ? d.batch->size() : 0;
    if (got != EXPECTED) {
      state.SkipWithError("the drain did not return every recorded event");
      break;
    }
    events += got;
  }
  state.counters["per_batch"] =
      benchmark::Counter(static_cast<double>(events / BATCH_CAPACITY),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  report(state, *q, events, "per_event");
}

// The output side's first step for each batch: its packed events decoded
// into timestamped events, on a 3 GHz counter's clock (Arg 1) and on a
// nanosecond one (Arg 0).
constexpr std::uint64_t DECODE_COUNTER_HZ = 3'000'000'000;
constexpr std::uint32_t DECODE_TICKS_APART = 37;

void BM_DecodeBatch(benchmark::State& state) {
  const Clock clock =
      state.range(0) != 0 ? Clock::counter(DECODE_COUNTER_HZ, 1'000) : Clock::nanos(1'000);
  EventBatch batch(BATCH_CAPACITY, 1'000'000'007, 7);
  for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) {
    batch.slots()[i] = PackedEvent::pack(i * DECODE_TICKS_APART, make_word(KIND_START, i));
  }
  batch.set_size(BATCH_CAPACITY);
  const auto out = std::make_unique_for_overwrite<Event[]>(BATCH_CAPACITY);
  for (auto _ : state) {
    batch.decode_into(clock, out.get());
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.counters["per_event"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * BATCH_CAPACITY,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_DecodeBatch)->Name("decode_batch")->ArgName("counter_clock")->Arg(0)->Arg(1);
BENCHMARK(BM_RecordFastPath<false>)
    ->Name("record_fast_path/synthetic_tick")
    ->Setup(make_shared_queue)
    ->Teardown(drop_shared_queue)
    ->UseManualTime()
    ->Threads(1)
    ->Threads(2);
BENCHMARK(BM_RecordFastPath<true>)
    ->Name("record_fast_path/clock_read")
    ->Setup(make_shared_queue)
    ->Teardown(drop_shared_queue)
    ->UseManualTime()
    ->Threads(1)
    ->Threads(2);
BENCHMARK(BM_RecordWithRotation)
    ->Name("record_with_rotation/synthetic_tick")
    ->Setup(make_shared_queue)
    ->Teardown(drop_shared_queue)
    ->UseManualTime()
    ->Threads(1)
    ->Threads(2);
BENCHMARK(BM_SlowPathRotate)
    ->Name("slow_path_rotate_batch")
    ->Setup(make_shared_queue)
    ->Teardown(drop_shared_queue)
    ->UseManualTime();
BENCHMARK(BM_ReadCounter)->Name("clock/read_counter");
BENCHMARK(BM_ReadMonotonicNs)->Name("clock/read_monotonic_ns");
BENCHMARK(BM_ClockNowTicks)->Name("clock/now_ticks");
// Refilling the lists costs far more than draining them; a fixed count keeps
// the run short.
BENCHMARK(BM_DrainBatches)
    ->Name("drain_batches/4_threads_x_64_batches")
    ->ArgName("max_per_call")
    ->Arg(16)
    ->Arg(DRAIN_BATCHES)
    ->UseManualTime()
    ->Iterations(2000);

std::string kernel_clocksource() {
  std::ifstream f("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string name;
  if (!std::getline(f, name)) name = "unknown";
  return name;
}

void add_clock_context() {
  const CounterSource& src = counter_source();
  benchmark::AddCustomContext("fennik_clock_mode", mode_name(Clock::starting_now().mode));
  benchmark::AddCustomContext("fennik_counter_usable", src.usable ? "true" : "false");
  benchmark::AddCustomContext("fennik_counter_hz", std::to_string(src.hz));
  benchmark::AddCustomContext("fennik_counter_origin", *src.origin ? src.origin : "none");
  benchmark::AddCustomContext("kernel_clocksource", kernel_clocksource());
}

}  // namespace
}  // namespace fennik

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fennik::add_clock_context();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
