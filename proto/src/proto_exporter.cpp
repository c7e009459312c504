#include "proto_exporter.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "short_calls.hpp"
#include "trace_fields.hpp"

namespace fennik {
namespace {

using wire::MAX_VARINT_BYTES;
using wire::put_varint;
using wire::varint_size;
using wire::Writer;

using namespace trace_fields;

// Event timestamps are in the trace's default clock. Each thread sequence
// counts them on a clock of its own, the first of the sequence-scoped ids,
// incremental: an event packet holds the nanoseconds since the sequence's
// previous timestamp, which takes one or two bytes where the absolute value
// takes five or more. The sequence's snapshot reads both clocks at zero.
constexpr std::uint64_t TRACE_CLOCK_ID = 6;  // BOOTTIME, the default clock of a trace
constexpr std::uint64_t SEQUENCE_CLOCK_ID = 64;

constexpr std::uint64_t SEQ_INCREMENTAL_STATE_CLEARED = 1;
constexpr std::uint64_t SEQ_NEEDS_INCREMENTAL_STATE = 2;

// Single-byte tags of the hand-assembled event packets.
constexpr char TAG_PACKET = 0x0A;                                 // Trace.packet, length-delimited
constexpr char TAG_TIMESTAMP = 0x40;                              // 8, varint
constexpr char TAG_SEQUENCE_ID = 0x50;                            // 10, varint
constexpr char TAG_TRACK_EVENT = 0x5A;                            // 11, length-delimited
constexpr char TAG_TYPE = 0x48;                                   // TrackEvent 9, varint
constexpr char TAG_NAME_IID = 0x50;                               // TrackEvent 10, varint
constexpr std::uint8_t TAG_SOURCE_LOCATION_IID[] = {0x90, 0x02};  // TrackEvent 34, varint
static_assert(TAG_PACKET == wire::make_tag(trace::PACKET, wire::WireType::Len));
static_assert(TAG_TIMESTAMP == wire::make_tag(packet::TIMESTAMP, wire::WireType::Varint));
static_assert(TAG_SEQUENCE_ID ==
              wire::make_tag(packet::TRUSTED_PACKET_SEQUENCE_ID, wire::WireType::Varint));
static_assert(TAG_TRACK_EVENT == wire::make_tag(packet::TRACK_EVENT, wire::WireType::Len));
static_assert(TAG_TYPE == wire::make_tag(track_event::TYPE, wire::WireType::Varint));
static_assert(TAG_NAME_IID == wire::make_tag(track_event::NAME_IID, wire::WireType::Varint));
static_assert(wire::make_tag(track_event::SOURCE_LOCATION_IID, wire::WireType::Varint) ==
              (TAG_SOURCE_LOCATION_IID[0] & 0x7F) + (TAG_SOURCE_LOCATION_IID[1] << 7));

// The one event category, interned on every thread sequence. Function slices
// leave it out: it would be the same two bytes on every one of them.
constexpr std::uint64_t CATEGORY_IID = 1;
constexpr std::string_view CATEGORY = "py";
constexpr std::string_view DROPPED_CATEGORY = "dropped";
constexpr std::string_view STATS_CATEGORY = "stats";
constexpr std::string_view PAUSE_CATEGORY = "pause";
constexpr std::string_view PROCESS_NAME = "python";
constexpr std::string_view PROCESS_TRACK_PREFIX = "python:";
constexpr char PARENT_LABEL_PREFIX[] = "parent pid ";
constexpr std::string_view UNKNOWN_CODE_NAME = "<unknown>";

// Common packet head of every whole-message packet: its sequence id. Only
// events carry a time on a thread sequence, where a timestamp would move the
// sequence's clock.
void packet_head(Writer& p, std::uint32_t sequence_id) {
  p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, sequence_id);
}

}  // namespace

ProtoExporter::ProtoExporter(SharedFile file)
    : file_(std::move(file)), pid_(static_cast<std::uint32_t>(::getpid())) {
  process_uuid_ = (std::uint64_t{pid_} << 32) | 1;
}

