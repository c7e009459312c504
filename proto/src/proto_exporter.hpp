// Writes decoded events as a Perfetto trace: a stream of length-framed
// TracePacket records, one track per process and per thread, one slice per
// function activation. Names and locations are interned once per thread, and
// the constant part of every event packet is encoded once and then copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

#include "output.hpp"
#include "sink.hpp"
#include "tail_index.hpp"
#include "wire.hpp"

namespace fennik {

inline constexpr std::size_t PROTO_PACKET_BUFFER_BYTES = 4096;
inline constexpr std::size_t PROTO_BATCH_BUFFER_BYTES = 262'144;
inline constexpr std::size_t PROTO_TAIL_ARENA_BYTES = 4096;
// Each writer sharing a file owns a block of this many sequence ids.
inline constexpr unsigned PROTO_SEQUENCE_BLOCK_SHIFT = 7;

class ProtoExporter final : public Exporter {
 public:
  // Takes the file over; the pid is this process's.
  explicit ProtoExporter(SharedFile file);

  // Chooses this writer's block of packet sequence ids; set before writing.
  void set_sequence_base(std::uint32_t base) noexcept { sequence_base_ = base; }

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  std::uint64_t dropped) override;

  std::uint32_t pid() const noexcept { return pid_; }
  std::uint64_t process_uuid() const noexcept { return process_uuid_; }
  std::uint32_t process_sequence_id() const noexcept {
    return (sequence_base_ << PROTO_SEQUENCE_BLOCK_SHIFT) | 1;
  }

 private:
  // The largest pre-encoded header: tag, 5-byte sequence id, tag, flags.
  static constexpr std::size_t MAX_HEADER_BYTES = 8;
  // The largest TrackEvent of an event packet: type, category, name iid and
  // location iid (each iid a full varint), and the largest whole tail.
  static constexpr std::size_t MAX_TRACK_EVENT_BYTES =
      2 + 2 + (1 + wire::MAX_VARINT_BYTES) + (2 + wire::MAX_VARINT_BYTES);
  static_assert(MAX_TRACK_EVENT_BYTES < 0x80, "its length takes one byte");
  static constexpr std::size_t MAX_TAIL_BYTES = MAX_HEADER_BYTES + 2 + MAX_TRACK_EVENT_BYTES;

  struct Interned {
    std::uint64_t iid;
    bool has_location;
  };
  // One packet sequence per thread.
  struct Sequence {
    std::array<std::uint8_t, MAX_HEADER_BYTES> header;  // sequence id and flags
    std::uint8_t header_len;
    std::unordered_map<std::uint32_t, Interned> interned;
    std::uint32_t sequence_id;
  };

  void ensure_process();
  Sequence& new_sequence(std::uint32_t tid, const ThreadNames& threads);
  TailSpan build_tail(Sequence& seq, std::uint64_t key, bool begin, std::uint32_t code,
                      const CodeLookup& codes);
  std::uint64_t intern(Sequence& seq, std::uint32_t code, const CodeLookup& codes,
                       bool& has_location);
  // Frames the packet buffer as one Trace.packet record into the file's buffer.
  void emit_packet();

  SharedFile file_;
  wire::Buffer packet_;
  wire::Buffer batch_;
  wire::Buffer arena_;
  TailIndex tails_;
  std::unordered_map<std::uint32_t, Sequence> sequences_;
  std::uint64_t process_uuid_;
  std::uint32_t pid_;
  std::uint32_t sequence_base_ = 0;
  bool process_announced_ = false;
};

}  // namespace fennik
