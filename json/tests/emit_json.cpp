// Writes trace-event JSON files the way a traced program and its child
// processes do, for the Python decoding tests.
//
//   emit_json OUT PLAN
//
// PLAN holds one directive per line:
//   writers N            exporters, each in its own process (default 1)
//   mode create|append   the first writer creates the file, or every writer appends
//   batches B            full batches per thread and writer (default 2)
//   dropped D            lost-event count each writer reports at finish
//   seed S               seed of the generated call trees
//   code NAME FILE LINE  the next code id; NAME and FILE in hex, "-" when empty
//   thread TID NAME      a thread every writer records; NAME in hex, "-" unnamed
//
// Every writer prints "events PID COUNT" once it has finished.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fake_lookups.hpp"
#include "json_exporter.hpp"

namespace {

using fennik::CodeInfo;
using fennik::Event;
using fennik::JsonExporter;

struct Plan {
  int writers = 1;
  bool append_only = false;
  int batches = 2;
  std::uint64_t dropped = 0;
  std::uint64_t seed = 1;
  std::uint32_t code_count = 0;
  fennik::testing::FakeCodes codes;
  fennik::testing::FakeThreads names;
  std::vector<std::uint32_t> tids;
};

bool unhex(const std::string& hex, std::string& out) {
  out.clear();
  if (hex == "-") return true;
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool read_plan(const char* path, Plan& plan) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    if (key == "writers") {
      words >> plan.writers;
    } else if (key == "mode") {
      std::string mode;
      words >> mode;
      plan.append_only = mode == "append";
    } else if (key == "batches") {
      words >> plan.batches;
    } else if (key == "dropped") {
      words >> plan.dropped;
    } else if (key == "seed") {
      words >> plan.seed;
    } else if (key == "code") {
      std::string name, file;
      CodeInfo info;
      if (!(words >> name >> file >> info.first_line)) return false;
      if (!unhex(name, info.qualname) || !unhex(file, info.filename)) return false;
      plan.codes.add(plan.code_count++, std::move(info));
    } else if (key == "thread") {
      std::uint32_t tid;
      std::string name, text;
      if (!(words >> tid >> name) || !unhex(name, text)) return false;
      plan.tids.push_back(tid);
      if (name != "-") plan.names.add(tid, text);
    } else {
      return false;
    }
    if (words.fail()) return false;
  }
  return plan.writers >= 1 && !plan.tids.empty();
}

// One thread's well-nested call tree: every begin is closed by the end.
std::vector<Event> thread_events(const Plan& plan, std::uint32_t tid, std::mt19937_64& rng) {
  constexpr std::size_t MAX_DEPTH = 12;
  const std::uint32_t unknown = plan.code_count + 1000;  // never registered
  std::vector<Event> out;
  std::vector<std::uint32_t> stack;
  std::uint64_t ts = rng() % 1'000'000;
  auto emit = [&](std::uint8_t kind, std::uint32_t code) {
    ts += 1 + rng() % 5000;
    out.push_back({ts, tid, fennik::make_word(kind, code)});
  };
  auto chance = [&](unsigned percent) { return rng() % 100 < percent; };

  // Every registered code at least once, so a reader can check them all.
  for (std::uint32_t c = 0; c < plan.code_count; ++c) {
    emit(fennik::KIND_START, c);
    emit(fennik::KIND_RETURN, c);
  }
  const std::size_t target = static_cast<std::size_t>(plan.batches) * fennik::BATCH_CAPACITY;
  while (out.size() < target) {
    if (stack.empty() || (stack.size() < MAX_DEPTH && chance(50))) {
      const std::uint32_t code = plan.code_count == 0 || chance(5)
                                     ? unknown
                                     : static_cast<std::uint32_t>(rng() % plan.code_count);
      // Kind values the recorder never makes still open a frame.
      const std::uint8_t odd[] = {0, 7, 200};
      emit(chance(3) ? odd[rng() % 3] : fennik::KIND_START, code);
      stack.push_back(code);
    } else if (chance(20)) {
      // A generator suspends and is later resumed or thrown into.
      emit(fennik::KIND_YIELD, stack.back());
      emit(chance(50) ? fennik::KIND_RESUME : fennik::KIND_THROW, stack.back());
    } else {
      emit(chance(12) ? fennik::KIND_UNWIND : fennik::KIND_RETURN, stack.back());
      stack.pop_back();
    }
  }
  while (!stack.empty()) {
    emit(fennik::KIND_RETURN, stack.back());
    stack.pop_back();
  }
  return out;
}

std::unique_ptr<JsonExporter> open_writer(const std::string& path, bool create) {
  auto opened = create ? JsonExporter::create(path) : JsonExporter::append(path);
  if (!opened) {
    std::fprintf(stderr, "emit_json: open: %s\n", opened.error().text().c_str());
    return nullptr;
  }
  return std::move(opened).value();
}

int run_writer(const Plan& plan, std::unique_ptr<JsonExporter> exporter, int writer) {
  if (!exporter) return 1;
  std::mt19937_64 rng(plan.seed * 1000 + static_cast<std::uint64_t>(writer));
  std::vector<std::vector<Event>> per_thread;
  for (std::uint32_t tid : plan.tids) per_thread.push_back(thread_events(plan, tid, rng));

  // Batches of the threads interleave, as the serializer hands them over.
  std::size_t total = 0;
  for (std::size_t at = 0;; at += fennik::BATCH_CAPACITY) {
    bool any = false;
    for (const std::vector<Event>& events : per_thread) {
      if (at >= events.size()) continue;
      any = true;
      const std::size_t n = std::min<std::size_t>(fennik::BATCH_CAPACITY, events.size() - at);
      if (auto status = exporter->write_batch({events.data() + at, n}, plan.codes, plan.names)) {
        std::fprintf(stderr, "emit_json: write: %s\n", status->text().c_str());
        return 1;
      }
      total += n;
    }
    if (!any) break;
  }
  if (auto status = exporter->finish(plan.codes, plan.names, plan.dropped)) {
    std::fprintf(stderr, "emit_json: finish: %s\n", status->text().c_str());
    return 1;
  }
  std::printf("events %u %zu\n", exporter->pid(), total);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Plan plan;
  if (argc != 3 || !read_plan(argv[2], plan)) {
    std::fprintf(stderr, "usage: emit_json OUT PLAN\n");
    return 2;
  }
  const std::string path = argv[1];

  // The creating writer exists, bracket flushed, before any child appends.
  std::unique_ptr<JsonExporter> first;
  if (!plan.append_only && !(first = open_writer(path, true))) return 1;

  std::vector<pid_t> children;
  for (int w = 1; w < plan.writers; ++w) {
    const pid_t child = ::fork();
    if (child < 0) {
      std::perror("emit_json: fork");
      return 1;
    }
    if (child == 0) ::_exit(run_writer(plan, open_writer(path, false), w));
    children.push_back(child);
  }
  if (!first) first = open_writer(path, false);
  int failed = run_writer(plan, std::move(first), 0);
  for (pid_t child : children) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      failed = 1;
    }
  }
  return failed;
}