std::uint32_t ProtoExporter::thread_sequence_id(std::uint32_t slot) const noexcept {
  if (slot < PROTO_BLOCK_THREAD_IDS) {
    return (sequence_base_ << PROTO_SEQUENCE_BLOCK_SHIFT) + 2 + slot;
  }
  return PROTO_OVERFLOW_FIRST_ID + sequence_base_ * PROTO_OVERFLOW_IDS_PER_TAG +
         (slot - PROTO_BLOCK_THREAD_IDS);
}

void ProtoExporter::ensure_process(const ThreadNames& threads) {
  ProcessLabel label = threads.process();
  if (process_announced_ && label == label_) return;
  const bool first = !process_announced_;
  process_announced_ = true;
  label_ = std::move(label);
  Writer p(file_.buffer());
  // Described again, with no sequence flags, when the label grows.
  const auto record = p.begin_message(trace::PACKET);
  p.uint_field(packet::TIMESTAMP, 0);
  packet_head(p, process_sequence_id());
  const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
  p.uint_field(track_descriptor::UUID, process_uuid_);
  std::string name(PROCESS_TRACK_PREFIX);
  name += std::to_string(pid_);
  p.string_field(track_descriptor::NAME, name);
  const auto pd = p.begin_message(track_descriptor::PROCESS);
  p.uint_field(process_descriptor::PID, pid_);
  if (!label_.command_line.empty()) {
    p.string_field(process_descriptor::CMDLINE, label_.command_line);
  }
  const std::string shown = label_.shown();
  p.string_field(process_descriptor::PROCESS_NAME, shown.empty() ? PROCESS_NAME : shown);
  // Labels are what a reader shows of the rest (it takes no command line
  // from a descriptor, nor a parent without a process table).
  if (!label_.role.empty() && !label_.command_line.empty()) {
    p.string_field(process_descriptor::PROCESS_LABELS, label_.command_line);
  }
  if (label_.parent_pid != 0) {
    p.string_field(process_descriptor::PROCESS_LABELS,
                   PARENT_LABEL_PREFIX + std::to_string(label_.parent_pid));
  }
  p.end_message(pd);
  p.end_message(td);
  if (first) p.uint_field(packet::SEQUENCE_FLAGS, SEQ_INCREMENTAL_STATE_CLEARED);
  p.end_message(record);
}

void ProtoExporter::write_thread_track(Writer& p, std::uint64_t track_uuid, std::uint32_t tid,
                                       const std::optional<std::string>& name) const {
  const auto td = p.begin_message(packet::TRACK_DESCRIPTOR);
  p.uint_field(track_descriptor::UUID, track_uuid);
  const auto thread = p.begin_message(track_descriptor::THREAD);
  p.uint_field(thread_descriptor::PID, pid_);
  // A tid is an unsigned 32-bit value; as a plain varint it reads back
  // unchanged through the schema's 64-bit field.
  p.uint_field(thread_descriptor::TID, tid);
  if (name) p.string_field(thread_descriptor::THREAD_NAME, *name);
  p.end_message(thread);
  p.uint_field(track_descriptor::PARENT_UUID, process_uuid_);
  p.end_message(td);
}

void ProtoExporter::name_late(Sequence& seq, std::uint32_t tid, const ThreadNames& threads) {
  if (seq.named) return;
  const std::optional<std::string> name = threads.name(tid);
  if (!name) return;
  seq.named = true;
  // The same track described again, now with its name: no sequence flags, so
  // the interned data and defaults the sequence's events rely on stay.
  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  packet_head(p, seq.sequence_id);
  write_thread_track(p, seq.track_uuid, tid, name);
  p.end_message(record);
}

