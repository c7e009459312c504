// What a Tracer was made with: the settings each of its sessions starts from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format.hpp"

namespace fennik::py {

// What a session records of what runs (the tracer's include, exclude,
// only_my_code and max_depth).
struct Selection {
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  bool only_my_code = false;
  std::optional<std::uint32_t> max_depth;  // calls deeper on a thread are left out
  std::uint64_t min_duration_ns = 0;       // shorter calls are left out of the output; 0: none
  bool c_calls = false;                    // calls of built-in functions and C classes too
};

struct TracerConfig {
  std::optional<std::uint64_t> record_last_mb;
  std::string output;
  bool trace_subprocesses = true;
  Format format = Format::Protobuf;
  // The signal that asks a flight recorder for a dump; none leaves every
  // signal to the program.
  std::optional<int> dump_signal;
  Selection selection;
};

}  // namespace fennik::py
