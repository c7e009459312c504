#include "proto_exporter.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace fennik {
namespace {

using wire::Buffer;
using wire::MAX_VARINT_BYTES;
using wire::put_varint;
using wire::Varint;
using wire::varint_size;

// Field numbers of the trace schema that this exporter writes.
namespace trace {
constexpr std::uint32_t PACKET = 1;
}
namespace packet {
constexpr std::uint32_t TIMESTAMP = 8;
constexpr std::uint32_t TRUSTED_PACKET_SEQUENCE_ID = 10;
constexpr std::uint32_t TRACK_EVENT = 11;
constexpr std::uint32_t INTERNED_DATA = 12;
constexpr std::uint32_t SEQUENCE_FLAGS = 13;
constexpr std::uint32_t TRACE_PACKET_DEFAULTS = 59;
constexpr std::uint32_t TRACK_DESCRIPTOR = 60;
}  // namespace packet
namespace track_event {
constexpr std::uint32_t CATEGORY_IIDS = 3;
constexpr std::uint32_t TYPE = 9;
constexpr std::uint32_t NAME_IID = 10;
constexpr std::uint32_t TRACK_UUID = 11;
constexpr std::uint32_t CATEGORIES = 22;
constexpr std::uint32_t NAME = 23;
constexpr std::uint32_t SOURCE_LOCATION_IID = 34;
}  // namespace track_event
namespace track_descriptor {
constexpr std::uint32_t UUID = 1;
constexpr std::uint32_t NAME = 2;
constexpr std::uint32_t PROCESS = 3;
constexpr std::uint32_t THREAD = 4;
constexpr std::uint32_t PARENT_UUID = 5;
}  // namespace track_descriptor
namespace process_descriptor {
constexpr std::uint32_t PID = 1;
constexpr std::uint32_t PROCESS_NAME = 6;
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
constexpr std::uint32_t TRACK_UUID = 11;            // in TrackEventDefaults
}  // namespace defaults

constexpr std::uint64_t SEQ_INCREMENTAL_STATE_CLEARED = 1;
constexpr std::uint64_t SEQ_NEEDS_INCREMENTAL_STATE = 2;
constexpr std::uint64_t TYPE_SLICE_BEGIN = 1;
constexpr std::uint64_t TYPE_SLICE_END = 2;
constexpr std::uint64_t TYPE_INSTANT = 3;

// Single-byte tags of the hand-assembled event packets.
constexpr std::uint8_t TAG_PACKET = 0x0A;                         // Trace.packet, length-delimited
constexpr std::uint8_t TAG_TIMESTAMP = 0x40;                      // 8, varint
constexpr std::uint8_t TAG_SEQUENCE_ID = 0x50;                    // 10, varint
constexpr std::uint8_t TAG_SEQUENCE_FLAGS = 0x68;                 // 13, varint
constexpr std::uint8_t TAG_TRACK_EVENT = 0x5A;                    // 11, length-delimited
constexpr std::uint8_t TAG_TYPE = 0x48;                           // TrackEvent 9, varint
constexpr std::uint8_t TAG_CATEGORY_IIDS = 0x18;                  // TrackEvent 3, varint, unpacked
constexpr std::uint8_t TAG_NAME_IID = 0x50;                       // TrackEvent 10, varint
constexpr std::uint8_t TAG_SOURCE_LOCATION_IID[] = {0x90, 0x02};  // TrackEvent 34, varint
static_assert(TAG_PACKET == wire::make_tag(trace::PACKET, wire::WireType::Len));
static_assert(TAG_TIMESTAMP == wire::make_tag(packet::TIMESTAMP, wire::WireType::Varint));
static_assert(TAG_SEQUENCE_ID ==
              wire::make_tag(packet::TRUSTED_PACKET_SEQUENCE_ID, wire::WireType::Varint));
static_assert(TAG_SEQUENCE_FLAGS == wire::make_tag(packet::SEQUENCE_FLAGS, wire::WireType::Varint));
static_assert(TAG_TRACK_EVENT == wire::make_tag(packet::TRACK_EVENT, wire::WireType::Len));
static_assert(TAG_TYPE == wire::make_tag(track_event::TYPE, wire::WireType::Varint));
static_assert(TAG_CATEGORY_IIDS ==
              wire::make_tag(track_event::CATEGORY_IIDS, wire::WireType::Varint));
static_assert(TAG_NAME_IID == wire::make_tag(track_event::NAME_IID, wire::WireType::Varint));
static_assert(wire::make_tag(track_event::SOURCE_LOCATION_IID, wire::WireType::Varint) ==
              (TAG_SOURCE_LOCATION_IID[0] & 0x7F) + (TAG_SOURCE_LOCATION_IID[1] << 7));

// The one event category, interned on every thread sequence.
constexpr std::uint64_t CATEGORY_IID = 1;
constexpr std::string_view CATEGORY = "py";
constexpr std::string_view DROPPED_CATEGORY = "dropped";
constexpr std::string_view PROCESS_NAME = "python";
constexpr std::string_view PROCESS_TRACK_PREFIX = "python:";
constexpr std::string_view UNKNOWN_CODE_NAME = "<unknown>";

// Event frame around a tail: packet tag, length, timestamp tag and value.
constexpr std::size_t MAX_FRAME_BYTES = 1 + MAX_VARINT_BYTES + 1 + MAX_VARINT_BYTES;

constexpr std::uint64_t begin_tail_key(std::uint32_t tid, std::uint32_t code) noexcept {
  return (std::uint64_t{tid} << 32) | (std::uint64_t{code} << 1) | 1;
}
constexpr std::uint64_t end_tail_key(std::uint32_t tid) noexcept {
  return std::uint64_t{tid} << 32;
}

// Common packet head of every whole-message packet: timestamp 0, sequence id.
void packet_head(Buffer& p, std::uint32_t sequence_id) {
  p.uint_field(packet::TIMESTAMP, 0);
  p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, sequence_id);
}

}  // namespace

