#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "event_packet.hpp"
#include "flat_map.hpp"
#include "readers.hpp"
#include "wire_reader.hpp"

namespace fennik::report {
namespace {

// Field numbers of Perfetto's trace schema read here.
namespace packet {
constexpr std::uint32_t CLOCK_SNAPSHOT = 6, TIMESTAMP = 8, SEQUENCE_ID = 10, TRACK_EVENT = 11,
                        INTERNED_DATA = 12, SEQUENCE_FLAGS = 13, STATE_CLEARED = 41,
                        TIMESTAMP_CLOCK_ID = 58, DEFAULTS = 59, TRACK_DESCRIPTOR = 60;
}
namespace event {
constexpr std::uint32_t TYPE = 9, NAME_IID = 10, TRACK_UUID = 11, NAME = 23, SOURCE_LOCATION = 33,
                        SOURCE_LOCATION_IID = 34;
constexpr std::uint64_t SLICE_BEGIN = 1, SLICE_END = 2, INSTANT = 3;
}  // namespace event
namespace descriptor {
constexpr std::uint32_t UUID = 1, PROCESS = 3, THREAD = 4, PARENT_UUID = 5;
constexpr std::uint32_t PID = 1, TID = 2, THREAD_NAME = 5;
}  // namespace descriptor
namespace interned {
constexpr std::uint32_t EVENT_NAMES = 2, SOURCE_LOCATIONS = 4;
constexpr std::uint32_t IID = 1, NAME = 2, FILE_NAME = 2, LINE_NUMBER = 4;
}  // namespace interned
namespace clock {
constexpr std::uint32_t CLOCKS = 1, ID = 1, TIMESTAMP = 2, INCREMENTAL = 3, MULTIPLIER = 4;
constexpr std::uint64_t FIRST_SEQUENCE_SCOPED = 64;
}  // namespace clock
constexpr std::uint32_t DEFAULTS_TRACK_EVENT = 11, DEFAULTS_TRACK_UUID = 11;
constexpr std::uint64_t SEQ_INCREMENTAL_STATE_CLEARED = 1;
constexpr std::uint8_t TAG_PACKET = 0x0A;  // Trace.packet, length-delimited
constexpr std::uint64_t NO_THREAD = ~std::uint64_t{0};
// No packet of a trace comes near this; a length past it is a damaged file.
constexpr std::uint64_t MAX_PACKET_BYTES = std::uint64_t{1} << 30;

struct SequenceClock {
  std::uint64_t id;
  bool incremental;
  std::uint64_t multiplier;
  std::uint64_t last;    // in the clock's own units
  std::uint64_t offset;  // trace time of the clock's zero (mod 2^64)
};

// A packet sequence's incremental state.
struct Sequence {
  std::unordered_map<std::uint64_t, std::string> names;
  std::unordered_map<std::uint64_t, std::pair<std::string, std::uint32_t>> locations;
  FlatMap<std::uint64_t, std::uint32_t> functions;  // (name iid, location iid) -> function
  std::uint64_t default_track = 0;
  std::uint64_t default_clock = 0;
  std::vector<SequenceClock> clocks;
};

struct Track {
  std::uint64_t thread = NO_THREAD;  // a CallTable thread
  std::uint32_t pid = 0;
  bool process = false;
};

class PerfettoReader {
 public:
  explicit PerfettoReader(CallTable& table) : table_(table) {}
  bool packet(const std::uint8_t* p, const std::uint8_t* end);

