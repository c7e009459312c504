// What a Tracer was made with: the settings each of its sessions starts from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "format.hpp"

namespace fennik::py {

struct TracerConfig {
  std::optional<std::uint64_t> record_last_mb;
  std::string output;
  bool trace_subprocesses = true;
  Format format = Format::Protobuf;
  // The signal that asks a flight recorder for a dump; none leaves every
  // signal to the program.
  std::optional<int> dump_signal;
};

}  // namespace fennik::py