ProtoExporter::ProtoExporter(SharedFile file)
    : file_(std::move(file)),
      packet_(PROTO_PACKET_BUFFER_BYTES),
      batch_(PROTO_BATCH_BUFFER_BYTES),
      arena_(PROTO_TAIL_ARENA_BYTES),
      pid_(static_cast<std::uint32_t>(::getpid())) {
  process_uuid_ = (std::uint64_t{pid_} << 32) | 1;
}

void ProtoExporter::emit_packet() {
  file_.put(static_cast<char>(TAG_PACKET));
  const Varint len(packet_.size());
  file_.write(len.data(), len.size());
  file_.write(packet_.data(), packet_.size());
}

void ProtoExporter::ensure_process() {
  if (process_announced_) return;
  process_announced_ = true;
  Buffer& p = packet_;
  p.clear();
  packet_head(p, process_sequence_id());
  const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
  p.uint_field(track_descriptor::UUID, process_uuid_);
  std::string name(PROCESS_TRACK_PREFIX);
  name += std::to_string(pid_);
  p.string_field(track_descriptor::NAME, name);
  const auto pd = p.begin_message(track_descriptor::PROCESS);
  p.uint_field(process_descriptor::PID, pid_);
  p.string_field(process_descriptor::PROCESS_NAME, PROCESS_NAME);
  p.end_message(pd);
  p.end_message(td);
  p.uint_field(packet::SEQUENCE_FLAGS, SEQ_INCREMENTAL_STATE_CLEARED);
  emit_packet();
}

