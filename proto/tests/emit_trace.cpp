// Writes a Perfetto trace for one fixed scenario, for the schema-based decoder
// test, and prints the scenario's input (events, names, ids) as JSON so that
// the test can compare the decoded trace with what went in.
//
//   emit_trace SCENARIO PATH
//
// Scenarios: nested, threads, unknown, dropped, dropped-only, lifecycle (each
// truncates PATH and writes with sequence base 0), and append (appends to PATH
// with this process's id as sequence base, as a traced child process does).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fake_lookups.hpp"
#include "proto_exporter.hpp"

namespace {

using fennik::CodeInfo;
using fennik::Event;
using fennik::IoStatus;

// Codes whose ids can pass to other codes, as the interner reuses them.
struct ReusingCodes : fennik::testing::FakeCodes {
  std::uint64_t generation = 0;
  std::uint64_t reuse_generation() const override { return generation; }
};

// Between batches: a thread ends, a code id passes to another code, or a
// thread id gets a (new) name.
struct Step {
  std::size_t before_batch;
  char what;  // 'e' end thread, 'c' code, 'n' name
  std::uint32_t id;
  std::string name;
};

struct Scenario {
  ReusingCodes codes;
  fennik::testing::FakeThreads threads;
  std::vector<Step> steps;
  std::vector<std::pair<std::uint32_t, CodeInfo>> code_list;
  std::vector<std::pair<std::uint32_t, std::string>> thread_list;
  std::vector<std::vector<Event>> batches;
  std::uint64_t dropped = 0;
  std::uint32_t base = 0;
  bool append = false;

