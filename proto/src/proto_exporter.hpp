// Writes decoded events as a Perfetto trace: a stream of length-framed
// TracePacket records, one track per process and per thread, one slice per
// function activation. Names and locations are interned once per thread (once
// more only when a code id has passed to a different code), each thread's
// sequence says its track and counts its times on an incremental clock, and
// the constant part of every event packet is encoded once and then copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "annotation_args.hpp"
#include "byte_buffer.hpp"
#include "flat_map.hpp"
#include "output.hpp"
#include "sink.hpp"
#include "wire.hpp"

namespace fennik {

inline constexpr std::size_t PROTO_TAIL_ARENA_BYTES = 512;  // per thread, grows as needed

// Name iids below 0x80 take one byte in an event packet, those above two or
// more, and a begin carries its iid twice (name and source location). The
// first codes a thread interns take one-byte iids at once: in a process that
// lives a second or two few codes begin a thousand times, and those that run
// are mostly its first. Later codes get an iid from 0x80 up; once one has
// begun PROTO_PROMOTE_AFTER_BEGINS slices on the thread it is interned again
// under one of the thread's remaining one-byte iids, while any is left. The
// threshold keeps those from the import machinery's codes, which run a few
// hundred times each before a long program's hot ones.
inline constexpr std::uint64_t PROTO_ONE_BYTE_IID_END = 0x80;
inline constexpr std::uint64_t PROTO_FIRST_COME_IIDS = 64;
inline constexpr std::uint16_t PROTO_PROMOTE_AFTER_BEGINS = 1024;
static_assert(PROTO_FIRST_COME_IIDS < PROTO_ONE_BYTE_IID_END - 1, "some are left to promote to");

// Packet sequence ids of the writers sharing one file must not collide. A
// writer's tag (0 for the file's first writer; for the others one they agree
// on, see claim_writer_tag, or a process id: below 2^22 on Linux and macOS)
// owns the block of 128 ids at tag << 7: its process sequence and 126 thread
// sequences. The ids from 2^29 up, which no block reaches, give every tag 896
// more. Thread ids freed by ended threads are used again, so a writer has
// room for this many threads alive at once.
inline constexpr unsigned PROTO_SEQUENCE_BLOCK_SHIFT = 7;
inline constexpr unsigned PROTO_WRITER_TAG_BITS = 22;
inline constexpr std::uint32_t PROTO_BLOCK_THREAD_IDS = (1u << PROTO_SEQUENCE_BLOCK_SHIFT) - 2;
inline constexpr std::uint32_t PROTO_OVERFLOW_FIRST_ID =
    1u << (PROTO_WRITER_TAG_BITS + PROTO_SEQUENCE_BLOCK_SHIFT);
inline constexpr std::uint32_t PROTO_OVERFLOW_IDS_PER_TAG = static_cast<std::uint32_t>(
    ((std::uint64_t{1} << 32) - PROTO_OVERFLOW_FIRST_ID) >> PROTO_WRITER_TAG_BITS);
inline constexpr std::uint32_t PROTO_MAX_LIVE_THREADS =
    PROTO_BLOCK_THREAD_IDS + PROTO_OVERFLOW_IDS_PER_TAG;

// Perfetto shows a track's slices down to PROTO_BAND_DEPTH deep and drops
// deeper ones (an import error), so a thread's frames go to bands of that
// many levels: the thread's own track holds the outermost, each deeper band
// a track of its own under it, named for its levels, where they nest from
// its top again. A sequence's default track is the band of its last event;
// switching band takes one packet. The band's number sits in a track uuid's
// top bits, which a thread's (process uuid and index, the pid below 2^22)
// leaves clear; frames deeper than the last band stay on it.
inline constexpr std::uint64_t PROTO_BAND_DEPTH = 512;
inline constexpr unsigned PROTO_BAND_UUID_SHIFT = 54;
inline constexpr std::uint64_t PROTO_LAST_BAND =
    (std::uint64_t{1} << (64 - PROTO_BAND_UUID_SHIFT)) - 1;
static_assert(PROTO_WRITER_TAG_BITS + 32 <= PROTO_BAND_UUID_SHIFT,
              "band bits above a thread's uuid");

class ProtoExporter final : public Exporter {
 public:
  // Takes the file over; the pid is this process's.
  explicit ProtoExporter(SharedFile file);