ProtoExporter::Sequence& ProtoExporter::new_sequence(std::uint32_t tid,
                                                     const ThreadNames& threads) {
  const auto n = static_cast<std::uint32_t>(sequences_.size());
  // Wraps: a writer's block holds 128 ids, and a writer with more threads
  // continues into the next block.
  const std::uint32_t sequence_id = (sequence_base_ << PROTO_SEQUENCE_BLOCK_SHIFT) + n + 2;
  const std::uint64_t track_uuid = process_uuid_ + 1 + n;
  const std::optional<std::string> thread_name = threads.name(tid);

  Buffer& p = packet_;
  p.clear();
  packet_head(p, sequence_id);
  const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
  p.uint_field(track_descriptor::UUID, track_uuid);
  const auto thread = p.begin_message(track_descriptor::THREAD);
  p.uint_field(thread_descriptor::PID, pid_);
  // A tid is an unsigned 32-bit value; as a plain varint it reads back
  // unchanged through the schema's 64-bit field.
  p.uint_field(thread_descriptor::TID, tid);
  if (thread_name) p.string_field(thread_descriptor::THREAD_NAME, *thread_name);
  p.end_message(thread);
  p.uint_field(track_descriptor::PARENT_UUID, process_uuid_);
  p.end_message(td);
  const auto interned = p.begin_message(packet::INTERNED_DATA);
  const auto category = p.begin_message(interned_data::EVENT_CATEGORIES);
  p.uint_field(interned_entry::IID, CATEGORY_IID);
  p.string_field(interned_entry::NAME, CATEGORY);
  p.end_message(category);
  p.end_message(interned);
  p.uint_field(packet::SEQUENCE_FLAGS, SEQ_INCREMENTAL_STATE_CLEARED);
  const auto pd = p.begin_message(packet::TRACE_PACKET_DEFAULTS);
  const auto ted = p.begin_message(defaults::TRACK_EVENT_DEFAULTS);
  p.uint_field(defaults::TRACK_UUID, track_uuid);
  p.end_message(ted);
  p.end_message(pd);
  emit_packet();

  Sequence seq{};
  std::uint8_t* h = seq.header.data();
  *h++ = TAG_SEQUENCE_ID;
  h = put_varint(h, sequence_id);
  *h++ = TAG_SEQUENCE_FLAGS;
  *h++ = static_cast<std::uint8_t>(SEQ_NEEDS_INCREMENTAL_STATE);
  seq.header_len = static_cast<std::uint8_t>(h - seq.header.data());
  seq.sequence_id = sequence_id;
  return sequences_.emplace(tid, std::move(seq)).first->second;
}

std::uint64_t ProtoExporter::intern(Sequence& seq, std::uint32_t code, const CodeLookup& codes,
                                    bool& has_location) {
  if (auto it = seq.interned.find(code); it != seq.interned.end()) {
    has_location = it->second.has_location;
    return it->second.iid;
  }
  const std::uint64_t iid = seq.interned.size() + 1;
  const std::optional<CodeInfo> info = codes.code(code);
  has_location = info.has_value();

  Buffer& p = packet_;
  p.clear();
  packet_head(p, seq.sequence_id);
  const auto interned = p.begin_message(packet::INTERNED_DATA);
  const auto name = p.begin_message(interned_data::EVENT_NAMES);
  p.uint_field(interned_entry::IID, iid);
  p.string_field(interned_entry::NAME, info ? std::string_view(info->qualname) : UNKNOWN_CODE_NAME);
  p.end_message(name);
  if (info) {
    const auto loc = p.begin_message(interned_data::SOURCE_LOCATIONS);
    p.uint_field(interned_entry::IID, iid);
    p.string_field(interned_entry::FILE_NAME, info->filename);
    p.uint_field(interned_entry::LINE_NUMBER, info->first_line);
    p.end_message(loc);
  }
  p.end_message(interned);
  p.uint_field(packet::SEQUENCE_FLAGS, SEQ_NEEDS_INCREMENTAL_STATE);
  emit_packet();

  seq.interned.emplace(code, Interned{iid, has_location});
  return iid;
}

