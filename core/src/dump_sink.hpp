// Where the flight recorder writes a dump: a fresh file and an exporter for it.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "io_error.hpp"
#include "sink.hpp"

namespace fennik {

struct OpenedDump {
  std::string path;
  std::unique_ptr<Exporter> exporter;
};

// Owned by the recorder thread; open is called once per dump.
class DumpSink {
 public:
  virtual ~DumpSink() = default;
  // A new file named from `reason`, never one that existed before.
  virtual IoResult<OpenedDump> open(const std::string& reason) = 0;
};

}  // namespace fennik
