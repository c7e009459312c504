#include "report.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <numeric>
#include <set>
#include <variant>

#include "flame_graph.hpp"
#include "inputs.hpp"
#include "stack_tree.hpp"

namespace fennik::report {
namespace {

constexpr double PERCENT = 100.0;
constexpr std::uint64_t NS_PER_US = 1'000, NS_PER_MS = 1'000'000, NS_PER_S = 1'000'000'000;

std::string duration(std::uint64_t ns) {
  char buf[48];
  const auto d = static_cast<double>(ns);
  if (ns < NS_PER_US) {
    std::snprintf(buf, sizeof buf, "%" PRIu64 " ns", ns);
  } else if (ns < NS_PER_MS) {
    std::snprintf(buf, sizeof buf, "%.1f us", d / static_cast<double>(NS_PER_US));
  } else if (ns < NS_PER_S) {
    std::snprintf(buf, sizeof buf, "%.1f ms", d / static_cast<double>(NS_PER_MS));
  } else {
    std::snprintf(buf, sizeof buf, "%.3f s", d / static_cast<double>(NS_PER_S));
  }
  return buf;
}

std::string share(std::uint64_t part, std::uint64_t whole) {
  char buf[16];
  std::snprintf(
      buf, sizeof buf, "%.1f%%",
      whole == 0 ? 0.0 : PERCENT * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The chosen threads that recorded events, and the time from the first to the last.
struct Span {
  std::uint64_t processes = 0, threads = 0, first = 0, last = 0;
};

Span span_of(const CallTable& table) {
  std::set<std::uint32_t> pids;
  Span s{0, 0, ~std::uint64_t{0}, 0};
  for (const ThreadInfo& t : table.threads()) {
    if (!t.chosen || !t.seen) continue;
    pids.insert(t.pid);
    ++s.threads;
    s.first = std::min(s.first, t.first_ns);
    s.last = std::max(s.last, t.last_ns);
  }
  s.processes = pids.size();
  if (s.threads == 0) s.first = 0;
  return s;
}

// What was read, in a few lines.
std::string header(const std::vector<std::string>& files, const std::vector<FileRead>& reads,
                   const CallTable& table, bool profile, const Selection& selection) {
  std::string h = "fennik report: " + files.front();
  if (files.size() > 1) h += " and " + plural(files.size() - 1, "more file", "more files");
  h += " (" + reads.front().format + ")\n";
  for (const FileRead& r : reads) {
    for (const std::string& n : r.notes) h += "  note: " + n + "\n";
  }
  if (profile) {
    h += "  " + duration(table.covered_ns()) +
         " of samples; a profile holds no calls (their count shows as -), no threads and no "
         "events: a total is the time of the samples a function was in\n";
    if (selection.pid || selection.thread) h += "  note: --pid and --thread select nothing in it\n";
  } else {
    const Span span = span_of(table);
    h += "  " + plural(span.processes, "process", "processes") + ", " +
         plural(span.threads, "thread", "threads") + ", " +
         plural(table.events(), "event", "events") + " over " + duration(span.last - span.first) +
         " (" + duration(table.covered_ns()) + " of thread time, the 100% of the shares)\n";
  }
  std::string lost;
  if (table.dropped() > 0) {
    lost += std::to_string(table.dropped()) + " dropped (the tracer's buffers were full)";
  }
  if (table.gaps() > 0) {
    lost += std::string(lost.empty() ? "" : ", ") + std::to_string(table.lost_in_gaps()) +
            " lost in " + plural(table.gaps(), "gap", "gaps") + " (the time of a gap is no one's)";
  }
  h += "  events lost: " + (lost.empty() ? std::string("none") : lost) + "\n";
  if (!profile) {
    h += "  calls open at the end: ";
    h += table.open_at_end() == 0
             ? std::string("none")
             : std::to_string(table.open_at_end()) +
                   " (a recorder's window or a process that did not finish; counted to their "
                   "thread's last event)";
    h += "\n";
  }
  return h;
}

std::vector<std::uint32_t> ranked(const CallTable& table, const ReportOptions& o) {
  const std::vector<Figures>& fig = table.figures();
  std::vector<std::uint32_t> rows;
  const std::uint64_t covered = table.covered_ns();
  for (std::uint32_t fn = 0; fn < fig.size(); ++fn) {
    if (fig[fn].calls == 0 && fig[fn].total_ns == 0 && fig[fn].self_ns == 0) continue;
    if (o.min_share > 0 && PERCENT * static_cast<double>(fig[fn].total_ns) <
                               o.min_share * static_cast<double>(covered)) {
      continue;
    }
    rows.push_back(fn);
  }
  auto key = [&](std::uint32_t fn) {
    const Figures& f = fig[fn];
    switch (o.sort) {
      case SortBy::Self:
        return std::tuple(f.self_ns, f.total_ns, f.calls);
      case SortBy::Calls:
        return std::tuple(f.calls, f.total_ns, f.self_ns);
      case SortBy::Total:
        break;
    }
    return std::tuple(f.total_ns, f.self_ns, f.calls);
  };
  const Functions& fns = table.functions();
  std::ranges::stable_sort(rows, [&](std::uint32_t a, std::uint32_t b) {
    if (key(a) != key(b)) return key(a) > key(b);
    return std::tie(fns[a].name, fns[a].file, fns[a].line) <
           std::tie(fns[b].name, fns[b].file, fns[b].line);
  });
  if (o.top > 0 && rows.size() > o.top) rows.resize(o.top);
  return rows;
}

std::string table_text(const CallTable& table, const std::vector<std::uint32_t>& rows,
                       bool profile) {
  const std::uint64_t covered = table.covered_ns();
  std::string t;
  char buf[160];
  std::snprintf(buf, sizeof buf, "%12s %11s %6s %11s %6s  %s\n", "calls", "total", "share", "self",
                "share", "function (file:line)");
  t += buf;
  for (const std::uint32_t fn : rows) {
    const Figures& f = table.figures()[fn];
    const Function& where = table.functions()[fn];
    std::snprintf(buf, sizeof buf, "%12s %11s %6s %11s %6s  ",
                  profile ? "-" : std::to_string(f.calls).c_str(), duration(f.total_ns).c_str(),
                  share(f.total_ns, covered).c_str(), duration(f.self_ns).c_str(),
                  share(f.self_ns, covered).c_str());
    t += buf;
    t += where.name.empty() ? "<unknown>" : where.name;
    // A span of the program's has no place in the code.
    if (!where.file.empty() || where.line != 0) {
      t += " (" + where.file + ":" + std::to_string(where.line) + ")";
    }
    t += "\n";
  }
  return t;
}

// Exact figures, tab-separated, one function a line; in names and files a
// backslash, tab, newline or carriage return is escaped as in C.
std::string raw_text(const CallTable& table, const std::vector<std::uint32_t>& rows, bool profile) {
  auto clean = [](const std::string& s) {
    std::string out;
    for (const char c : s) {
      switch (c) {
        case '\\':
          out += "\\\\";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          out += c;
      }
    }
    return out;
  };
  const Span span = span_of(table);
  std::string t = "# covered_ns\t" + std::to_string(table.covered_ns()) + "\n# processes\t" +
                  std::to_string(span.processes) + "\n# threads\t" + std::to_string(span.threads) +
                  "\n";
  t += "# events\t" + std::to_string(table.events()) + "\n# dropped\t" +
       std::to_string(table.dropped()) + "\n# lost_in_gaps\t" +
       std::to_string(table.lost_in_gaps()) + "\n# open_at_end\t" +
       std::to_string(table.open_at_end()) + "\n";
  t += "calls\ttotal_ns\tself_ns\tfunction\tfile\tline\n";
  for (const std::uint32_t fn : rows) {
    const Figures& f = table.figures()[fn];
    const Function& where = table.functions()[fn];
    t += (profile ? std::string("-") : std::to_string(f.calls)) + "\t" +
         std::to_string(f.total_ns) + "\t" + std::to_string(f.self_ns) + "\t" + clean(where.name) +
         "\t" + clean(where.file) + "\t" + std::to_string(where.line) + "\n";
  }
  return t;
}

// Reads every file into one table; an error names the file.
std::optional<std::string> read_all(const std::vector<std::string>& files, CallTable& table,
                                    std::vector<FileRead>& reads) {
  for (const std::string& f : files) {
    reads.push_back(read_file(f, table));
    if (reads.back().error) return "cannot read " + f + ": " + *reads.back().error;
  }
  if (std::ranges::any_of(reads, &FileRead::profile) &&
      !std::ranges::all_of(reads, &FileRead::profile)) {
    return "cannot read " + files.front() + " with the others: profiles and traces do not mix";
  }
  table.finish();
  return std::nullopt;
}

}  // namespace

ReportResult make_report(const std::string& path, const ReportOptions& o) {
  ReportResult result;
  auto fail = [&result](std::string message) {
    result.status = REPORT_FAILED;
    result.error = std::move(message);
    return result;
  };
  auto files = input_files(path, o.all_dumps, o.children);
  if (auto* e = std::get_if<std::string>(&files)) return fail("cannot read " + path + ": " + *e);
  const std::vector<std::string>& names = std::get<std::vector<std::string>>(files);

  StackTree tree;
  CallTable table(o.flame ? &tree : nullptr);
  table.choose(o.selection);
  if (o.selection.by_name()) {
    // A thread's name may come after its events: a first reading learns the names.
    CallTable names_pass;
    std::vector<FileRead> ignored;
    if (auto e = read_all(names, names_pass, ignored)) return fail(*e);
    std::vector<std::uint8_t> wanted;
    for (const ThreadInfo& t : names_pass.threads()) {
      wanted.push_back(o.selection.wants(t.pid, t.tid, t.name) ? 1 : 0);
    }
    table.choose(std::move(wanted));
  }
  std::vector<FileRead> reads;
  if (auto e = read_all(names, table, reads)) return fail(*e);
  const bool profile = reads.front().profile;
  const std::vector<std::uint32_t> rows = ranked(table, o);
  result.text = o.raw ? raw_text(table, rows, profile)
                      : header(names, reads, table, profile, o.selection) + "\n" +
                            table_text(table, rows, profile);
  if (o.flame) {
    tree.totals();
    if (auto e = write_flame_graph(*o.flame, tree, table, names.front())) {
      return fail("cannot write " + *o.flame + ": " + *e);
    }
    if (!o.raw) result.text += "\nflame graph: " + *o.flame + "\n";
  }
  return result;
}

}  // namespace fennik::report
