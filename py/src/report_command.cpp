#include "report_command.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <variant>

#include "cli_messages.hpp"
#include "fd.hpp"
#include "report.hpp"
#include "report_args.hpp"

namespace fennik::py {
namespace {

constexpr long STOPPED_READING = 1;  // the status when the reader closed the pipe

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

// The report on sys.stdout. A reader that stopped early (`| head`) is no
// failure: the rest goes nowhere, as does what the interpreter flushes at exit.
PyObject* print_report(const std::string& text) {
  if (write_to("stdout", text)) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None ||
        PyRef::steal(PyObject_CallMethod(out, "flush", nullptr))) {
      return PyLong_FromLong(0);
    }
  }
  if (!PyErr_ExceptionMatches(PyExc_BrokenPipeError)) return nullptr;
  PyErr_Clear();
  if (const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC)); null.get() >= 0) {
    ::dup2(null.get(), STDOUT_FILENO);
  }
  return PyLong_FromLong(STOPPED_READING);
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
  return print_report(result.text);
}

}  // namespace fennik::py
