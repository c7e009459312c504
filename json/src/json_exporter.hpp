// Trace-event JSON output: one begin ("B") or end ("E") object per event, and
// thread-name metadata as threads end and at the finish, in a JSON array that
// is left open so that several processes can keep appending whole objects to
// one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "byte_buffer.hpp"
#include "json_text.hpp"
#include "output.hpp"
#include "sink.hpp"

namespace fennik {

// Rendered text of one batch; big enough for a full batch of typical events.
inline constexpr std::size_t JSON_BATCH_BUFFER_BYTES = 262'144;

namespace json {

// Code id -> index of its template. Open addressing with linear probing: the
// per-event lookup touches one or two adjacent words and never allocates.
class TemplateIndex {
 public:
  static constexpr std::size_t INITIAL_SLOTS = 1024;  // a power of two
  // No code id has the top bits set, so this never collides with a real key.
  static constexpr std::uint32_t EMPTY = 0xFFFF'FFFF;
  static constexpr std::uint32_t MISSING = 0xFFFF'FFFF;

  TemplateIndex();
  // The value stored for `code`, or MISSING.
  std::uint32_t find(std::uint32_t code) const noexcept {
    for (std::size_t i = slot_of(code);; i = (i + 1) & mask_) {
      if (keys_[i] == code) return values_[i];
      if (keys_[i] == EMPTY) return MISSING;
    }
  }
  // `code` must not be present yet.
  void insert(std::uint32_t code, std::uint32_t value);
  // Forgets every code; the table keeps its size.
  void clear() noexcept;
  std::size_t size() const noexcept { return size_; }

 private:
  std::size_t slot_of(std::uint32_t code) const noexcept {
    // Fibonacci hashing spreads both dense and strided ids over the table.
    return (static_cast<std::uint64_t>(code) * 0x9E37'79B9'7F4A'7C15ull) >> shift_;
  }
  void place(std::uint32_t code, std::uint32_t value) noexcept;

  std::vector<std::uint32_t> keys_;
  std::vector<std::uint32_t> values_;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
  std::size_t size_ = 0;
};

}  // namespace json

class JsonExporter final : public Exporter {
 public:
  // A new file: truncates `path` and writes the opening "[".
  static IoResult<std::unique_ptr<JsonExporter>> create(const std::string& path);
  // Continues a file another process started. A missing or empty file gets the
  // opening "[" first, so the result stays a JSON array however it began.
  static IoResult<std::unique_ptr<JsonExporter>> append(const std::string& path);

  explicit JsonExporter(SharedFile file);

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  std::uint64_t dropped) override;
  // Names the thread and ends the calls it left open at its last event, so
  // a later thread with the same id starts with nothing open under it.
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;

  std::uint32_t pid() const noexcept { return pid_; }
  // Threads with state here now.

 private:
  // A thread's calls begun and not yet ended, innermost last.
  struct ThreadState {
    std::vector<std::uint32_t> open;
    std::uint64_t last_ts = 0;
  };

  const json::Template& template_for(std::uint32_t code, const CodeLookup& codes);
  void render(const Event& e, const json::Template& t);
  // `{"args":{"name":NAME},"name":"thread_name",...}`, into `out`.
  void render_thread_name(ByteBuffer& out, std::uint32_t tid, const std::string& name) const;

  SharedFile file_;
  ByteBuffer batch_;
  json::TemplateIndex index_;
  std::vector<json::Template> templates_;
  std::unordered_map<std::uint32_t, ThreadState> threads_;
  std::uint64_t reuse_generation_ = 0;
  std::uint32_t pid_;
  // ,"pid":PID,"tid": — constant for the exporter's life, rendered once.
  std::string pid_text_;
};

}  // namespace fennik