 private:
  Sequence& sequence(std::uint32_t id, bool cleared) {
    if (id == last_sequence_id_ && !cleared) return sequences_[last_sequence_];
    return other_sequence(id, cleared);
  }
  Sequence& other_sequence(std::uint32_t id, bool cleared);
  std::uint64_t trace_time(Sequence& seq, std::uint64_t ts, std::uint64_t clock_id);
  void clock_snapshot(Sequence& seq, const Field& f);
  void defaults(Sequence& seq, const Field& f);
  bool intern(Sequence& seq, const Field& f);
  bool describe(const Field& f);
  bool track_event(Sequence& seq, const Field& f, std::uint64_t ts);
  void slice(Sequence& seq, std::uint64_t type, std::uint64_t track, std::uint64_t name_iid,
             std::string_view name, std::uint64_t location_iid, const Field* location,
             std::uint64_t ts);
  std::uint32_t function(Sequence& seq, std::uint64_t name_iid, std::string_view name,
                         std::uint64_t location_iid, const Field* location);
  std::uint32_t thread_of(std::uint64_t uuid, bool& process);

  CallTable& table_;
  FlatMap<std::uint32_t, std::uint32_t> sequence_index_;
  std::vector<Sequence> sequences_;
  std::uint32_t last_sequence_id_ = ~0u, last_sequence_ = 0;
  std::unordered_map<std::uint64_t, Track> tracks_;
  std::uint64_t last_uuid_ = 0;
  Track last_track_;
};

Sequence& PerfettoReader::other_sequence(std::uint32_t id, bool cleared) {
  {
    if (const std::uint32_t* found = sequence_index_.find(id)) {
      last_sequence_ = *found;
    } else {
      last_sequence_ = static_cast<std::uint32_t>(sequences_.size());
      sequences_.emplace_back();
      sequence_index_.insert(id, last_sequence_);
    }
    last_sequence_id_ = id;
  }
  Sequence& seq = sequences_[last_sequence_];
  if (cleared) seq = Sequence();
  return seq;
}

std::uint64_t PerfettoReader::trace_time(Sequence& seq, std::uint64_t ts, std::uint64_t clock_id) {
  if (clock_id < clock::FIRST_SEQUENCE_SCOPED) return ts;  // a global clock: trace time
  for (SequenceClock& c : seq.clocks) {
    if (c.id != clock_id) continue;
    if (c.incremental) ts = c.last += ts;
    return ts * c.multiplier + c.offset;
  }
  return ts;
}

void PerfettoReader::clock_snapshot(Sequence& seq, const Field& f) {
  std::vector<SequenceClock> scoped;
  std::optional<std::uint64_t> reference;  // a global clock's reading: trace time
  Field c, v;
  for (Fields fs(f); fs.next(c);) {
    if (c.number != clock::CLOCKS || c.type != LEN) continue;
    SequenceClock sc{0, false, 1, 0, 0};
    for (Fields cf(c); cf.next(v);) {
      if (v.number == clock::ID) sc.id = v.value;
      if (v.number == clock::TIMESTAMP) sc.last = v.value;
      if (v.number == clock::INCREMENTAL) sc.incremental = v.value != 0;
      if (v.number == clock::MULTIPLIER && v.value != 0) sc.multiplier = v.value;
    }
    if (sc.id >= clock::FIRST_SEQUENCE_SCOPED) {
      scoped.push_back(sc);
    } else if (!reference) {
      reference = sc.last * sc.multiplier;
    }
  }
  for (SequenceClock& sc : scoped) {
    sc.offset = reference.value_or(0) - sc.last * sc.multiplier;
    std::erase_if(seq.clocks, [&](const SequenceClock& o) { return o.id == sc.id; });
    seq.clocks.push_back(sc);
  }
}

void PerfettoReader::defaults(Sequence& seq, const Field& f) {
  Field d, e;
  for (Fields fs(f); fs.next(d);) {
    if (d.number == packet::TIMESTAMP_CLOCK_ID && d.type == VARINT) seq.default_clock = d.value;
    if (d.number != DEFAULTS_TRACK_EVENT || d.type != LEN) continue;
    for (Fields ds(d); ds.next(e);) {
      if (e.number == DEFAULTS_TRACK_UUID && e.type == VARINT) seq.default_track = e.value;
    }
  }
}

bool PerfettoReader::intern(Sequence& seq, const Field& f) {
  Field d, e;
  bool redefined = false;
  for (Fields fs(f); fs.next(d);) {
    if (d.type != LEN) continue;
    const bool is_name = d.number == interned::EVENT_NAMES;
    if (!is_name && d.number != interned::SOURCE_LOCATIONS) continue;
    std::uint64_t iid = 0, line = 0;
    std::string_view text;
    Fields es(d);
    while (es.next(e)) {
      if (e.number == interned::IID) iid = e.value;
      if (e.number == interned::NAME && e.type == LEN) text = e.bytes;  // the file, for a location
      if (!is_name && e.number == interned::LINE_NUMBER) line = e.value;
    }
    if (!es.ok()) return false;
    if (is_name) {
      redefined |= !seq.names.insert_or_assign(iid, std::string(text)).second;
    } else {
      redefined |= !seq.locations
                        .insert_or_assign(
                            iid, std::pair(std::string(text), static_cast<std::uint32_t>(line)))
                        .second;
    }
  }
  if (redefined) seq.functions.clear();
  return true;
}

std::uint32_t PerfettoReader::function(Sequence& seq, std::uint64_t name_iid, std::string_view name,
                                       std::uint64_t location_iid, const Field* location) {
  const bool cacheable = location == nullptr && name.empty() && name_iid >> 32 == 0 &&
                         location_iid >> 32 == 0 && (name_iid & location_iid) != 0xFFFF'FFFFu;
  const std::uint64_t key = (name_iid << 32) | location_iid;
  if (cacheable) {
    if (const std::uint32_t* found = seq.functions.find(key)) return *found;
  }
  std::string_view file;
  std::uint32_t line = 0;
  if (name_iid != 0) {
    if (auto it = seq.names.find(name_iid); it != seq.names.end()) name = it->second;
  }
  if (location != nullptr) {
    Field e;
    for (Fields es(*location); es.next(e);) {
      if (e.number == interned::FILE_NAME && e.type == LEN) file = e.bytes;
      if (e.number == interned::LINE_NUMBER) line = static_cast<std::uint32_t>(e.value);
    }
  } else if (location_iid != 0) {
    if (auto it = seq.locations.find(location_iid); it != seq.locations.end()) {
      file = it->second.first;
      line = it->second.second;
    }
  }
  const std::uint32_t fn = table_.functions().id(name, file, line);
  if (cacheable) seq.functions.insert(key, fn);
  return fn;
}

bool PerfettoReader::describe(const Field& f) {
  std::uint64_t uuid = 0, parent = 0;
  std::optional<Field> process, thread;
  Field d;
  Fields fs(f);
  while (fs.next(d)) {
    if (d.number == descriptor::UUID) uuid = d.value;
    if (d.number == descriptor::PARENT_UUID) parent = d.value;
    if (d.number == descriptor::PROCESS && d.type == LEN) process = d;
    if (d.number == descriptor::THREAD && d.type == LEN) thread = d;
  }
  if (!fs.ok()) return false;
  last_uuid_ = 0;  // the cached track may change
  std::uint64_t pid = 0, tid = 0;
  std::optional<std::string> name;
  for (const std::optional<Field>* part : {&process, &thread}) {
    if (!*part) continue;
    for (Fields ps(**part); ps.next(d);) {
      if (d.number == descriptor::PID) pid = d.value;
      if (d.number == descriptor::TID) tid = d.value;
      if (part == &thread && d.number == descriptor::THREAD_NAME && d.type == LEN) {
        name.emplace(d.bytes);
      }
    }
  }
  auto [it, fresh] = tracks_.try_emplace(uuid);
  Track& track = it->second;
  if (!fresh) {
    // Described again: a thread's track may now carry its name.
    if (name && track.thread != NO_THREAD)
      table_.name_thread(static_cast<std::uint32_t>(track.thread), *name);
    return true;
  }
  // A track under a thread's holds more of that thread's calls (its deeper frames).
  std::uint64_t parent_thread = NO_THREAD;
  if (!thread && !process && parent != 0) {
    if (auto p = tracks_.find(parent); p != tracks_.end()) {
      pid = p->second.pid;
      parent_thread = p->second.thread;
    }
  }
  track.pid = static_cast<std::uint32_t>(pid);
  track.process = process.has_value() && !thread;
  track.thread = parent_thread;
  if (thread) {
    // pid and tid are 32-bit values, written as plain or sign-extended varints.
    track.thread = table_.add_thread(track.pid, static_cast<std::uint32_t>(tid), name.value_or(""));
  }
  return true;
}

std::uint32_t PerfettoReader::thread_of(std::uint64_t uuid, bool& process) {
  if (uuid != last_uuid_ || last_uuid_ == 0) {
    Track& t = tracks_[uuid];  // a track never described: a thread of its own
    if (t.thread == NO_THREAD && !t.process) t.thread = table_.add_thread(0, uuid, "");
    last_uuid_ = uuid;
    last_track_ = t;
  }
  process = last_track_.process;
  return static_cast<std::uint32_t>(last_track_.thread);
}

bool PerfettoReader::track_event(Sequence& seq, const Field& f, std::uint64_t ts) {
  std::uint64_t type = 0, name_iid = 0, location_iid = 0, track = seq.default_track;
  std::string_view name;
  const Field* location = nullptr;
  Field inline_location, d;
  Fields fs(f);
  while (fs.next(d)) {
    switch (d.number) {
      case event::TYPE:
        type = d.value;
        break;
      case event::NAME_IID:
        name_iid = d.value;
        break;
      case event::SOURCE_LOCATION_IID:
        location_iid = d.value;
        break;
      case event::TRACK_UUID:
        track = d.value;
        break;
      case event::NAME:
        if (d.type == LEN) name = d.bytes;
        break;
      case event::SOURCE_LOCATION:
        if (d.type == LEN) location = &(inline_location = d);
        break;
      default:
        break;
    }
  }
  if (!fs.ok()) return false;
  slice(seq, type, track, name_iid, name, location_iid, location, ts);
  return true;
}

void PerfettoReader::slice(Sequence& seq, std::uint64_t type, std::uint64_t track,
                           std::uint64_t name_iid, std::string_view name,
                           std::uint64_t location_iid, const Field* location, std::uint64_t ts) {
  if (type != event::SLICE_BEGIN && type != event::SLICE_END && type != event::INSTANT) return;
  bool process = false;
  const std::uint32_t thread = thread_of(track, process);
  if (type == event::INSTANT) {
    if (name.empty() && name_iid != 0) {
      if (auto it = seq.names.find(name_iid); it != seq.names.end()) name = it->second;
    }
    if (const auto n = loss_count(name, "dropped"); n && process) table_.note_dropped(*n);
    if (const auto n = loss_count(name, "lost"); n && !process) table_.gap(thread, ts, *n);
  } else if (!process) {
    if (type == event::SLICE_BEGIN) {
      table_.begin(thread, function(seq, name_iid, name, location_iid, location), ts);
    } else {
      table_.end(thread, ts);
    }
  }
}

bool PerfettoReader::packet(const std::uint8_t* p, const std::uint8_t* end) {
  if (EventPacket e; read_event_packet(p, end, e) &&
                     (e.type == event::SLICE_BEGIN || e.type == event::SLICE_END)) {
    Sequence& seq = sequence(static_cast<std::uint32_t>(e.sequence_id),
                             (e.flags & SEQ_INCREMENTAL_STATE_CLEARED) != 0);
    slice(seq, e.type, e.has_track ? e.track : seq.default_track, e.name_iid, {}, e.location_iid,
          nullptr, trace_time(seq, e.ts, seq.default_clock));
    return true;
  }
  std::uint64_t ts = 0, sequence_id = 0, flags = 0, clock_id = 0;
  bool has_clock = false, cleared = false;
  Field f, te, interned_data, defaults_field, descriptor_field, clocks;
  bool has_te = false, has_interned = false, has_defaults = false, has_descriptor = false,
       has_clocks = false;
  Fields fs(p, end);
  while (fs.next(f)) {
    switch (f.number) {
      case packet::TIMESTAMP:
        ts = f.value;
        break;
      case packet::SEQUENCE_ID:
        sequence_id = f.value;
        break;
      case packet::SEQUENCE_FLAGS:
        flags = f.value;
        break;
      case packet::STATE_CLEARED:
        cleared = f.value != 0;
        break;
      case packet::TIMESTAMP_CLOCK_ID:
        clock_id = f.value, has_clock = true;
        break;
      case packet::TRACK_EVENT:
        te = f, has_te = true;
        break;
      case packet::INTERNED_DATA:
        interned_data = f, has_interned = true;
        break;
      case packet::DEFAULTS:
        defaults_field = f, has_defaults = true;
        break;
      case packet::TRACK_DESCRIPTOR:
        descriptor_field = f, has_descriptor = true;
        break;
      case packet::CLOCK_SNAPSHOT:
        clocks = f, has_clocks = true;
        break;
      default:
        break;
    }
  }
  if (!fs.ok()) return false;
  Sequence& seq = sequence(static_cast<std::uint32_t>(sequence_id),
                           cleared || (flags & SEQ_INCREMENTAL_STATE_CLEARED) != 0);
  if (has_clocks) clock_snapshot(seq, clocks);
  if (has_defaults) defaults(seq, defaults_field);
  if (has_descriptor && !describe(descriptor_field)) return false;
  if (has_interned && !intern(seq, interned_data)) return false;
  if (!has_te) return true;
  return track_event(seq, te, trace_time(seq, ts, has_clock ? clock_id : seq.default_clock));
}

}  // namespace

std::optional<std::uint64_t> loss_count(std::string_view text, std::string_view word) {
  constexpr std::string_view PREFIX = "fennik: ";
  if (!text.starts_with(PREFIX)) return std::nullopt;
  text.remove_prefix(PREFIX.size());
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc()) return std::nullopt;
  const std::string_view rest(end, static_cast<std::size_t>(text.data() + text.size() - end));
  if (rest != std::string(" events ") + std::string(word)) return std::nullopt;
  return n;
}

