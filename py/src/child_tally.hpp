// How `fennik run` learns what its child processes added to the output
// without reading it: it names a small file in FENNIK_CHILD_TALLY, every
// traced descendant appends one line when its session starts and one when
// it ends (each a single short O_APPEND write, which writers do not
// interleave), and the parent reads the lines once its own session ended.
// A child still running then is counted as unfinished, never waited for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exporter_thread.hpp"

namespace fennik::py {

inline constexpr char ENV_CHILD_TALLY[] = "FENNIK_CHILD_TALLY";

// A child's lines, when the variable names a file that still exists; errors
// are ignored, as a tally is a courtesy to the parent's summary.
void tally_child_started(std::uint32_t pid) noexcept;
void tally_child_ended(std::uint32_t pid, const OutputFigures& figures) noexcept;

struct ChildTally {
  std::uint64_t started = 0;
  std::uint64_t ended = 0;
  std::uint64_t events = 0;  // for streaming children: what they added to the output
  std::uint64_t dropped = 0;
};

// The parent's file, made empty in the temporary directory and removed when
// this is destroyed.
class TallyFile {
 public:
  // Nothing when no file could be made.
  static std::optional<TallyFile> create();
  TallyFile(TallyFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TallyFile& operator=(TallyFile&&) = delete;
  ~TallyFile();

  const std::string& path() const noexcept { return path_; }
  ChildTally read() const;

 private:
  explicit TallyFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace fennik::py
