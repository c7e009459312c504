// The packet a writer emits for each slice begin or end, read without the
// general field loop: a timestamp, a sequence id, sequence flags and a track
// event of a type, a track, interned name and location ids and category ids,
// each field one byte of tag. Any other packet is left to the general reader.
#pragma once

#include <cstdint>

#include "wire_reader.hpp"

namespace fennik::report {

struct EventPacket {
  std::uint64_t ts = 0, sequence_id = 0, flags = 0;
  std::uint64_t type = 0, name_iid = 0, location_iid = 0, track = 0;
  bool has_track = false;
};

namespace event_tags {
// (field number << 3) | wire type, as the one or two bytes that start a field.
constexpr std::uint8_t TIMESTAMP = (8 << 3) | VARINT, SEQUENCE_ID = (10 << 3) | VARINT,
                       SEQUENCE_FLAGS = (13 << 3) | VARINT, TRACK_EVENT = (11 << 3) | LEN;
constexpr std::uint8_t CATEGORY_IID = (3 << 3) | VARINT, TYPE = (9 << 3) | VARINT,
                       NAME_IID = (10 << 3) | VARINT, TRACK_UUID = (11 << 3) | VARINT;
// Field 34, a varint: its tag takes two bytes.
constexpr std::uint8_t LOCATION_IID_0 = 0x80 | (((34 << 3) | VARINT) & 0x7F),
                       LOCATION_IID_1 = ((34 << 3) | VARINT) >> 7;
}  // namespace event_tags

// False when the packet holds anything else (or is malformed): the general
// reader then reads it.
inline bool read_event_packet(const std::uint8_t* p, const std::uint8_t* end,
                              EventPacket& e) noexcept {
  using namespace event_tags;
  const std::uint8_t* te = nullptr;
  const std::uint8_t* te_end = nullptr;
  while (p < end) {
    const std::uint8_t tag = *p++;
    std::uint64_t length = 0;
    switch (tag) {
      case TIMESTAMP:
        p = read_varint(p, end, e.ts);
        break;
      case SEQUENCE_ID:
        p = read_varint(p, end, e.sequence_id);
        break;
      case SEQUENCE_FLAGS:
        p = read_varint(p, end, e.flags);
        break;
      case TRACK_EVENT:
        p = read_varint(p, end, length);
        if (p == nullptr || length > static_cast<std::uint64_t>(end - p)) return false;
        te = p;
        te_end = p += length;
        break;
      default:
        return false;
    }
    if (p == nullptr) return false;
  }
  if (te == nullptr) return false;
  while (te < te_end) {
    const std::uint8_t tag = *te++;
    std::uint64_t ignored = 0;
    switch (tag) {
      case TYPE:
        te = read_varint(te, te_end, e.type);
        break;
      case NAME_IID:
        te = read_varint(te, te_end, e.name_iid);
        break;
      case CATEGORY_IID:
        te = read_varint(te, te_end, ignored);
        break;
      case TRACK_UUID:
        te = read_varint(te, te_end, e.track);
        e.has_track = true;
        break;
      case LOCATION_IID_0:
        if (te == te_end || *te != LOCATION_IID_1) return false;
        te = read_varint(te + 1, te_end, e.location_iid);
        break;
      default:
        return false;
    }
    if (te == nullptr) return false;
  }
  return true;
}

}  // namespace fennik::report