ProtoExporter::Sequence* ProtoExporter::sequence_for(std::uint32_t tid,
                                                     const ThreadNames& threads) {
  if (auto it = sequences_.find(tid); it != sequences_.end()) {
    // A thread may record before the interpreter has registered its name.
    name_late(it->second, tid, threads);
    return &it->second;
  }

  std::uint32_t slot;
  if (!free_slots_.empty()) {
    std::pop_heap(free_slots_.begin(), free_slots_.end(), std::greater<>());
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else if (next_slot_ < PROTO_MAX_LIVE_THREADS) {
    slot = next_slot_++;
  } else {
    return nullptr;
  }
  const std::uint32_t sequence_id = thread_sequence_id(slot);
  // Every thread incarnation gets a track of its own, so a new thread that
  // reuses an exited one's id starts with a fresh name and no open slices.
  const std::uint64_t track_uuid = process_uuid_ + 1 + threads_seen_++;
  const std::optional<std::string> thread_name = threads.name(tid);

  // The descriptor clears the sequence's incremental state: a sequence id
  // that served an ended thread starts again from nothing.
  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  packet_head(p, sequence_id);
  write_thread_track(p, track_uuid, tid, thread_name);
  const auto interned = p.begin_message(packet::INTERNED_DATA);
  const auto category = p.begin_message(interned_data::EVENT_CATEGORIES);
  p.uint_field(interned_entry::IID, CATEGORY_IID);
  p.string_field(interned_entry::NAME, CATEGORY);
  p.end_message(category);
  p.end_message(interned);
  p.uint_field(packet::SEQUENCE_FLAGS, SEQ_INCREMENTAL_STATE_CLEARED);
  write_defaults(p, track_uuid);
  p.end_message(record);
  // The snapshot goes in a packet of its own: a reader takes nothing else
  // from a packet that holds one.
  const auto snapshot_record = p.begin_message(trace::PACKET);
  packet_head(p, sequence_id);
  const auto snapshot = p.begin_message(packet::CLOCK_SNAPSHOT);
  const auto trace_clock = p.begin_message(clock_snapshot::CLOCKS);
  p.uint_field(clock_snapshot::CLOCK_ID, TRACE_CLOCK_ID);
  p.uint_field(clock_snapshot::TIMESTAMP, 0);
  p.end_message(trace_clock);
  const auto sequence_clock = p.begin_message(clock_snapshot::CLOCKS);
  p.uint_field(clock_snapshot::CLOCK_ID, SEQUENCE_CLOCK_ID);
  p.uint_field(clock_snapshot::TIMESTAMP, 0);
  p.uint_field(clock_snapshot::IS_INCREMENTAL, 1);
  p.end_message(sequence_clock);
  p.end_message(snapshot);
  p.end_message(snapshot_record);

  // Event packets name their sequence and nothing more: no flags. The one
  // that marks a packet as relying on the sequence's state only lets a reader
  // skip packets whose state was lost, and a sequence here begins with its
  // state cleared and loses none of its packets after.
  Sequence& seq = sequences_[tid];
  char* h = seq.header.data();
  *h++ = TAG_SEQUENCE_ID;
  h = put_varint(h, sequence_id);
  seq.header_len = static_cast<std::uint8_t>(h - seq.header.data());
  seq.sequence_id = sequence_id;
  seq.slot = slot;
  seq.track_uuid = track_uuid;
  seq.named = thread_name.has_value();
  seq.tails_epoch = epoch_;
  return &seq;
}

void ProtoExporter::write_defaults(Writer& p, std::uint64_t track_uuid) {
  const auto pd = p.begin_message(packet::TRACE_PACKET_DEFAULTS);
  p.uint_field(defaults::TIMESTAMP_CLOCK_ID, SEQUENCE_CLOCK_ID);
  const auto ted = p.begin_message(defaults::TRACK_EVENT_DEFAULTS);
  p.uint_field(defaults::TRACK_UUID, track_uuid);
  p.end_message(ted);
  p.end_message(pd);
}

const ProtoExporter::Resolved& ProtoExporter::resolve(std::uint32_t code, const CodeLookup& codes) {
  auto [it, inserted] = resolved_.try_emplace(code);
  Resolved& r = it->second;
  if (inserted) {
    r = Resolved{codes.code(code), epoch_, 0};
  } else if (r.epoch != epoch_) {
    // An id may have passed to another code since it was read: read it again,
    // and only a real change costs new interning.
    std::optional<CodeInfo> now = codes.code(code);
    if (now != r.info) {
      r.info = std::move(now);
      ++r.version;
    }
    r.epoch = epoch_;
  }
  return r;
}

std::uint64_t ProtoExporter::intern(Sequence& seq, std::uint32_t code, const CodeLookup& codes,
                                    bool& has_location) {
  const Resolved& r = resolve(code, codes);
  auto [it, inserted] = seq.interned.try_emplace(code);
  if (!inserted && it->second.version == r.version) {
    has_location = it->second.has_location;
    return it->second.iid;
  }
  // Fresh iids only: an iid once used on a sequence keeps its meaning there.
  const std::uint64_t iid =
      seq.next_short_iid <= PROTO_FIRST_COME_IIDS ? seq.next_short_iid++ : seq.next_iid++;
  has_location = r.info.has_value();
  it->second = Interned{iid, r.version, has_location};
  write_interned(seq, iid, r);
  return iid;
}

void ProtoExporter::write_interned(const Sequence& seq, std::uint64_t iid, const Resolved& r) {
  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  packet_head(p, seq.sequence_id);
  const auto interned = p.begin_message(packet::INTERNED_DATA);
  const auto name = p.begin_message(interned_data::EVENT_NAMES);
  p.uint_field(interned_entry::IID, iid);
  p.string_field(interned_entry::NAME,
                 r.info ? std::string_view(r.info->qualname) : UNKNOWN_CODE_NAME);
  p.end_message(name);
  if (r.info) {
    const auto loc = p.begin_message(interned_data::SOURCE_LOCATIONS);
    p.uint_field(interned_entry::IID, iid);
    p.string_field(interned_entry::FILE_NAME, r.info->filename);
    p.uint_field(interned_entry::LINE_NUMBER, r.info->first_line);
    p.end_message(loc);
  }
  p.end_message(interned);
  p.uint_field(packet::SEQUENCE_FLAGS, SEQ_NEEDS_INCREMENTAL_STATE);
  p.end_message(record);
}

ProtoExporter::TailSpan ProtoExporter::promote(Sequence& seq, std::uint32_t code, TailSpan& cached,
                                               const CodeLookup& codes) {
  const auto it = seq.interned.find(code);
  const Resolved& r = resolve(code, codes);
  // Tails are dropped when an id is reused, so the cached one still names
  // what was last read; should it not, the code keeps its long iid.
  if (seq.next_short_iid < PROTO_ONE_BYTE_IID_END && it != seq.interned.end() &&
      it->second.version == r.version) {
    it->second.iid = seq.next_short_iid++;
    write_interned(seq, it->second.iid, r);
    cached = put_tail(seq, true, it->second.iid, it->second.has_location);
  }
  return cached;
}

ProtoExporter::TailSpan ProtoExporter::tail_for(Sequence& seq, bool begin, std::uint32_t code,
                                                const CodeLookup& codes) {
  if (!begin) {
    if (seq.end_tail.length == 0) seq.end_tail = put_tail(seq, false, 0, false);
    return seq.end_tail;
  }
  if (const TailSpan* found = seq.tails.find(code)) return *found;
  bool has_location = false;
  const std::uint64_t iid = intern(seq, code, codes, has_location);
  return seq.tails.insert(code, put_tail(seq, true, iid, has_location));
}

ProtoExporter::TailSpan ProtoExporter::put_tail(Sequence& seq, bool begin, std::uint64_t iid,
                                                bool has_location) {
  char te[MAX_TRACK_EVENT_BYTES];
  char* q = te;
  *q++ = TAG_TYPE;
  *q++ = static_cast<char>(begin ? TYPE_SLICE_BEGIN : TYPE_SLICE_END);
  if (begin) {
    *q++ = TAG_NAME_IID;
    q = put_varint(q, iid);
    if (has_location) {
      *q++ = static_cast<char>(TAG_SOURCE_LOCATION_IID[0]);
      *q++ = static_cast<char>(TAG_SOURCE_LOCATION_IID[1]);
      q = put_varint(q, iid);
    }
  }
  const auto te_len = static_cast<std::size_t>(q - te);

  ByteBuffer& arena = seq.arena;
  const std::size_t offset = arena.size();
  char* a = arena.claim(MAX_TAIL_BYTES);
  a = put_bytes(a, {seq.header.data(), seq.header_len});
  *a++ = TAG_TRACK_EVENT;
  *a++ = static_cast<char>(te_len);  // below 0x80: one length byte
  arena.commit(put_bytes(a, {te, te_len}));
  // Events copy a fixed MAX_TAIL_BYTES from a tail's start (a constant-size
  // copy is a few moves, not a call); keep that much allocated past the end.
  arena.claim(MAX_TAIL_BYTES);
  const bool promotable =
      begin && iid >= PROTO_ONE_BYTE_IID_END && seq.next_short_iid < PROTO_ONE_BYTE_IID_END;
  return TailSpan{static_cast<std::uint32_t>(offset),
                  static_cast<std::uint16_t>(arena.size() - offset),
                  promotable ? PROTO_PROMOTE_AFTER_BEGINS : std::uint16_t{0}};
}

std::uint64_t ProtoExporter::Sequence::advance_clock(std::uint64_t ts) noexcept {
  // A thread's times never run backwards; were one to, it would read as the
  // time before it rather than as a delta of nearly 2^64.
  const std::uint64_t delta = ts > clock_ns ? ts - clock_ns : 0;
  clock_ns += delta;
  return delta;
}

inline char* ProtoExporter::put_event(char* p, const char* tail, std::uint32_t tail_len,
                                      std::uint64_t delta) noexcept {
  if (delta < 0x80) {
    // Most events: a one-byte delta, and a packet below 0x80 bytes (tails are).
    static_assert(2 + MAX_TAIL_BYTES < 0x80);
    if constexpr (std::endian::native == std::endian::little) {
      // The four bytes as one word: a store, not four.
      const std::uint32_t frame = std::uint32_t{static_cast<std::uint8_t>(TAG_PACKET)} |
                                  (static_cast<std::uint32_t>(2 + tail_len) << 8) |
                                  (std::uint32_t{static_cast<std::uint8_t>(TAG_TIMESTAMP)} << 16) |
                                  (static_cast<std::uint32_t>(delta) << 24);
      std::memcpy(p, &frame, sizeof frame);
      p += sizeof frame;
    } else {
      const char frame[] = {TAG_PACKET, static_cast<char>(2 + tail_len), TAG_TIMESTAMP,
                            static_cast<char>(delta)};
      std::memcpy(p, frame, sizeof frame);
      p += sizeof frame;
    }
  } else {
    *p++ = TAG_PACKET;
    p = put_varint(p, 1 + varint_size(delta) + tail_len);
    *p++ = TAG_TIMESTAMP;
    p = put_varint(p, delta);
  }
  // A constant-size copy is a few moves, not a call; the arena keeps that
  // much allocated past every tail.
  std::memcpy(p, tail, MAX_TAIL_BYTES);
  return p + tail_len;
}

void ProtoExporter::frame_event(ByteBuffer& out, Sequence& seq, TailSpan tail, std::uint64_t ts) {
  const std::uint64_t delta = seq.advance_clock(ts);
  out.commit(put_event(out.claim(MAX_EVENT_PACKET_BYTES), seq.arena.data() + tail.offset,
                       tail.length, delta));
}

IoStatus ProtoExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                    const ThreadNames& threads) {
  ensure_process(threads);
  // Read before any lookup of this batch: a reuse racing with the batch is
  // then seen, at the latest, by the next one.
  if (const std::uint64_t g = codes.reuse_generation(); g != reuse_generation_) {
    reuse_generation_ = g;
    ++epoch_;
  }

  // A batch holds one thread's events: one sequence for all of them.
  Sequence* seq = events.empty() ? nullptr : sequence_for(events.front().tid, threads);
  if (seq != nullptr && seq->tails_epoch != epoch_) {
    // Cached tails name codes by iid as resolved before the reuse.
    seq->tails.clear();
    seq->end_tail = {};
    seq->arena.clear();
    seq->tails_epoch = epoch_;
  }
  if (seq == nullptr) {
    unplaced_events_ += events.size();  // no sequence id free: counted with the dropped events
    return file_.flush_if_full();
  }
  // Event packets go straight into the file's buffer, after any descriptor
  // and interning packet they need (written as they arise, in between). They
  // are written into room claimed for the rest of the batch at once, with
  // the sequence's clock, open count and last time in locals (what goes
  // through a char pointer could alias any member); anything else written in
  // between takes them back first.
  ByteBuffer& out = file_.buffer();
  std::uint64_t open = seq->open_slices;
  std::uint64_t clock = seq->clock_ns;
  std::uint64_t last = seq->last_ts;
  // The tails' table and arena as locals too, taken again whenever a tail
  // may have been added.
  FlatMap<std::uint64_t, TailSpan>::View tails = seq->tails.view();
  const char* arena = seq->arena.data();
  char* p = nullptr;
  const auto settle = [&] {
    if (p != nullptr) out.commit(p);
    p = nullptr;
    seq->open_slices = open;
    seq->clock_ns = clock;
    seq->last_ts = last;
  };
  const Event* const first = events.data();
  const std::size_t n = events.size();
  // Room for every event packet left, claimed again after anything written
  // in between, so that the loop never asks whether it has room.
  const auto reclaim = [&](std::size_t from) {
    p = out.claim((n - from) * MAX_EVENT_PACKET_BYTES);
    tails = seq->tails.view();
    arena = seq->arena.data();
  };
  reclaim(0);
  for (std::size_t i = 0; i < n; ++i) {
    const Event& ev = first[i];
    const std::uint8_t kind = word_kind(ev.code_kind);
    const std::int8_t step = DEPTH_STEP[kind];
    const bool end = step < 0;       // as is_end, in one load shared with the count below
    if (end && open == 0) continue;  // ends_nothing_open
    if (is_annotation(kind)) {
      settle();
      const std::size_t args = arg_words_at(events, i + 1);
      if (kind != KIND_ARG) write_annotation(*seq, ev, events.subspan(i + 1, args), codes);
      i += args;
      clock = seq->clock_ns;
      reclaim(i);
    } else {
      // A begin's slice is as deep as the count open before it, an end's one
      // less. Depths move by one, so a slice is in its predecessor's band
      // unless it is a band's first begin or an end leaving a band: the
      // count open is then a whole number of bands.
      if (open % PROTO_BAND_DEPTH == 0) [[unlikely]] {
        const std::uint64_t depth = open - std::uint64_t{end};
        if (depth / PROTO_BAND_DEPTH != seq->band) {
          settle();
          to_band(*seq, depth);
          reclaim(i);
        }
      }
      const std::uint32_t code = word_code(ev.code_kind);
      TailSpan* cached =
          end ? (seq->end_tail.length != 0 ? &seq->end_tail : nullptr) : tails.find(code);
      TailSpan tail;
      if (cached != nullptr && cached->begins_to_promotion == 0) [[likely]] {
        tail = *cached;
      } else if (cached != nullptr && --cached->begins_to_promotion != 0) {
        tail = *cached;
      } else {
        settle();  // interning writes a packet of its own
        tail = cached != nullptr ? promote(*seq, code, *cached, codes)
                                 : tail_for(*seq, !end, code, codes);
        reclaim(i);
      }
      const std::uint64_t delta = ev.ts_ns > clock ? ev.ts_ns - clock : 0;  // as advance_clock
      clock += delta;
      p = put_event(p, arena + tail.offset, tail.length, delta);
    }
    last = ev.ts_ns;
    open += static_cast<std::uint64_t>(std::int64_t{step});
  }
  settle();
  return file_.flush_if_full();
}