  // Chooses this writer's packet sequence ids; set before writing. Only the
  // low PROTO_WRITER_TAG_BITS bits of the tag count.
  void set_sequence_base(std::uint32_t tag) noexcept {
    sequence_base_ = tag & ((1u << PROTO_WRITER_TAG_BITS) - 1);
  }

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override;
  // Ends the thread's open slices at the gap and marks it with an instant
  // event naming the count, on the thread's track.
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override;
  // Ends the thread's open slices at the pause; the pauses themselves are
  // instants on the process track ("fennik: paused", "fennik: resumed").
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  // Ends the slices the thread left open at its last event and frees its
  // sequence; a later thread with the same id gets a new track and sequence.
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;

  std::uint32_t pid() const noexcept { return pid_; }
  std::uint32_t process_sequence_id() const noexcept {
    return (sequence_base_ << PROTO_SEQUENCE_BLOCK_SHIFT) | 1;
  }

 private:
  // The largest pre-encoded header: tag, 5-byte sequence id.
  static constexpr std::size_t MAX_HEADER_BYTES = 6;
  // The largest TrackEvent of an event packet: type, name iid and location
  // iid (each iid a full varint), and the largest whole tail.
  static constexpr std::size_t MAX_TRACK_EVENT_BYTES =
      2 + (1 + wire::MAX_VARINT_BYTES) + (2 + wire::MAX_VARINT_BYTES);
  static_assert(MAX_TRACK_EVENT_BYTES < 0x80, "its length takes one byte");
  static constexpr std::size_t MAX_TAIL_BYTES = MAX_HEADER_BYTES + 2 + MAX_TRACK_EVENT_BYTES;
  // An event packet's frame (packet tag and length, timestamp tag and delta)
  // and its whole tail's copy.
  static constexpr std::size_t MAX_EVENT_PACKET_BYTES =
      1 + wire::MAX_VARINT_BYTES + 1 + wire::MAX_VARINT_BYTES + MAX_TAIL_BYTES;
  // A sequence's arena holds at most one tail per code (24-bit ids), one
  // more per one-byte iid (the tail a promoted code leaves behind) and its
  // end tail, plus the copy slack: its 32-bit offsets cannot overflow.
  static_assert(((std::uint64_t{1} << 24) + PROTO_ONE_BYTE_IID_END + 2) * MAX_TAIL_BYTES <
                (std::uint64_t{1} << 32));

  // Where a cached tail lies in its sequence's arena, and for a begin tail
  // with a long iid the begins left before its code is promoted (0: never).
  struct TailSpan {
    std::uint32_t offset = 0;
    std::uint16_t length = 0;
    std::uint16_t begins_to_promotion = 0;
  };
  static_assert(MAX_TAIL_BYTES <= UINT16_MAX);
  // What this exporter last read for a code id; `version` moves when a
  // re-read after an id reuse finds a different code.
  struct Resolved {
    std::optional<CodeInfo> info;
    std::uint64_t epoch;
    std::uint32_t version;
  };
  struct Interned {
    std::uint64_t iid;
    std::uint32_t version;
    bool has_location;
  };
  // One packet sequence per live thread.
  struct Sequence {
    std::array<char, MAX_HEADER_BYTES> header;  // sequence id
    std::uint8_t header_len;
    std::uint32_t sequence_id;
    std::uint32_t slot;
    std::uint64_t track_uuid = 0;
    bool named = false;  // whether its track's descriptor carries the thread's name
    std::unordered_map<std::uint32_t, Interned> interned;
    std::uint64_t next_iid = PROTO_ONE_BYTE_IID_END;
    std::uint64_t next_short_iid = 1;  // the next one-byte iid to give or promote a code to
    // Begin tails by code id, and the one end tail (empty until first needed).
    FlatMap<std::uint64_t, TailSpan> tails;
    TailSpan end_tail{};
    ByteBuffer arena{PROTO_TAIL_ARENA_BYTES};
    std::uint64_t tails_epoch = 0;
    std::uint64_t last_ts = 0;
    std::uint64_t clock_ns = 0;  // the sequence clock: the time of its last timestamp
    std::uint64_t open_slices = 0;
    std::uint64_t band = 0;             // the band its default track shows
    std::uint64_t bands_described = 0;  // bands 1 to this have their tracks

