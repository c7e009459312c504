// Field numbers and enum values of Perfetto's trace schema that fennik
// writes, named by the message they belong to; one place for both the
// function events and the annotations.
#pragma once

#include <cstdint>

namespace fennik::trace_fields {

namespace trace {
constexpr std::uint32_t PACKET = 1;
}
namespace packet {
constexpr std::uint32_t CLOCK_SNAPSHOT = 6;
constexpr std::uint32_t TIMESTAMP = 8;
constexpr std::uint32_t TRUSTED_PACKET_SEQUENCE_ID = 10;
constexpr std::uint32_t TRACK_EVENT = 11;
constexpr std::uint32_t INTERNED_DATA = 12;
constexpr std::uint32_t SEQUENCE_FLAGS = 13;
constexpr std::uint32_t TIMESTAMP_CLOCK_ID = 58;
constexpr std::uint32_t TRACE_PACKET_DEFAULTS = 59;
constexpr std::uint32_t TRACK_DESCRIPTOR = 60;
}  // namespace packet
namespace track_event {
constexpr std::uint32_t DEBUG_ANNOTATIONS = 4;
constexpr std::uint32_t TYPE = 9;
constexpr std::uint32_t NAME_IID = 10;
constexpr std::uint32_t TRACK_UUID = 11;
constexpr std::uint32_t CATEGORIES = 22;
constexpr std::uint32_t NAME = 23;
constexpr std::uint32_t COUNTER_VALUE = 30;
constexpr std::uint32_t SOURCE_LOCATION_IID = 34;
constexpr std::uint32_t DOUBLE_COUNTER_VALUE = 44;
}  // namespace track_event
namespace debug_annotation {
constexpr std::uint32_t BOOL_VALUE = 2;
constexpr std::uint32_t INT_VALUE = 4;
constexpr std::uint32_t DOUBLE_VALUE = 5;
constexpr std::uint32_t STRING_VALUE = 6;
constexpr std::uint32_t NAME = 10;
}  // namespace debug_annotation
namespace track_descriptor {
constexpr std::uint32_t UUID = 1;
constexpr std::uint32_t NAME = 2;
constexpr std::uint32_t PROCESS = 3;
constexpr std::uint32_t THREAD = 4;
constexpr std::uint32_t PARENT_UUID = 5;
constexpr std::uint32_t COUNTER = 8;
}  // namespace track_descriptor
namespace process_descriptor {
constexpr std::uint32_t PID = 1;
constexpr std::uint32_t CMDLINE = 2;
constexpr std::uint32_t PROCESS_NAME = 6;
constexpr std::uint32_t PROCESS_LABELS = 8;
}  // namespace process_descriptor

namespace thread_descriptor {
constexpr std::uint32_t PID = 1;
constexpr std::uint32_t TID = 2;
constexpr std::uint32_t THREAD_NAME = 5;
}  // namespace thread_descriptor
namespace interned_data {
constexpr std::uint32_t EVENT_CATEGORIES = 1;
constexpr std::uint32_t EVENT_NAMES = 2;
constexpr std::uint32_t SOURCE_LOCATIONS = 4;
}  // namespace interned_data
namespace interned_entry {  // EventCategory, EventName and SourceLocation
constexpr std::uint32_t IID = 1;
constexpr std::uint32_t NAME = 2;
constexpr std::uint32_t FILE_NAME = 2;
constexpr std::uint32_t LINE_NUMBER = 4;
}  // namespace interned_entry
namespace defaults {
constexpr std::uint32_t TRACK_EVENT_DEFAULTS = 11;  // in TracePacketDefaults
constexpr std::uint32_t TIMESTAMP_CLOCK_ID = 58;    // in TracePacketDefaults
constexpr std::uint32_t TRACK_UUID = 11;            // in TrackEventDefaults
}  // namespace defaults
namespace clock_snapshot {
constexpr std::uint32_t CLOCKS = 1;
constexpr std::uint32_t CLOCK_ID = 1;  // in Clock
constexpr std::uint32_t TIMESTAMP = 2;
constexpr std::uint32_t IS_INCREMENTAL = 3;
}  // namespace clock_snapshot

// TrackEvent.type
constexpr std::uint64_t TYPE_SLICE_BEGIN = 1;
constexpr std::uint64_t TYPE_SLICE_END = 2;
constexpr std::uint64_t TYPE_INSTANT = 3;
constexpr std::uint64_t TYPE_COUNTER = 4;

}  // namespace fennik::trace_fields
