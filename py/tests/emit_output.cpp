// Writes one output file from an event script through Format::open, for the
// Python tests that read it back with independent decoders.
//
//   emit_output FORMAT OUT WRITER_TAG APPEND(0|1) < SCRIPT
//
// Script lines (names in hex, "-" when empty):
//   c ID LINE NAME FILE        a code the lookup knows
//   t TID NAME                 a thread's name
//   b TID TS KIND CODE ...     one batch of events of thread TID
//   g TID TS COUNT             thread TID lost COUNT events from TS on
//   p TID TS                   a pause began at TS: what TID has open ends there
//   e TID                      thread TID has ended (its name goes with it)
//   d N PEAK                   the dropped count and peak buffered bytes for finish
//   m NS                       first: calls shorter than NS are left out
// Prints the writer's process id and its peak resident size in KiB (0 where
// the system does not tell).
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_lookups.hpp"
#include "format.hpp"
#include "short_calls.hpp"

namespace {

std::string unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The peak resident size of this program alone: not getrusage's, which can
// carry over the peak of the process that started it.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(line.find(':') + 1));
  }
  return 0;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "emit_output: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return fail("usage: emit_output FORMAT OUT WRITER_TAG APPEND < SCRIPT");
  const auto format = fennik::Format::parse(argv[1]);
  if (!std::holds_alternative<fennik::Format>(format)) return fail(std::get<std::string>(format));
  auto opened = fennik::Format::open(std::get<fennik::Format>(format), argv[2],
                                     static_cast<std::uint32_t>(std::stoul(argv[3])),
                                     std::string(argv[4]) == "1");
  if (!opened.ok()) return fail(opened.error().text());
  std::unique_ptr<fennik::Exporter> owned = std::move(opened).value();
  fennik::testing::FakeCodes codes;
  fennik::testing::FakeThreads threads;
  fennik::RunStats stats;
  std::string line;
  fennik::IoStatus error;
  while (std::getline(std::cin, line)) {
    fennik::Exporter& exporter = *owned;
    std::istringstream in(line);
    std::string key, name, file;
    std::uint32_t id = 0, first_line = 0;
    in >> key;
    if (key == "c" && in >> id >> first_line >> name >> file) {
      codes.add(id, {unhex(name), unhex(file), first_line});
    } else if (key == "t" && in >> id >> name) {
      threads.add(id, unhex(name));
    } else if (key == "e" && in >> id) {
      error = exporter.end_thread(id, codes, threads);
      threads.retire(id, 0);
    } else if (std::uint64_t at = 0, count = 0; key == "g" && in >> id >> at >> count) {
      error = exporter.write_gap(id, at, count, codes, threads);
    } else if (std::uint64_t pause_at = 0; key == "p" && in >> id >> pause_at) {
      error = exporter.end_open_at(id, pause_at, codes, threads);
    } else if (key == "d" && in >> stats.dropped >> stats.peak_buffered_bytes) {
    } else if (std::uint64_t ns = 0; key == "m" && in >> ns) {
      owned = std::make_unique<fennik::ShortCallFilter>(std::move(owned), ns);
    } else if (key == "b" && in >> id) {
      std::vector<fennik::Event> batch;
      std::uint64_t ts = 0;
      for (std::uint32_t kind = 0, code = 0; in >> ts >> kind >> code;) {
        batch.push_back({ts, id, fennik::make_word(static_cast<std::uint8_t>(kind), code)});
      }
      error = exporter.write_batch(batch, codes, threads);
    } else {
      return fail("cannot parse: " + line);
    }
    if (error) return fail(error->text());
  }
  if (const fennik::IoStatus st = owned->finish(codes, threads, stats)) return fail(st->text());
  std::printf("%d %ld\n", static_cast<int>(::getpid()), peak_rss_kib());
  return 0;
}
