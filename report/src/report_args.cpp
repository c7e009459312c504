#include "report_args.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

namespace fennik::report {
namespace {

constexpr std::string_view USAGE = "Usage: {} report [OPTIONS] <PATH>\n";
constexpr std::string_view HELP =
    "Tell where the time went in a trace, profile or dump fennik wrote\n"
    "\n"
    "Usage: {} report [OPTIONS] <PATH>\n"
    "\n"
    "Arguments:\n"
    "  <PATH>  A Perfetto, trace-event JSON or pprof file (gzip-compressed or not), or\n"
    "          a flight recorder's dump directory; the format is read from the content\n"
    "\n"
    "Options:\n"
    "      --sort <KEY>         Order of the rows [default: total] [possible values:\n"
    "                           total, self, calls]\n"
    "      --top <N>            Show the first N rows, 0 for all [default: 30]\n"
    "      --pid <PID>          Only the threads of this process\n"
    "      --thread <THREAD>    Only the threads of this name, or of this thread id\n"
    "      --min-share <PERCENT>\n"
    "                           Leave out functions with a smaller total share\n"
    "      --all                Of a dump directory, every dump rather than the newest\n"
    "      --children           Also the OUTPUT.<pid> profiles of child processes\n"
    "      --flame <OUT>        Also write a flame graph: OUT.html a page, else SVG\n"
    "      --raw                Exact figures, tab-separated\n"
    "  -h, --help               Print help\n";
constexpr std::string_view MARK = "{}";
constexpr double MAX_PERCENT = 100;

std::string filled(std::string_view text, std::string_view program) {
  std::string out(text);
  if (const std::size_t at = out.find(MARK); at != std::string::npos) {
    out.replace(at, MARK.size(), program);
  }
  return out;
}

template <class Int>
std::optional<Int> whole(const std::string& s) {
  Int v{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::optional<double> percent(const std::string& s) {
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty() || !std::isfinite(v) || v < 0 ||
      v > MAX_PERCENT) {
    return std::nullopt;
  }
  return v;
}

}  // namespace

std::variant<ReportRequest, ArgsExit> parse_report_args(const std::vector<std::string>& args,
                                                        std::string_view program) {
  auto fail = [&](const std::string& message) {
    return ArgsExit{REPORT_FAILED, "error: " + message + "\n\n" + filled(USAGE, program) +
                                       "\nFor more information, try '--help'.\n"};
  };
  ReportRequest r;
  std::optional<std::string> path;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "-h" || arg == "--help") return ArgsExit{0, filled(HELP, program)};
    if (arg == "--") {
      if (path || i + 2 != args.size()) return fail("one path is read, not more");
      path = args[i + 1];
      break;
    }
    if (!arg.starts_with("--") || arg.size() == 2) {
      if (arg.starts_with('-') && arg.size() > 1)
        return fail("unexpected argument '" + arg + "' found");
      if (path) return fail("unexpected argument '" + arg + "' found; one path is read");
      path = arg;
      continue;
    }
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto flag = [&](bool& out) {
      if (value) return false;
      out = true;
      return true;
    };
    if (arg == "--all" || arg == "--children" || arg == "--raw") {
      bool& out = arg == "--all"   ? r.options.all_dumps
                  : arg == "--raw" ? r.options.raw
                                   : r.options.children;
      if (!flag(out)) return fail("unexpected value '" + *value + "' for '" + arg + "' found");
      continue;
    }
    const bool takes_value = arg == "--sort" || arg == "--top" || arg == "--pid" ||
                             arg == "--thread" || arg == "--min-share" || arg == "--flame";
    if (!takes_value) return fail("unexpected argument '" + arg + "' found");
    if (!value) {
      if (i + 1 == args.size())
        return fail("a value is required for '" + arg + "' but none was supplied");
      value = args[++i];
    }
    auto invalid = [&](const char* why) {
      return fail("invalid value '" + *value + "' for '" + arg + "': " + why);
    };
    if (arg == "--sort") {
      if (*value == "total") {
        r.options.sort = SortBy::Total;
      } else if (*value == "self") {
        r.options.sort = SortBy::Self;
      } else if (*value == "calls") {
        r.options.sort = SortBy::Calls;
      } else {
        return invalid("one of total, self, calls");
      }
    } else if (arg == "--top") {
      const auto n = whole<std::size_t>(*value);
      if (!n) return invalid("a whole number");
      r.options.top = *n;
    } else if (arg == "--pid") {
      const auto n = whole<std::uint32_t>(*value);
      if (!n) return invalid("a process id");
      r.options.selection.pid = *n;
    } else if (arg == "--thread") {
      if (value->empty()) return invalid("a thread's name or id");
      r.options.selection.thread = *value;
    } else if (arg == "--min-share") {
      const auto p = percent(*value);
      if (!p) return invalid("a percentage from 0 to 100");
      r.options.min_share = *p;
    } else {
      if (value->empty()) return invalid("an empty path names no file");
      r.options.flame = *value;
    }
  }
  if (!path) return fail("the following required arguments were not provided:\n  <PATH>");
  r.path = std::move(*path);
  return r;
}

}  // namespace fennik::report
