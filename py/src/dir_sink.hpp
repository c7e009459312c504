// The dump directory: one new file per dump, named from the wall clock, the
// reason, a collision suffix, the writer's pid and the format's extension,
// and written under a dot-name until it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "dump_sink.hpp"
#include "format.hpp"

namespace fennik {

// A sanitised reason longer than this is cut, so that every name fits the
// file system's limit on a name's length.
inline constexpr std::size_t MAX_REASON_BYTES = 100;
// Collision suffixes tried for one dump before giving up on the last
// "file exists" error: far more dumps than one millisecond ever sees.
inline constexpr unsigned MAX_NAME_TRIES = 10'000;
// A dump is written under its name with a dot before it and this after it,
// then renamed; a name that no dump's name matches.
inline constexpr char PART_SUFFIX[] = ".part";

class DirSink : public DumpSink {
 public:
  // `directory` exists and is absolute, in the file system's bytes, which
  // need not be UTF-8; `pid` is 0 for a tracer started normally, the
  // process id for a traced child.
  DirSink(std::string directory, std::uint32_t pid, Format format)
      : directory_(std::move(directory)), pid_(pid), format_(format) {}

  IoResult<OpenedDump> open(const std::string& reason) override;
  // The same with the wall clock's milliseconds given rather than read.
  IoResult<OpenedDump> open_at(std::uint64_t millis, const std::string& reason);
  std::string location() const override;

 private:
  std::string directory_;
  std::uint32_t pid_;
  Format format_;
};

// Letters, digits, "-", "." and "_" kept; any other character (each
// non-ASCII character whole) becomes one "-"; cut to MAX_REASON_BYTES.
std::string sanitize_reason(const std::string& reason);

}  // namespace fennik
