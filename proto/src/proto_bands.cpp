// The tracks of a thread's deep frames: see PROTO_BAND_DEPTH.
#include <algorithm>
#include <string>

#include "proto_exporter.hpp"
#include "trace_fields.hpp"

namespace fennik {

using namespace trace_fields;

void ProtoExporter::to_band(Sequence& seq, std::uint64_t depth) {
  const std::uint64_t band = std::min(depth / PROTO_BAND_DEPTH, PROTO_LAST_BAND);
  if (band == seq.band) return;
  wire::Writer p(file_.buffer());
  const auto band_uuid = [&](std::uint64_t b) {
    return seq.track_uuid | (b << PROTO_BAND_UUID_SHIFT);
  };
  // Bands are entered one level after another, so those described are the first ones.
  for (; seq.bands_described < band; ++seq.bands_described) {
    const std::uint64_t b = seq.bands_described + 1;
    const auto record = p.begin_message(trace::PACKET);
    p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, seq.sequence_id);
    const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
    p.uint_field(track_descriptor::UUID, band_uuid(b));
    p.string_field(track_descriptor::NAME, "calls " + std::to_string(b * PROTO_BAND_DEPTH) + "-" +
                                               std::to_string((b + 1) * PROTO_BAND_DEPTH - 1) +
                                               " deep");
    p.uint_field(track_descriptor::PARENT_UUID, seq.track_uuid);
    p.end_message(td);
    p.end_message(record);
  }
  // Defaults replace the sequence's defaults whole; the packet has no time,
  // so the sequence's clock stays.
  const auto record = p.begin_message(trace::PACKET);
  p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, seq.sequence_id);
  write_defaults(p, band_uuid(band));
  p.end_message(record);
  seq.band = band;
}

}  // namespace fennik