void ProtoExporter::end_open_slices(Sequence& seq, std::uint64_t ts, const CodeLookup& codes) {
  if (seq.open_slices == 0) return;
  const TailSpan end = tail_for(seq, false, 0, codes);
  for (; seq.open_slices > 0; --seq.open_slices) {
    to_band(seq, seq.open_slices - 1);
    frame_event(file_.buffer(), seq, end, ts);
  }
}

IoStatus ProtoExporter::write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                                  const CodeLookup& codes, const ThreadNames& threads) {
  ensure_process(threads);
  Sequence* seq = sequence_for(tid, threads);
  if (seq == nullptr) return file_.flush_if_full();  // the lost events are counted already
  // What was open ends where the thread's record breaks off; ends of those
  // frames after the gap then meet no open slice and are left out, like ends
  // of calls begun before the session.
  const std::uint64_t ts = std::max(ts_ns, seq->last_ts);
  end_open_slices(*seq, ts, codes);
  seq->last_ts = ts;
  to_band(*seq, 0);

  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  p.uint_field(packet::TIMESTAMP, seq->advance_clock(ts));
  p.buffer().append(std::string_view(seq->header.data(), seq->header_len));
  const auto te = p.begin_message(packet::TRACK_EVENT);
  p.uint_field(track_event::TYPE, TYPE_INSTANT);
  p.string_field(track_event::CATEGORIES, CATEGORY);
  p.string_field(track_event::CATEGORIES, DROPPED_CATEGORY);
  std::string name = "fennik: ";
  name += std::to_string(count);
  name += " events lost";
  p.string_field(track_event::NAME, name);
  p.end_message(te);
  p.end_message(record);
  return file_.flush_if_full();
}

