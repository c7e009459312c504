// Trace-event JSON output: one begin ("B") or end ("E") object per event, and
// thread-name metadata as threads end and at the finish, in a JSON array that
// is left open so that several processes can keep appending whole objects to
// one file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "annotation_args.hpp"
#include "byte_buffer.hpp"
#include "flat_map.hpp"
#include "json_text.hpp"
#include "output.hpp"
#include "sink.hpp"

namespace fennik {

// Room for an event's ,"pid":PID,"tid":TID text, copied as one block.
inline constexpr std::size_t JSON_IDS_BLOCK_BYTES = 48;

class JsonExporter final : public Exporter {
 public:
  // Starting size of the template index: room for a typical program's codes.
  static constexpr std::size_t TEMPLATE_INDEX_SLOTS = 1024;

  // A new file: truncates `path` and writes the opening "[".
  static IoResult<std::unique_ptr<JsonExporter>> create(const std::string& path);
  // The same on a file already opened empty for this writer alone.
  static IoResult<std::unique_ptr<JsonExporter>> create(SharedFile file);
  // Continues a file another process started. A missing or empty file gets the
  // opening "[" first, so the result stays a JSON array however it began.
  // With `gzip` (the file is gzip members) each flush is a member of its own.
  static IoResult<std::unique_ptr<JsonExporter>> append(const std::string& path, bool gzip = false);

  explicit JsonExporter(SharedFile file);

  IoStatus write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus finish(const CodeLookup& codes, const ThreadNames& threads,
                  const RunStats& stats) override;
  // Ends the calls open at the gap there and marks it with a thread-scoped
  // instant event naming the count.
  IoStatus write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                     const CodeLookup& codes, const ThreadNames& threads) override;
  // Names the thread and ends the calls it left open at its last event, so
  // a later thread with the same id starts with nothing open under it.
  // Ends the thread's open calls at the pause; each pause is a metadata
  // record of the process, "fennik_paused", its times in microseconds.
  IoStatus end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                       const ThreadNames& threads) override;
  IoStatus end_thread(std::uint32_t tid, const CodeLookup& codes,
                      const ThreadNames& threads) override;
  // Compressed output then takes a second thread: the program waits.
  void draining() noexcept override { file_.compress_alongside(); }

  std::uint32_t pid() const noexcept { return pid_; }

 private:
  // A thread's calls and spans begun and not yet ended (their words), innermost last.
  struct ThreadState {
    std::vector<std::uint32_t> open;
    std::uint64_t last_ts = 0;
  };

  const json::Template& template_for(std::uint32_t code, const CodeLookup& codes);
  void render(const Event& e, const json::Template& t);
  // A span's begin ("B") or end ("E"), an instant ("i") or a counter value
  // ("C"), with the values of its argument words `args` (json_annotation.cpp).
  void render_annotation(const Event& e, std::span<const Event> args, const CodeLookup& codes);
  void set_ids_tid(std::uint32_t tid);
  // Ends every call open on the thread at `ts`, innermost first, as unwound:
  // no return of theirs was seen.
  void end_open_calls(std::uint32_t tid, ThreadState& state, std::uint64_t ts,
                      const CodeLookup& codes);
  // `{"args":{"name":NAME},"name":"thread_name",...}`, into `out`.
  void render_thread_name(ByteBuffer& out, std::uint32_t tid, const std::string& name) const;

  SharedFile file_;
  // Code id -> index of its template.
  FlatMap<std::uint32_t, std::uint32_t> index_{TEMPLATE_INDEX_SLOTS};
  std::vector<json::Template> templates_;
  std::unordered_map<std::uint32_t, ThreadState> threads_;
  std::unordered_map<std::uint32_t, SiteInfo> sites_;  // as the lookup named them
  std::uint64_t reuse_generation_ = 0;
  std::uint32_t pid_;
  // ,"pid":PID,"tid": — constant for the exporter's life, rendered once.
  std::string pid_text_;
  // The same followed by ids_tid_, what every event of that thread carries;
  // copied as one block, of which ids_len_ bytes count.
  std::array<char, JSON_IDS_BLOCK_BYTES> ids_block_{};
  std::size_t ids_len_ = 0;
  std::uint32_t ids_tid_ = 0;
};

}  // namespace fennik
