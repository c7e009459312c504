// Streaming end to end: producer threads record into a session queue, the
// pipeline drains it, and an exporter writes a file on local disk
// (the current directory; FENNIK_BENCH_DIR overrides). One iteration is one
// whole session, from the first event to finish.
//
// Producers either record flat out (past the buffer budget, the exporter's
// throughput bounds what gets through; the rest is counted as dropped) or pay a fixed cost per
// event first, standing in for the traced program's own work between events.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "evqueue.hpp"
#include "json_exporter.hpp"
#include "output.hpp"
#include "pipeline.hpp"
#include "proto_exporter.hpp"
#include "sink.hpp"

namespace fennik {
namespace {

constexpr std::uint32_t CODE_COUNT = 300;
constexpr std::uint32_t EVENTS_PER_PRODUCER = 2'000'000;

class BenchNames : public CodeLookup, public ThreadNames {
 public:
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    return CodeInfo{"module.function_" + std::to_string(id), "/srv/app/module.py", id + 1};
  }
  std::optional<std::string> name(std::uint32_t tid) const override {
    return "worker-" + std::to_string(tid);
  }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override { return {}; }
};

std::string output_path(const char* ext) {
  const char* dir = std::getenv("FENNIK_BENCH_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/fennik-pipeline-bench." + ext;
}

std::unique_ptr<Exporter> make_exporter(int format) {
  if (format == 0) {
    auto r = JsonExporter::create(output_path("json"));
    return r.ok() ? std::unique_ptr<Exporter>(std::move(r).value()) : nullptr;
  }
  auto file = SharedFile::open(output_path("pb"), true);
  if (!file.ok()) return nullptr;
  return std::make_unique<ProtoExporter>(std::move(file).value());
}

// Nested start/return pairs over a few hundred functions, on the session clock.
void produce(EventQueue& q, std::uint32_t tid, std::uint32_t events, std::uint32_t spin_ns) {
  HOT.tid.store(tid);
  std::uint32_t depth = 0;
  for (std::uint32_t n = 0; n < events; ++n) {
    if (spin_ns != 0) {
      const std::uint64_t until = q.clock.ns_from_ticks(q.clock.now_ticks()) + spin_ns;
      while (q.clock.ns_from_ticks(q.clock.now_ticks()) < until) {
      }
    }
    const bool open = depth == 0 || (depth < 20 && (n * 2654435761u) % 3 != 0);
    const std::uint32_t code = (n * 7 + tid) % CODE_COUNT;
    record(q, q.clock.now_ticks(), make_word(open ? KIND_START : KIND_RETURN, code));
    depth += open ? 1 : -1;
  }
}

void BM_StreamingSession(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  const auto producers = static_cast<std::uint32_t>(state.range(1));
  const auto spin_ns = static_cast<std::uint32_t>(state.range(2));
  const std::uint32_t events = spin_ns == 0 ? EVENTS_PER_PRODUCER : EVENTS_PER_PRODUCER / 8;
  auto names = std::make_shared<BenchNames>();
  std::uint64_t recorded = 0, dropped = 0, last_dropped = 0;
  for (auto _ : state) {
    auto exporter = make_exporter(format);
    if (!exporter) {
      state.SkipWithError("cannot open the output file");
      return;
    }
    auto q = EventQueue::create(Clock::starting_now());
    auto done = std::async(std::launch::async, run_pipeline, q, names, names, std::move(exporter));
    std::vector<std::thread> threads;
    for (std::uint32_t t = 1; t <= producers; ++t) {
      // Each thread's exit hands its partial batch on (or counts it).
      threads.emplace_back([&, t] { produce(*q, t, events, spin_ns); });
    }
    for (auto& t : threads) t.join();
    q->close();
    if (IoStatus err = done.get()) {
      state.SkipWithError(err->text());
      return;
    }
    recorded += std::uint64_t{producers} * events;
    last_dropped = q->dropped.load();
    dropped += last_dropped;
  }
  // The file holds the last session's output.
  std::uint64_t bytes = 0;
  if (FILE* f = std::fopen(output_path(format == 0 ? "json" : "pb").c_str(), "rb")) {
    std::fseek(f, 0, SEEK_END);
    bytes = static_cast<std::uint64_t>(std::ftell(f));
    std::fclose(f);
  }
  const std::uint64_t written = std::uint64_t{producers} * events - last_dropped;
  state.SetItemsProcessed(static_cast<std::int64_t>(recorded - dropped));
  state.counters["dropped_pct"] =
      recorded ? 100.0 * static_cast<double>(dropped) / static_cast<double>(recorded) : 0;
  state.counters["bytes_per_event"] =
      written ? static_cast<double>(bytes) / static_cast<double>(written) : 0;
}

BENCHMARK(BM_StreamingSession)
    ->ArgNames({"format(0=json,1=pb)", "producers", "spin_ns"})
    ->Args({0, 1, 0})
    ->Args({1, 1, 0})
    ->Args({1, 2, 0})
    ->Args({0, 1, 100})
    ->Args({1, 1, 100})
    ->Args({1, 2, 100})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace fennik

BENCHMARK_MAIN();