IoStatus ProtoExporter::end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                                    const ThreadNames& /*threads*/) {
  auto it = sequences_.find(tid);
  if (it == sequences_.end()) return IO_OK;
  it->second.last_ts = std::max(ts_ns, it->second.last_ts);
  end_open_slices(it->second, it->second.last_ts, codes);
  return file_.flush_if_full();
}

IoStatus ProtoExporter::end_thread(std::uint32_t tid, const CodeLookup& codes,
                                   const ThreadNames& threads) {
  auto it = sequences_.find(tid);
  if (it == sequences_.end()) return IO_OK;
  Sequence& seq = it->second;
  name_late(seq, tid, threads);  // its name goes once this returns
  // Slices still open end with the thread's last event: nothing of the
  // thread ran after it that the trace knows of.
  end_open_slices(seq, seq.last_ts, codes);
  free_slots_.push_back(seq.slot);
  std::push_heap(free_slots_.begin(), free_slots_.end(), std::greater<>());
  sequences_.erase(it);
  return file_.flush_if_full();
}

void ProtoExporter::process_instant(std::string_view category, std::string_view name,
                                    std::uint64_t ts) {
  Writer p(file_.buffer());
  const auto record = p.begin_message(trace::PACKET);
  p.uint_field(packet::TIMESTAMP, ts);
  p.uint_field(packet::TRUSTED_PACKET_SEQUENCE_ID, process_sequence_id());
  const auto te = p.begin_message(packet::TRACK_EVENT);
  p.uint_field(track_event::TYPE, TYPE_INSTANT);
  p.uint_field(track_event::TRACK_UUID, process_uuid_);
  p.string_field(track_event::CATEGORIES, CATEGORY);
  p.string_field(track_event::CATEGORIES, category);
  p.string_field(track_event::NAME, name);
  p.end_message(te);
  p.end_message(record);
}

IoStatus ProtoExporter::finish(const CodeLookup& /*codes*/, const ThreadNames& threads,
                               const RunStats& stats) {
  ensure_process(threads);
  for (auto& [tid, seq] : sequences_) name_late(seq, tid, threads);
  const std::uint64_t dropped = stats.dropped + unplaced_events_;
  if (dropped > 0) {
    process_instant(DROPPED_CATEGORY, "fennik: " + std::to_string(dropped) + " events dropped");
  }
  for (const Pause& pause : stats.pauses) {
    process_instant(PAUSE_CATEGORY, "fennik: paused", pause.from_ns);
    if (pause.to_ns) process_instant(PAUSE_CATEGORY, "fennik: resumed", *pause.to_ns);
  }
  process_instant(STATS_CATEGORY, "fennik: peak buffered memory " +
                                      std::to_string(stats.peak_buffered_bytes) + " bytes");
  if (stats.min_duration_ns > 0) {
    process_instant(STATS_CATEGORY,
                    short_calls_statement(stats.short_calls_left_out, stats.min_duration_ns));
  }
  return file_.flush();
}

}  // namespace fennik
