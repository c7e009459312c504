// The program's annotations as Perfetto track events: spans as slices and
// instants on the thread's track, with their arguments as debug
// annotations; counter values on a counter track of the process.
#include <cstring>

#include "proto_exporter.hpp"
#include "trace_fields.hpp"

namespace fennik {
namespace {

using wire::Writer;

using namespace trace_fields;

constexpr std::string_view SPAN_CATEGORY = "span";
constexpr std::string_view INSTANT_CATEGORY = "instant";
constexpr std::string_view NONE_TEXT = "None";
constexpr std::string_view UNKNOWN_KEY = "?";
// Counter tracks take uuids from here up within the process's block, far
// above its thread tracks.
constexpr std::uint64_t COUNTER_TRACK_OFFSET = std::uint64_t{1} << 31;

// A double field: fixed 64 bits, little-endian as the wire wants.
void double_field(Writer& p, std::uint32_t field, double value) {
  p.tag(field, wire::WireType::Fixed64);
  char* q = p.buffer().claim(sizeof(double));
  std::memcpy(q, &value, sizeof(double));
  p.buffer().commit(q + sizeof(double));
}

void value_field(Writer& p, const ArgValue& v) {
  switch (v.type) {
    case ArgValue::Type::None:
      p.string_field(debug_annotation::STRING_VALUE, NONE_TEXT);
      break;
    case ArgValue::Type::Bool:
      p.uint_field(debug_annotation::BOOL_VALUE, v.integer != 0 ? 1 : 0);
      break;
    case ArgValue::Type::Int:
      p.int_field(debug_annotation::INT_VALUE, v.integer);
      break;
    case ArgValue::Type::Float:
      double_field(p, debug_annotation::DOUBLE_VALUE, v.real);
      break;
    case ArgValue::Type::Text:
      p.string_field(debug_annotation::STRING_VALUE, v.text);
      break;
  }
}

}  // namespace

const SiteInfo& ProtoExporter::site_of(std::uint32_t id, const CodeLookup& codes) {
  auto found = sites_.find(id);
  if (found == sites_.end()) {
    found = sites_.emplace(id, codes.site(id).value_or(SiteInfo{"<unknown>", {}})).first;
  }
  return found->second;
}

std::uint64_t ProtoExporter::counter_track(const std::string& name) {
  auto [it, added] = counter_tracks_.try_emplace(
      name, process_uuid_ + COUNTER_TRACK_OFFSET + counter_tracks_.size());
  if (added) {
    Writer p(file_.buffer());
    const auto record = p.begin_message(trace::PACKET);
    p.uint_field(packet::TIMESTAMP, 0);
    p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, process_sequence_id());
    const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
    p.uint_field(track_descriptor::UUID, it->second);
    p.string_field(track_descriptor::NAME, name);
    p.uint_field(track_descriptor::PARENT_UUID, process_uuid_);
    p.end_message(p.begin_message(track_descriptor::COUNTER));
    p.end_message(td);
    p.end_message(record);
  }
  return it->second;
}

void ProtoExporter::write_annotation(Sequence& seq, const Event& e, std::span<const Event> args,
                                     const CodeLookup& codes) {
  const std::uint8_t kind = word_kind(e.code_kind);
  const SiteInfo& site = site_of(word_code(e.code_kind), codes);
  const std::vector<ArgValue> values = decode_args(args);
  const std::uint64_t counter = kind == KIND_COUNTER ? counter_track(site.name) : 0;
  // Spans and instants sit on the thread's track at the depth open, a
  // span's end one level up.
  if (kind != KIND_COUNTER) {
    to_band(seq, seq.open_slices - (kind == KIND_SPAN_END && seq.open_slices > 0 ? 1 : 0));
  }
  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  p.uint_field(packet::TIMESTAMP, seq.advance_clock(e.ts_ns));
  p.buffer().append(std::string_view(seq.header.data(), seq.header_len));
  const auto te = p.begin_message(packet::TRACK_EVENT);
  if (kind == KIND_COUNTER) {
    p.uint_field(track_event::TYPE, TYPE_COUNTER);
    p.uint_field(track_event::TRACK_UUID, counter);
    const ArgValue value = values.empty() ? ArgValue{} : values.front();
    if (value.type == ArgValue::Type::Float) {
      double_field(p, track_event::DOUBLE_COUNTER_VALUE, value.real);
    } else {
      p.int_field(track_event::COUNTER_VALUE, value.integer);
    }
  } else {
    p.uint_field(track_event::TYPE, kind == KIND_SPAN_BEGIN ? TYPE_SLICE_BEGIN
                                    : kind == KIND_SPAN_END ? TYPE_SLICE_END
                                                            : TYPE_INSTANT);
    if (kind != KIND_SPAN_END) {
      p.string_field(track_event::CATEGORIES,
                     kind == KIND_INSTANT ? INSTANT_CATEGORY : SPAN_CATEGORY);
      p.string_field(track_event::NAME, site.name);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto a = p.begin_message(track_event::DEBUG_ANNOTATIONS);
      p.string_field(debug_annotation::NAME, i < site.keys.size() ? site.keys[i] : UNKNOWN_KEY);
      value_field(p, values[i]);
      p.end_message(a);
    }
  }
  p.end_message(te);
  p.end_message(record);
}

}  // namespace fennik