ReadOutcome read_perfetto(ByteStream& in, CallTable& table) {
  PerfettoReader reader(table);
  ReadOutcome out;
  constexpr std::size_t HEAD_BYTES = 2 * MAX_VARINT_BYTES;
  while (in.need(HEAD_BYTES) > 0) {
    const std::uint8_t* p = in.data();
    const std::uint8_t* avail_end = p + in.available();
    std::uint64_t key = 0, length = 0;
    const std::uint8_t* body = read_varint(p, avail_end, key);
    if (body != nullptr && (key & 7) == LEN) body = read_varint(body, avail_end, length);
    if (body == nullptr) break;  // cut inside the head
    if ((key & 7) != LEN || length > MAX_PACKET_BYTES) {
      // Trace holds packets only; anything else is not a trace.
      out.error = "malformed record at byte " + std::to_string(in.offset());
      return out;
    }
    const std::size_t whole = static_cast<std::size_t>(body - p) + length;
    if (in.need(whole) < whole) break;  // cut inside the packet
    body = in.data() + (whole - length);
    if (key == TAG_PACKET && !reader.packet(body, body + length)) {
      out.error = "malformed packet at byte " + std::to_string(in.offset());
      return out;
    }
    in.consume(whole);
  }
  if (in.available() > 0) {
    out.notes.push_back("the file ends inside a packet: its last " +
                        std::to_string(in.available()) + " bytes were left out");
  }
  return out;
}

}  // namespace fennik::report
