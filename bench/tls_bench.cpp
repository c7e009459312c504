// The recording step inside a dlopen-ed library, the extension module's
// situation, once per way of reaching HOT: TLS descriptors with the module's
// block in static TLS and, 4 KB bigger, outside it; initial-exec; and on
// x86-64, where descriptors are opt-in, the plain global-dynamic model.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Events per call into the library; the call itself is noise at this count.
constexpr std::uint64_t EVENTS_PER_CALL = 64 * 1024;

using RecordFn = std::uint64_t (*)(std::uint64_t) noexcept;
using ModelFn = const char* (*)() noexcept;

struct Probe {
  std::string model;
  RecordFn record;
};

template <class Fn>
Fn symbol(void* lib, const char* path, const char* name) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    std::fprintf(stderr, "tls_bench: %s has no %s\n", path, name);
    std::exit(1);
  }
  return reinterpret_cast<Fn>(sym);
}

// Each library keeps its own copy of the core: RTLD_LOCAL, and this binary
// does not link the core itself.
Probe load(const char* path) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "tls_bench: %s\n", dlerror());
    std::exit(1);
  }
  return {symbol<ModelFn>(lib, path, "fennik_probe_tls_model")(),
          symbol<RecordFn>(lib, path, "fennik_probe_record")};
}

void BM_RecordInLibrary(benchmark::State& state, const Probe* probe) {
  std::uint64_t dropped = 0;
  std::uint64_t events = 0;
  for (auto _ : state) {
    dropped = probe->record(EVENTS_PER_CALL);
    events += EVENTS_PER_CALL;
  }
  if (dropped != 0) state.SkipWithError("events were dropped: the buffer budget ran out");
  state.SetItemsProcessed(static_cast<std::int64_t>(events));
  state.counters["per_event"] = benchmark::Counter(
      static_cast<double>(events), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  static std::vector<Probe> probes;
  for (const char* path : {FENNIK_TLS_PROBES}) probes.push_back(load(path));
  for (const Probe& p : probes) {
    benchmark::RegisterBenchmark("record_in_dlopened_library/tls=" + p.model, BM_RecordInLibrary,
                                 &p);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
