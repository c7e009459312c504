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
};

}  // namespace fennik::py
