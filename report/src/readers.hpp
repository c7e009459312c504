// Readers of the files fennik writes, each feeding a CallTable: a Perfetto
// trace (read by the wire format and Perfetto's meaning of packets, so any
// writer's TrackEvent slices read), a trace-event JSON array, and a pprof
// profile.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_stream.hpp"
#include "call_table.hpp"

namespace fennik::report {

struct ReadOutcome {
  std::vector<std::string> notes;    // what the header should say of the file
  std::optional<std::string> error;  // why the file could not be read
};

ReadOutcome read_perfetto(ByteStream& in, CallTable& table);
ReadOutcome read_trace_json(ByteStream& in, CallTable& table);
ReadOutcome read_pprof(ByteStream& in, CallTable& table);

// "fennik: N events WORD" as the writers name their loss records.
std::optional<std::uint64_t> loss_count(std::string_view text, std::string_view word);

}  // namespace fennik::report
