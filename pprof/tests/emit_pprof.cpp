// Writes a profile from an event script, for readers outside this codebase to
// check. Usage: emit_pprof SCRIPT OUT
//
// Script lines, fields separated by one tab:
//   code ID LINE QUALNAME FILENAME   a code the lookup knows (names may be empty)
//   recode ID LINE QUALNAME FILENAME the id passes to another code (a reuse)
//   ev TS TID KIND CODE              an event of the current batch
//   batch                            hands the current batch to write_batch
//   end TID                          the thread has ended
//   dropped N                        the lost-event count given to finish
// Events still pending at the end form a last batch.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "event.hpp"
#include "fake_lookups.hpp"
#include "pprof.hpp"

namespace {

struct ReusingCodes : fennik::testing::FakeCodes {
  std::uint64_t generation = 0;
  std::uint64_t reuse_generation() const override { return generation; }
};

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', from);
    out.push_back(line.substr(from, tab == std::string::npos ? tab : tab - from));
    if (tab == std::string::npos) return out;
    from = tab + 1;
  }
}

bool parse_u64(const std::string& s, std::uint64_t& out) {
  const char* end = s.data() + s.size();
  const auto [stop, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && stop == end;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "emit_pprof: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: emit_pprof SCRIPT OUT");
  std::ifstream script(argv[1]);
  if (!script) return fail(std::string("cannot read ") + argv[1]);

  auto created = fennik::PprofExporter::create(argv[2]);
  if (!created) return fail(created.error().text());
  fennik::PprofExporter& exporter = *created.value();
  ReusingCodes codes;
  const fennik::testing::FakeThreads threads;
  std::vector<fennik::Event> batch;
  std::uint64_t dropped = 0;

  auto hand_over = [&] {
    if (!batch.empty() && exporter.write_batch(batch, codes, threads)) return false;
    batch.clear();
    return true;
  };

  std::string line;
  for (unsigned number = 1; std::getline(script, line); ++number) {
    const std::vector<std::string> f = split_tabs(line);
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    const std::string where = "line " + std::to_string(number) + ": ";
    if ((f[0] == "code" || f[0] == "recode") && f.size() == 5 && parse_u64(f[1], a) &&
        parse_u64(f[2], b)) {
      if (f[0] == "recode" && !hand_over()) return fail(where + "write_batch failed");
      codes.add(static_cast<std::uint32_t>(a), {f[3], f[4], static_cast<std::uint32_t>(b)});
      if (f[0] == "recode") ++codes.generation;
    } else if (f[0] == "end" && f.size() == 2 && parse_u64(f[1], a)) {
      if (!hand_over()) return fail(where + "write_batch failed");
      if (exporter.end_thread(static_cast<std::uint32_t>(a), codes, threads)) {
        return fail(where + "end_thread failed");
      }
    } else if (f[0] == "ev" && f.size() == 5 && parse_u64(f[1], a) && parse_u64(f[2], b) &&
               parse_u64(f[3], c) && parse_u64(f[4], d)) {
      batch.push_back(
          {a, static_cast<std::uint32_t>(b),
           fennik::make_word(static_cast<std::uint8_t>(c), static_cast<std::uint32_t>(d))});
    } else if (f[0] == "batch" && f.size() == 1) {
      if (!hand_over()) return fail(where + "write_batch failed");
    } else if (f[0] == "dropped" && f.size() == 2 && parse_u64(f[1], a)) {
      dropped = a;
    } else if (!line.empty()) {
      return fail(where + "cannot parse " + line);
    }
  }
  if (!hand_over()) return fail("write_batch failed");
  if (const fennik::IoStatus st = exporter.finish(codes, threads, dropped)) return fail(st->text());
  return 0;
}
