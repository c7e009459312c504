// Throughput of the Perfetto exporter: events per second and bytes per event,
// in the steady state (every tail cached) and from a cold start (every thread
// and code new). Output goes to /dev/null; bytes per event are measured once
// on a file. Figures only; nothing here passes or fails on a timing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_lookups.hpp"
#include "proto_exporter.hpp"

namespace fennik {
namespace {

using testing::FakeCodes;
using testing::FakeThreads;
using Batches = std::vector<std::vector<Event>>;

constexpr std::uint32_t FIRST_TID = 1000;
// Nanoseconds between consecutive events of a thread: a few microseconds,
// as in a Python program, so timestamps take their usual 4 to 6 bytes.
constexpr std::uint64_t EVENT_SPACING_NS = 2'500;
constexpr std::uint32_t CALL_DEPTH = 4;

SharedFile dev_null() {
  return SharedFile::adopt(UniqueFd(::open("/dev/null", O_WRONLY | O_APPEND | O_CLOEXEC)));
}

FakeCodes make_codes(std::uint32_t count) {
  FakeCodes codes;
  for (std::uint32_t id = 0; id < count; ++id) {
    codes.add(
        id, CodeInfo{"module.Class.method_" + std::to_string(id),
                     "/usr/lib/python3.14/site-packages/pkg/mod_" + std::to_string(id % 50) + ".py",
                     10 + id});
  }
  return codes;
}

FakeThreads make_threads(std::uint32_t count) {
  FakeThreads threads;
  for (std::uint32_t i = 0; i < count; ++i) {
    threads.add(FIRST_TID + i, "worker-" + std::to_string(i));
  }
  return threads;
}

// Full batches of nested start/return pairs over `codes` code ids, starting
// at `first_code`, round-robin over `threads` threads.
Batches make_batches(std::uint32_t threads, std::uint32_t first_code, std::uint32_t codes,
                     std::uint32_t batches_per_thread) {
  Batches out;
  std::vector<std::uint64_t> ts(threads, 1'000'000);
  std::vector<std::uint32_t> next(threads, 0);
  for (std::uint32_t b = 0; b < batches_per_thread; ++b) {
    for (std::uint32_t t = 0; t < threads; ++t) {
      std::vector<Event> batch;
      batch.reserve(BATCH_CAPACITY);
      while (batch.size() + 2 * CALL_DEPTH <= BATCH_CAPACITY) {
        std::uint32_t stack[CALL_DEPTH];
        for (std::uint32_t d = 0; d < CALL_DEPTH; ++d) {
          stack[d] = first_code + next[t]++ % codes;
          batch.push_back(
              Event{ts[t] += EVENT_SPACING_NS, FIRST_TID + t, make_word(KIND_START, stack[d])});
        }
        for (std::uint32_t d = CALL_DEPTH; d-- > 0;) {
          batch.push_back(
              Event{ts[t] += EVENT_SPACING_NS, FIRST_TID + t, make_word(KIND_RETURN, stack[d])});
        }
      }
      out.push_back(std::move(batch));
    }
  }
  return out;
}

// Full batches of one thread running a recursive fib(n) over and over: the
// call tree's irregular run of starts and returns, events FIB_SPACING_NS
// apart, as a traced Python program records them.
constexpr std::uint64_t FIB_SPACING_NS = 40;
constexpr std::uint32_t FIB_N = 20;
void fib_events(std::vector<Event>& out, std::uint64_t& ts, std::uint32_t n) {
  out.push_back(Event{ts += FIB_SPACING_NS, FIRST_TID, make_word(KIND_START, 0)});
  if (n >= 2) {
    fib_events(out, ts, n - 1);
    fib_events(out, ts, n - 2);
  }
  out.push_back(Event{ts += FIB_SPACING_NS, FIRST_TID, make_word(KIND_RETURN, 0)});
}
Batches make_fib_batches() {
  std::vector<Event> all;
  std::uint64_t ts = 1'000'000;
  fib_events(all, ts, FIB_N);
  Batches out;
  for (std::size_t i = 0; i + BATCH_CAPACITY <= all.size(); i += BATCH_CAPACITY) {
    out.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(i),
                     all.begin() + static_cast<std::ptrdiff_t>(i + BATCH_CAPACITY));
  }
  return out;
}

std::size_t event_count(const Batches& batches) {
  std::size_t n = 0;
  for (const auto& b : batches) n += b.size();
  return n;
}

// Size of a file that one exporter wrote `first` (if any) and then `then`
// to; the exporter is gone, so everything it buffered is in the file.
std::int64_t written_bytes(const Batches* first, const Batches* then, const FakeCodes& codes,
                           const FakeThreads& threads) {
  char path[] = "/tmp/fennik-proto-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return 0;
  ::close(fd);
  if (auto file = SharedFile::open(path, true)) {
    ProtoExporter ex(std::move(file).value());
    for (const Batches* batches : {first, then}) {
      if (batches == nullptr) continue;
      for (const auto& b : *batches) (void)ex.write_batch(b, codes, threads);
    }
  }
  struct stat st{};
  ::stat(path, &st);
  ::unlink(path);
  return st.st_size;
}

// Bytes one pass over `batches` adds to a file, after `warm` (if any) has
// been written by the same exporter.
double bytes_per_event(const Batches* warm, const Batches& batches, const FakeCodes& codes,
                       const FakeThreads& threads) {
  const std::int64_t base = warm ? written_bytes(warm, nullptr, codes, threads) : 0;
  const std::int64_t all = written_bytes(warm, &batches, codes, threads);
  return static_cast<double>(all - base) / static_cast<double>(event_count(batches));
}

// Every (thread, code) tail is cached: the per-event cost of a long session.
void steady_state(benchmark::State& state) {
  const auto threads = static_cast<std::uint32_t>(state.range(0));
  const auto ncodes = static_cast<std::uint32_t>(state.range(1));
  const FakeCodes codes = make_codes(ncodes);
  const FakeThreads names = make_threads(threads);
  const Batches batches = ncodes == 1 ? make_fib_batches() : make_batches(threads, 0, ncodes, 16);

  ProtoExporter ex(dev_null());
  for (const auto& b : batches) (void)ex.write_batch(b, codes, names);  // warm every tail
  for (auto _ : state) {
    for (const auto& b : batches) {
      if (ex.write_batch(b, codes, names)) state.SkipWithError("write failed");
    }
  }
  const auto events = static_cast<double>(event_count(batches));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(events));
  state.counters["ns_per_event"] =
      benchmark::Counter(events * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bytes_per_event"] = bytes_per_event(&batches, batches, codes, names);
}
BENCHMARK(steady_state)
    ->ArgNames({"threads", "codes"})
    ->Args({1, 1})
    ->Args({1, 300})
    ->Args({4, 300})
    ->Args({4, 5000});

// A fresh exporter meets only new threads and new codes: every thread gets a
// descriptor, every (thread, code) an interning packet and two tails.
void cold_start(benchmark::State& state) {
  const auto threads = static_cast<std::uint32_t>(state.range(0));
  const auto codes_per_thread = static_cast<std::uint32_t>(state.range(1));
  const FakeCodes codes = make_codes(threads * codes_per_thread);
  const FakeThreads names = make_threads(threads);
  // One batch per thread, each thread on its own codes, each code used once
  // (start and return) so that none of its tails is reused.
  Batches batches;
  for (std::uint32_t t = 0; t < threads; ++t) {
    std::vector<Event> batch;
    for (std::uint32_t c = 0; c < codes_per_thread; ++c) {
      const std::uint32_t code = t * codes_per_thread + c;
      batch.push_back(Event{2 * c, FIRST_TID + t, make_word(KIND_START, code)});
      batch.push_back(Event{2 * c + 1, FIRST_TID + t, make_word(KIND_RETURN, code)});
    }
    batches.push_back(std::move(batch));
  }

  for (auto _ : state) {
    ProtoExporter ex(dev_null());
    for (const auto& b : batches) {
      if (ex.write_batch(b, codes, names)) state.SkipWithError("write failed");
    }
  }
  const auto events = static_cast<double>(event_count(batches));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(events));
  state.counters["ns_per_event"] =
      benchmark::Counter(events * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bytes_per_event"] = bytes_per_event(nullptr, batches, codes, names);
}
BENCHMARK(cold_start)->ArgNames({"threads", "codes_per_thread"})->Args({64, 256})->Args({512, 32});

}  // namespace
}  // namespace fennik

BENCHMARK_MAIN();
