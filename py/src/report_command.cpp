#include "report_command.hpp"

#include <exception>
#include <new>
#include <variant>

#include "cli_messages.hpp"
#include "report.hpp"
#include "report_args.hpp"

namespace fennik::py {
namespace {

// Reading runs in C++ alone: other threads of the interpreter go on.
report::ReportResult made(const report::ReportRequest& r) {
  report::ReportResult result;
  Py_BEGIN_ALLOW_THREADS;
  try {
    result = report::make_report(r.path, r.options);
  } catch (const std::bad_alloc&) {
    result = {report::REPORT_FAILED, "", "cannot read " + r.path + ": out of memory"};
  } catch (const std::exception& e) {
    result = {report::REPORT_FAILED, "", "cannot read " + r.path + ": " + e.what()};
  }
  Py_END_ALLOW_THREADS;
  return result;
}

}  // namespace

void report_after_run(const std::string& file, bool children, std::size_t top) {
  report::ReportRequest r{file, {}};
  r.options.children = children;
  r.options.top = top;
  const report::ReportResult result = made(r);
  if (result.status != 0) {
    say(result.error);
  } else if (!write_to("stderr", result.text)) {
    PyErr_Clear();  // a stream that fails is not the run's failure
  }
}

PyObject* report_command(const std::vector<std::string>& args, std::string_view program) {
  std::variant<report::ReportRequest, report::ArgsExit> parsed =
      report::parse_report_args(args, program);
  if (auto* done = std::get_if<report::ArgsExit>(&parsed)) {
    if (!write_to(done->status == 0 ? "stdout" : "stderr", done->text)) return nullptr;
    return PyLong_FromLong(done->status);
  }
  const report::ReportResult result = made(std::get<report::ReportRequest>(parsed));
  if (result.status != 0) {
    say(result.error);
    return PyLong_FromLong(result.status);
  }
  if (!write_to("stdout", result.text)) return nullptr;
  return PyLong_FromLong(0);
}

}  // namespace fennik::py
