// Where the flight recorder writes a dump: a fresh file and an exporter for it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "io_error.hpp"
#include "sink.hpp"

namespace fennik {

// A dump's file while it is written. It takes the dump's name only once
// complete, so that a dump that fails leaves nothing under a dump's name:
// dropped unpublished, it is removed.
class DumpFile {
 public:
  virtual ~DumpFile() = default;
  // Gives the complete file, its exporter released, the dump's name.
  virtual IoStatus publish() = 0;
};

struct OpenedDump {
  std::string path;  // the dump's name once published
  std::unique_ptr<Exporter> exporter;
  std::unique_ptr<DumpFile> file;  // null when the exporter writes under `path` itself
};

// Owned by the recorder thread; open is called once per dump.
class DumpSink {
 public:
  virtual ~DumpSink() = default;
  // A new file named from `reason`, never one that existed before.
  virtual IoResult<OpenedDump> open(const std::string& reason) = 0;
  // The file or directory a failed open concerns; empty when none.
  virtual std::string location() const { return {}; }
  // When the session's pauses began, in order: a dump's window is assembled
  // knowing that each ended what was open.
  virtual std::vector<std::uint64_t> pauses_ns() const { return {}; }
};

}  // namespace fennik