    // The sequence clock moved on to `ts`: the delta a packet at `ts` holds.
    std::uint64_t advance_clock(std::uint64_t ts) noexcept;
  };

  // The id of the `slot`th thread sequence of this writer.
  std::uint32_t thread_sequence_id(std::uint32_t slot) const noexcept;
  // Describes the process track first, and again whenever its label grew.
  void ensure_process(const ThreadNames& threads);
  // The thread's sequence, created on first sight; nothing when every
  // sequence id of this writer is taken by a live thread.
  Sequence* sequence_for(std::uint32_t tid, const ThreadNames& threads);
  // The TrackDescriptor of a thread's track.
  void write_thread_track(wire::Writer& p, std::uint64_t track_uuid, std::uint32_t tid,
                          const std::optional<std::string>& name) const;
  // Describes the thread's track again once the thread has a name, if its
  // first description had none.
  void name_late(Sequence& seq, std::uint32_t tid, const ThreadNames& threads);
  const Resolved& resolve(std::uint32_t code, const CodeLookup& codes);
  TailSpan tail_for(Sequence& seq, bool begin, std::uint32_t code, const CodeLookup& codes);
  // Appends a tail to the sequence's arena: an end's, or a begin's naming `iid`.
  TailSpan put_tail(Sequence& seq, bool begin, std::uint64_t iid, bool has_location);
  std::uint64_t intern(Sequence& seq, std::uint32_t code, const CodeLookup& codes,
                       bool& has_location);
  // The interning packet naming `iid` on the sequence after `r`.
  void write_interned(const Sequence& seq, std::uint64_t iid, const Resolved& r);
  // Interns a code that has begun many slices again under a one-byte iid,
  // if one is left, and replaces its `cached` tail; returns the tail, new or
  // not.
  TailSpan promote(Sequence& seq, std::uint32_t code, TailSpan& cached, const CodeLookup& codes);
  // Writes one event packet at `p`, the sequence clock having moved by
  // `delta`; returns its end. Needs MAX_EVENT_PACKET_BYTES of room.
  static char* put_event(char* p, const char* tail, std::uint32_t tail_len,
                         std::uint64_t delta) noexcept;
  // Appends one event packet to `out`.
  static void frame_event(ByteBuffer& out, Sequence& seq, TailSpan tail, std::uint64_t ts);
  // The trace packet defaults of a thread sequence whose default track is `track_uuid`.
  static void write_defaults(wire::Writer& p, std::uint64_t track_uuid);
  // Makes the sequence's default track the band of slices `depth` deep,
  // describing its track first if it is new (proto_bands.cpp).
  void to_band(Sequence& seq, std::uint64_t depth);
  // Ends every slice open on the sequence, at `ts`.
  void end_open_slices(Sequence& seq, std::uint64_t ts, const CodeLookup& codes);
  // A span's begin or end, an instant or a counter value, with the values of
  // its argument words `args` (proto_annotation.cpp).
  void write_annotation(Sequence& seq, const Event& e, std::span<const Event> args,
                        const CodeLookup& codes);
  // The site's name and argument names, read once.
  const SiteInfo& site_of(std::uint32_t id, const CodeLookup& codes);
  // The uuid of the process's counter track named `name`, described on first use.
  std::uint64_t counter_track(const std::string& name);
  // An instant event on the process track, at time 0, named `name`.
  void process_instant(std::string_view category, std::string_view name, std::uint64_t ts = 0);

  SharedFile file_;
  std::unordered_map<std::uint32_t, Sequence> sequences_;
  std::unordered_map<std::uint32_t, Resolved> resolved_;
  std::unordered_map<std::uint32_t, SiteInfo> sites_;
  std::unordered_map<std::string, std::uint64_t> counter_tracks_;  // by name
  std::vector<std::uint32_t> free_slots_;  // a min-heap: lowest ids are used first
  std::uint32_t next_slot_ = 0;
  std::uint64_t threads_seen_ = 0;
  std::uint64_t reuse_generation_ = 0;
  std::uint64_t epoch_ = 0;  // moves with every reuse generation seen
  std::uint64_t unplaced_events_ = 0;
  std::uint64_t process_uuid_;
  std::uint32_t pid_;
  std::uint32_t sequence_base_ = 0;
  bool process_announced_ = false;
  ProcessLabel label_;  // as last described
};

}  // namespace fennik