TailSpan ProtoExporter::build_tail(Sequence& seq, std::uint64_t key, bool begin, std::uint32_t code,
                                   const CodeLookup& codes) {
  std::uint8_t te[MAX_TRACK_EVENT_BYTES];
  std::uint8_t* q = te;
  *q++ = TAG_TYPE;
  *q++ = static_cast<std::uint8_t>(begin ? TYPE_SLICE_BEGIN : TYPE_SLICE_END);
  if (begin) {
    bool has_location = false;
    const std::uint64_t iid = intern(seq, code, codes, has_location);
    *q++ = TAG_CATEGORY_IIDS;
    *q++ = static_cast<std::uint8_t>(CATEGORY_IID);
    *q++ = TAG_NAME_IID;
    q = put_varint(q, iid);
    if (has_location) {
      *q++ = TAG_SOURCE_LOCATION_IID[0];
      *q++ = TAG_SOURCE_LOCATION_IID[1];
      q = put_varint(q, iid);
    }
  }
  const auto te_len = static_cast<std::size_t>(q - te);

  const std::size_t offset = arena_.size();
  arena_.append(seq.header.data(), seq.header_len);
  arena_.push(TAG_TRACK_EVENT);
  arena_.varint(te_len);
  arena_.append(te, te_len);
  // Offsets are 32-bit; an arena past 4 GiB would need ~10^8 cached tails.
  if (arena_.size() > std::numeric_limits<std::uint32_t>::max()) std::abort();
  // Events copy a fixed MAX_TAIL_BYTES from a tail's start (a constant-size
  // copy is a few moves, not a call); keep that much allocated past the end.
  arena_.claim(MAX_TAIL_BYTES);
  const TailSpan span{static_cast<std::uint32_t>(offset),
                      static_cast<std::uint32_t>(arena_.size() - offset)};
  tails_.insert(key, span);
  return span;
}

IoStatus ProtoExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                    const ThreadNames& threads) {
  ensure_process();
  batch_.clear();

  // A batch holds one thread's events, so the sequence is looked up again
  // only when the thread changes.
  Sequence* seq = nullptr;
  std::uint32_t seq_tid = 0;
  for (const Event& ev : events) {
    if (seq == nullptr || ev.tid != seq_tid) {
      auto it = sequences_.find(ev.tid);
      seq = it != sequences_.end() ? &it->second : &new_sequence(ev.tid, threads);
      seq_tid = ev.tid;
    }
    const bool begin = is_begin(word_kind(ev.code_kind));
    const std::uint32_t code = word_code(ev.code_kind);
    const std::uint64_t key = begin ? begin_tail_key(ev.tid, code) : end_tail_key(ev.tid);
    const TailSpan* found = tails_.find(key);
    const TailSpan tail = found ? *found : build_tail(*seq, key, begin, code, codes);

    std::uint8_t* p = batch_.claim(MAX_FRAME_BYTES + MAX_TAIL_BYTES);
    *p++ = TAG_PACKET;
    p = put_varint(p, 1 + varint_size(ev.ts_ns) + tail.length);
    *p++ = TAG_TIMESTAMP;
    p = put_varint(p, ev.ts_ns);
    std::memcpy(p, arena_.data() + tail.offset, MAX_TAIL_BYTES);
    batch_.commit(p + tail.length);
  }

  file_.write(batch_.data(), batch_.size());
  return file_.flush();
}

IoStatus ProtoExporter::finish(const CodeLookup& /*codes*/, const ThreadNames& /*threads*/,
                               std::uint64_t dropped) {
  if (dropped > 0) {
    ensure_process();
    Buffer& p = packet_;
    p.clear();
    packet_head(p, process_sequence_id());
    const auto te = p.begin_message(packet::TRACK_EVENT);
    p.uint_field(track_event::TYPE, TYPE_INSTANT);
    p.uint_field(track_event::TRACK_UUID, process_uuid_);
    p.string_field(track_event::CATEGORIES, CATEGORY);
    p.string_field(track_event::CATEGORIES, DROPPED_CATEGORY);
    std::string name = "fennik: ";
    name += std::to_string(dropped);
    name += " events dropped";
    p.string_field(track_event::NAME, name);
    p.end_message(te);
    emit_packet();
  }
  return file_.flush();
}

}  // namespace fennik
