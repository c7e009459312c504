// `fennik report` on a large Perfetto trace: events read per second on one
// core, and the peak resident memory of a report of the trace and of a trace
// twice its size (it should grow with functions and stack depth, not with the
// file). Figures only; nothing here passes or fails on a timing.
//
//   report_bench [MILLION_EVENTS] [DIR]    (defaults: 20, /tmp)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "fake_lookups.hpp"
#include "proto_exporter.hpp"
#include "report.hpp"

namespace {

using namespace fennik;

constexpr std::uint32_t THREADS = 8;
constexpr std::uint32_t CODES = 2000;
constexpr std::uint32_t MAX_DEPTH = 40;
constexpr std::uint64_t EVENT_SPACING_NS = 2'500;  // a few microseconds, as in Python
constexpr double MILLION = 1e6;

// Calls nested 1 to MAX_DEPTH deep, a recursive chain among them, over CODES
// functions, round-robin over the threads in full batches.
bool write_trace(const std::string& path, std::uint64_t events) {
  auto file = SharedFile::open(path, true);
  if (!file) return false;
  ProtoExporter ex(std::move(file).value());
  testing::FakeCodes codes;
  testing::FakeThreads threads;
  for (std::uint32_t id = 0; id < CODES; ++id) {
    codes.add(id,
              CodeInfo{"pkg.mod_" + std::to_string(id % 50) + ".Class.method_" + std::to_string(id),
                       "/srv/app/pkg/mod_" + std::to_string(id % 50) + ".py", 10 + id});
  }
  for (std::uint32_t t = 0; t < THREADS; ++t) threads.add(t + 1, "worker-" + std::to_string(t));
  std::vector<std::uint64_t> ts(THREADS, 1'000'000);
  std::uint64_t written = 0, round = 0;
  std::vector<Event> batch;
  while (written < events) {
    const std::uint32_t tid = static_cast<std::uint32_t>(round % THREADS) + 1;
    batch.clear();
    while (batch.size() + 2 * MAX_DEPTH <= BATCH_CAPACITY) {
      const auto depth = static_cast<std::uint32_t>(1 + (round * 7 + batch.size()) % MAX_DEPTH);
      std::uint32_t stack[MAX_DEPTH];
      for (std::uint32_t d = 0; d < depth; ++d) {
        stack[d] = d % 4 == 3 ? stack[d - 1] : static_cast<std::uint32_t>((round + d * 31) % CODES);
        batch.push_back(
            Event{ts[tid - 1] += EVENT_SPACING_NS, tid, make_word(KIND_START, stack[d])});
      }
      for (std::uint32_t d = depth; d-- > 0;) {
        batch.push_back(
            Event{ts[tid - 1] += EVENT_SPACING_NS, tid, make_word(KIND_RETURN, stack[d])});
      }
    }
    if (ex.write_batch(batch, codes, threads)) return false;
    written += batch.size();
    ++round;
  }
  return !ex.finish(codes, threads, RunStats{});
}

double cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(line.find(':') + 1));
  }
  return 0;
}

// Starts the peak resident size afresh from the current one.
void reset_peak_rss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace

int main(int argc, char** argv) {
  const double millions = argc > 1 ? std::stod(argv[1]) : 20;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  for (const double share : {0.5, 1.0}) {
    const auto events = static_cast<std::uint64_t>(millions * share * MILLION);
    const std::string path = dir + "/fennik-report-bench.pb";
    if (!write_trace(path, events)) {
      std::fprintf(stderr, "report_bench: cannot write %s\n", path.c_str());
      return 1;
    }
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const auto bytes = static_cast<double>(f.tellg());
    report::ReportOptions options;
    options.raw = true;
    reset_peak_rss();
    const long before = peak_rss_kib();
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    const report::ReportResult r = report::make_report(path, options);
    const double cpu = cpu_seconds() - cpu_start;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ::unlink(path.c_str());
    if (r.status != 0) {
      std::fprintf(stderr, "report_bench: %s\n", r.error.c_str());
      return 1;
    }
    // On a busy machine the wall time counts other processes' turns: the
    // figures per second are of this thread's own CPU time.
    std::printf(
        "%6.1f M events, %7.1f MB: report in %6.2f s (%6.2f s CPU), %6.1f M events/s, "
        "%6.1f MB/s, peak RSS %ld KiB (%ld KiB over the start)\n",
        static_cast<double>(events) / MILLION, bytes / MILLION, took.count(), cpu,
        static_cast<double>(events) / MILLION / cpu, bytes / MILLION / cpu, peak_rss_kib(),
        peak_rss_kib() - before);
  }
  return 0;
}
