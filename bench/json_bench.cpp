// Throughput of the JSON trace-event exporter in the steady state: every code
// already has its template, batches of 1,024 events of one thread each, a mix
// of nested start/return pairs over a few hundred functions, written to a file
// under /tmp. Figures only; nothing here passes or fails on a timing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "event.hpp"
#include "fd.hpp"
#include "json_exporter.hpp"
#include "sink.hpp"

namespace fennik {
namespace {

constexpr std::uint32_t CODE_COUNT = 300;
constexpr std::size_t BATCHES_PER_THREAD = 64;
constexpr std::size_t MAX_DEPTH = 24;
// The output file is emptied (untimed) this often, so /tmp never fills.
constexpr std::size_t BATCHES_PER_TRUNCATION = 64;
constexpr const char* OUTPUT_PATH = "/tmp/fennik-json-bench.json";
// Same work without storage: rendering, the buffer copies and the write call.
constexpr const char* DISCARD_PATH = "/dev/null";

class BenchCodes : public CodeLookup {
 public:
  BenchCodes() {
    for (std::uint32_t i = 0; i < CODE_COUNT; ++i) {
      infos_.push_back(
          CodeInfo{"Handler" + std::to_string(i % 17) + ".process_item_" + std::to_string(i),
                   "/srv/app/.venv/lib/python3.14/site-packages/service/module_" +
                       std::to_string(i % 41) + ".py",
                   10 + 7 * i});
    }
  }
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    if (id >= infos_.size()) return std::nullopt;
    return infos_[id];
  }

 private:
  std::vector<CodeInfo> infos_;
};

class BenchThreads : public ThreadNames {
 public:
  std::optional<std::string> name(std::uint32_t) const override { return std::nullopt; }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override { return {}; }
};

// Nested start/return pairs of one thread, cut into full batches.
std::vector<std::vector<Event>> thread_batches(std::uint32_t tid, std::mt19937& rng) {
  std::vector<std::vector<Event>> batches;
  std::vector<std::uint32_t> stack;
  std::uint64_t ts = 1'000'000;
  std::vector<Event> current;
  while (batches.size() < BATCHES_PER_THREAD) {
    ts += 100 + rng() % 2000;
    if (stack.empty() || (stack.size() < MAX_DEPTH && rng() % 2 == 0)) {
      const std::uint32_t code = rng() % CODE_COUNT;
      stack.push_back(code);
      current.push_back({ts, tid, make_word(KIND_START, code)});
    } else {
      current.push_back({ts, tid, make_word(KIND_RETURN, stack.back())});
      stack.pop_back();
    }
    if (current.size() == BATCH_CAPACITY) {
      batches.push_back(std::move(current));
      current.clear();
    }
  }
  return batches;
}

std::uint64_t file_size(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void run_export(benchmark::State& state, const char* path) {
  const auto threads = static_cast<std::uint32_t>(state.range(0));
  std::mt19937 rng(42);
  // The pipeline hands batches over round-robin across threads.
  std::vector<std::vector<Event>> batches;
  {
    std::vector<std::vector<std::vector<Event>>> per_thread;
    for (std::uint32_t t = 0; t < threads; ++t) {
      per_thread.push_back(thread_batches(0x2A00'0000u + 4097 * t, rng));
    }
    for (std::size_t b = 0; b < BATCHES_PER_THREAD; ++b) {
      for (auto& mine : per_thread) batches.push_back(std::move(mine[b]));
    }
  }

  BenchCodes codes;
  BenchThreads names;
  // Bytes each batch renders to, measured once on a scratch file so that the
  // figure is the same whatever the sink.
  std::vector<std::uint64_t> batch_bytes;
  {
    auto scratch = JsonExporter::create(OUTPUT_PATH);
    if (!scratch) {
      state.SkipWithError(scratch.error().text().c_str());
      return;
    }
    const UniqueFd probe(::open(OUTPUT_PATH, O_RDONLY | O_CLOEXEC));
    std::uint64_t before = file_size(probe.get());
    for (const auto& batch : batches) {
      (void)scratch.value()->write_batch(batch, codes, names);
      const std::uint64_t after = file_size(probe.get());
      batch_bytes.push_back(after - before);
      before = after;
    }
  }

  auto created = JsonExporter::create(path);
  if (!created) {
    state.SkipWithError(created.error().text().c_str());
    return;
  }
  std::unique_ptr<JsonExporter> exporter = std::move(created).value();
  // Empties the output between timed stretches (a no-op on /dev/null).
  const UniqueFd truncator(::open(path, O_WRONLY | O_CLOEXEC));
  const int fd = truncator.get();
  // Every template is built before timing starts.
  for (const auto& batch : batches) (void)exporter->write_batch(batch, codes, names);
  (void)::ftruncate(fd, 0);

  std::uint64_t events = 0;
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  std::size_t since_truncation = 0;
  for (auto _ : state) {
    if (auto status = exporter->write_batch(batches[next], codes, names)) {
      state.SkipWithError(status->text().c_str());
      break;
    }
    events += batches[next].size();
    bytes += batch_bytes[next];
    next = next + 1 == batches.size() ? 0 : next + 1;
    if (++since_truncation == BATCHES_PER_TRUNCATION) {
      state.PauseTiming();
      (void)::ftruncate(fd, 0);
      since_truncation = 0;
      state.ResumeTiming();
    }
  }
  (void)exporter->finish(codes, names, RunStats{});
  exporter.reset();
  ::unlink(OUTPUT_PATH);

  state.counters["events/s"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
  state.counters["bytes/event"] =
      events == 0 ? 0.0 : static_cast<double>(bytes) / static_cast<double>(events);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_JsonExportToTmpFile(benchmark::State& state) {
  run_export(state, OUTPUT_PATH);
}
void BM_JsonExportToDevNull(benchmark::State& state) {
  run_export(state, DISCARD_PATH);
}
BENCHMARK(BM_JsonExportToTmpFile)->ArgName("threads")->DenseRange(1, 4)->UseRealTime();
BENCHMARK(BM_JsonExportToDevNull)->ArgName("threads")->DenseRange(1, 4)->UseRealTime();

}  // namespace
}  // namespace fennik

BENCHMARK_MAIN();
