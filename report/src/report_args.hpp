// The command line of `fennik report`: `fennik report [OPTIONS] <PATH>`.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "report.hpp"

namespace fennik::report {

struct ReportRequest {
  std::string path;
  ReportOptions options;
};

// Help (status 0, for stdout) or a parse error (status 2, for stderr).
struct ArgsExit {
  int status;
  std::string text;
};

// `args` are the words after "report"; `program` names the command in usage lines.
std::variant<ReportRequest, ArgsExit> parse_report_args(const std::vector<std::string>& args,
                                                        std::string_view program);

}  // namespace fennik::report
