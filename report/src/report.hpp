// `fennik report`: reads any output fennik writes (a Perfetto trace, a
// trace-event JSON array, a pprof profile, gzip-compressed or not, a dump
// directory) and tells where the time went, as a table per function and,
// when asked, a flame graph.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "call_table.hpp"

namespace fennik::report {

inline constexpr std::size_t DEFAULT_TOP = 30;
inline constexpr int REPORT_FAILED = 2;

enum class SortBy { Total, Self, Calls };

struct ReportOptions {
  SortBy sort = SortBy::Total;
  std::size_t top = DEFAULT_TOP;  // 0 shows every row
  double min_share = 0;           // percent of the time covered
  Selection selection;
  bool all_dumps = false;            // of a dump directory, every dump rather than the newest
  bool children = false;             // pprof profiles of child processes beside the file
  bool raw = false;                  // exact figures, tab-separated
  std::optional<std::string> flame;  // a flame graph's path: .html, else SVG
};

struct ReportResult {
  int status = 0;
  std::string text;   // the report
  std::string error;  // one line, without "fennik: ", when the status is not 0
};

ReportResult make_report(const std::string& path, const ReportOptions& options);

}  // namespace fennik::report