  void code(std::uint32_t id, std::string qualname, std::string file, std::uint32_t line) {
    CodeInfo info{std::move(qualname), std::move(file), line};
    codes.add(id, info);
    code_list.emplace_back(id, std::move(info));
  }
  void thread(std::uint32_t tid, std::string name) {
    threads.add(tid, name);
    thread_list.emplace_back(tid, std::move(name));
  }
};

// Builds one thread's event history and cuts it into batches.
class History {
 public:
  History(std::uint32_t tid, std::uint64_t ts) : tid_(tid), ts_(ts) {}
  void add(std::uint8_t kind, std::uint32_t code, std::uint64_t step = 1'000) {
    events_.push_back(Event{ts_, tid_, fennik::make_word(kind, code)});
    ts_ += step;
  }
  void call(std::uint32_t code) {
    add(fennik::KIND_START, code);
    add(fennik::KIND_RETURN, code);
  }
  std::vector<std::vector<Event>> batches(std::size_t size) const {
    std::vector<std::vector<Event>> out;
    for (std::size_t i = 0; i < events_.size(); i += size) {
      const std::size_t n = std::min(size, events_.size() - i);
      out.emplace_back(events_.begin() + static_cast<std::ptrdiff_t>(i),
                       events_.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    return out;
  }

 private:
  std::uint32_t tid_;
  std::uint64_t ts_;
  std::vector<Event> events_;
};

void common_codes(Scenario& s) {
  s.code(1, "main", "/app/main.py", 1);
  s.code(2, "Outer.method", "/app/main.py", 10);
  s.code(3, "helper", "/app/lib/util.py", 42);
  s.code(4, "gen", "/app/main.py", 30);
}

// One thread, deep and repeated nesting with every kind, several batches,
// timestamps from 0 to past 2^40.
void nested(Scenario& s) {
  common_codes(s);
  s.thread(101, "MainThread");
  History h(101, 0);
  h.add(fennik::KIND_START, 1);
  for (int i = 0; i < 700; ++i) {
    h.add(fennik::KIND_START, 2);
    h.call(3);
    h.add(fennik::KIND_START, 4);
    h.add(fennik::KIND_YIELD, 4);
    h.add(fennik::KIND_RESUME, 4);
    h.add(fennik::KIND_YIELD, 4);
    h.add(fennik::KIND_THROW, 4);
    h.add(fennik::KIND_UNWIND, 4);
    h.add(fennik::KIND_START, 3);
    h.add(fennik::KIND_UNWIND, 3, i == 350 ? (std::uint64_t{1} << 40) : 1'000);
    h.add(fennik::KIND_RETURN, 2);
  }
  h.add(fennik::KIND_RETURN, 1);
  s.batches = h.batches(fennik::BATCH_CAPACITY);
}

// Several named threads and one unnamed, batches interleaved.
void threads(Scenario& s, std::uint32_t first_tid) {
  common_codes(s);
  std::vector<std::vector<std::vector<Event>>> per_thread;
  for (std::uint32_t i = 0; i < 4; ++i) {
    const std::uint32_t tid = first_tid + i;
    if (i != 2) s.thread(tid, "worker-" + std::to_string(i + 1));
    History h(tid, 500 * i);
    for (int j = 0; j < 150; ++j) {
      h.add(fennik::KIND_START, 1 + (i + static_cast<std::uint32_t>(j)) % 2);
      h.call(3);
      h.call(4);
      h.add(fennik::KIND_RETURN, 1 + (i + static_cast<std::uint32_t>(j)) % 2);
    }
    per_thread.push_back(h.batches(100));
  }
  for (std::size_t round = 0;; ++round) {
    bool any = false;
    for (const auto& batches : per_thread) {
      if (round < batches.size()) {
        s.batches.push_back(batches[round]);
        any = true;
      }
    }
    if (!any) break;
  }
}

// Codes the lookup does not know, and kinds outside the named six.
void unknown(Scenario& s) {
  common_codes(s);
  s.thread(301, "MainThread");
  History h(301, 7);
  h.add(fennik::KIND_START, 1);
  h.call(99);
  h.add(fennik::KIND_START, 99);
  h.call(3);
  h.add(7, 98);  // an unknown kind opens a slice
  h.add(fennik::KIND_RETURN, 98);
  h.add(0, 3);
  h.add(fennik::KIND_YIELD, 3);
  h.add(fennik::KIND_RETURN, 99);
  h.call(99);
  h.add(fennik::KIND_RETURN, 1);
  s.batches = h.batches(5);
}

// Threads that end, some with slices open, ids that come back with new names,
// more threads alive at once than one block of sequence ids holds, and a
// code id that passes to another code in between.
void lifecycle(Scenario& s) {
  common_codes(s);
  constexpr std::uint32_t LIVE = 200;
  constexpr std::uint32_t FIRST_TID = 1000;
  constexpr std::uint32_t LONG_LIVED = 7;  // sees code 3 before and after it changes
  History survivor(LONG_LIVED, 5);
  survivor.call(3);
  s.batches.push_back(survivor.batches(fennik::BATCH_CAPACITY).front());
  for (std::uint32_t i = 0; i < LIVE; ++i) {
    const std::uint32_t tid = FIRST_TID + i;
    s.thread(tid, "first-" + std::to_string(i));
    History h(tid, 10 * i);
    h.add(fennik::KIND_START, 1);
    h.call(2);
    h.add(fennik::KIND_START, 3);  // left open by the thread's end
    s.batches.push_back(h.batches(fennik::BATCH_CAPACITY).front());
  }
  auto step = [&](char what, std::uint32_t id, std::string name) {
    s.steps.push_back(Step{s.batches.size(), what, id, std::move(name)});
  };
  step('e', 1, "");  // a thread never seen
  step('c', 3, "reborn");
  History after(LONG_LIVED, 90'000);
  after.call(3);
  s.batches.push_back(after.batches(fennik::BATCH_CAPACITY).front());
  for (std::uint32_t i = 0; i < LIVE; ++i) step('e', FIRST_TID + i, "");
  for (std::uint32_t i = 0; i < 10; ++i) {
    const std::uint32_t tid = FIRST_TID + 5 * i;
    if (i % 2 == 0) step('n', tid, "second-" + std::to_string(i));
    History h(tid, 100'000 + 10 * i);
    h.call(3);
    h.add(fennik::KIND_START, 2);
    s.batches.push_back(h.batches(fennik::BATCH_CAPACITY).front());
    step('e', tid, "");
  }
}

void put_json_string(std::string_view text) {
  // Scenario names hold no characters that need escaping.
  std::printf("\"%.*s\"", static_cast<int>(text.size()), text.data());
}

void print_scenario(const Scenario& s, const fennik::ProtoExporter& ex) {
  std::printf("{\"pid\": %u, \"base\": %u, \"process_sequence_id\": %u, \"dropped\": %llu,\n",
              ex.pid(), s.base, ex.process_sequence_id(),
              static_cast<unsigned long long>(s.dropped));
  std::printf(" \"codes\": {");
  const char* sep = "";
  for (const auto& [id, info] : s.code_list) {
    std::printf("%s\"%u\": [", sep, id);
    put_json_string(info.qualname);
    std::printf(", ");
    put_json_string(info.filename);
    std::printf(", %u]", info.first_line);
    sep = ", ";
  }
  std::printf("},\n \"threads\": {");
  sep = "";
  for (const auto& [tid, name] : s.thread_list) {
    std::printf("%s\"%u\": ", sep, tid);
    put_json_string(name);
    sep = ", ";
  }
  std::printf("},\n \"batches\": [");
  sep = "";
  for (const auto& batch : s.batches) {
    std::printf("%s[", sep);
    const char* esep = "";
    for (const Event& e : batch) {
      std::printf("%s[%llu, %u, %u, %u]", esep, static_cast<unsigned long long>(e.ts_ns), e.tid,
                  fennik::word_kind(e.code_kind), fennik::word_code(e.code_kind));
      esep = ", ";
    }
    std::printf("]");
    sep = ",\n  ";
  }
  std::printf("],\n \"steps\": [");
  sep = "";
  for (const Step& st : s.steps) {
    std::printf("%s[%zu, \"%c\", %u, ", sep, st.before_batch, st.what, st.id);
    put_json_string(st.name);
    std::printf("]");
    sep = ", ";
  }
  std::printf("]}\n");
}

int fail(const char* what, const fennik::IoError& e) {
  std::fprintf(stderr, "emit_trace: %s: %s\n", what, e.text().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: emit_trace SCENARIO PATH\n");
    return 2;
  }
  const std::string_view name = argv[1];
  Scenario s;
  if (name == "nested") {
    nested(s);
  } else if (name == "threads") {
    threads(s, 201);
  } else if (name == "unknown") {
    unknown(s);
  } else if (name == "dropped") {
    nested(s);
    s.batches.resize(1);
    s.dropped = 7;
  } else if (name == "dropped-only") {
    s.dropped = 3;
  } else if (name == "lifecycle") {
    lifecycle(s);
  } else if (name == "append") {
    threads(s, 401);
    s.append = true;
    s.base = static_cast<std::uint32_t>(::getpid());
  } else {
    std::fprintf(stderr, "emit_trace: unknown scenario %s\n", argv[1]);
    return 2;
  }

  auto file = fennik::SharedFile::open(argv[2], !s.append);
  if (!file) return fail("open", file.error());
  fennik::ProtoExporter ex(std::move(file).value());
  ex.set_sequence_base(s.base);
  std::size_t next_step = 0;
  for (std::size_t i = 0; i <= s.batches.size(); ++i) {
    for (; next_step < s.steps.size() && s.steps[next_step].before_batch == i; ++next_step) {
      const Step& st = s.steps[next_step];
      if (st.what == 'e') {
        if (const IoStatus e = ex.end_thread(st.id, s.codes, s.threads)) return fail("end", *e);
      } else if (st.what == 'c') {
        s.codes.add(st.id, CodeInfo{st.name, "/app/reborn.py", 7});
        ++s.codes.generation;
      } else {
        s.threads.add(st.id, st.name);
      }
    }
    if (i == s.batches.size()) break;
    if (const IoStatus st = ex.write_batch(s.batches[i], s.codes, s.threads)) {
      return fail("write", *st);
    }
  }
  if (const IoStatus st = ex.finish(s.codes, s.threads, s.dropped)) return fail("finish", *st);
  print_scenario(s, ex);
  return 0;
}
