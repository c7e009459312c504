#include "json_exporter.hpp"

#include <errno.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "short_calls.hpp"

namespace fennik {
namespace {

// The parts of an event object that depend only on the kind: the phase with
// the text up to the timestamp, and how the call began or ended with the
// closing braces. A call that simply started or returned says nothing of it
// (most do); an end says nothing else, so it has no args at all then.
struct KindText {
  std::string_view head;
  std::string_view tail;
};

// Indexed by known_kind(), which is never 0.
constexpr std::array<KindText, KIND_THROW + 1> KIND_TEXTS = {{
    {"B\",\"ts\":", "}},"},
    {"B\",\"ts\":", "}},"},
    {"E\",\"ts\":", "},"},
    {"E\",\"ts\":", ",\"args\":{\"kind\":\"yield\"}},"},
    {"B\",\"ts\":", ",\"kind\":\"resume\"}},"},
    {"E\",\"ts\":", ",\"args\":{\"kind\":\"unwind\"}},"},
    {"B\",\"ts\":", ",\"kind\":\"throw\"}},"},
}};

// The kind texts go out as fixed-size blocks (a constant-size copy is a few
// moves, not a call) into room claimed past the event; only their real
// length is kept. Every head is exactly HEAD_BYTES long.
constexpr std::size_t HEAD_BYTES = 8;
constexpr std::size_t TAIL_BLOCK_BYTES = 32;
struct KindBlock {
  std::array<char, HEAD_BYTES> head;
  std::array<char, TAIL_BLOCK_BYTES> tail;
  std::size_t tail_len;
};

constexpr std::array<KindBlock, KIND_TEXTS.size()> kind_blocks() {
  std::array<KindBlock, KIND_TEXTS.size()> out{};
  for (std::size_t k = 0; k < KIND_TEXTS.size(); ++k) {
    std::copy(KIND_TEXTS[k].head.begin(), KIND_TEXTS[k].head.end(), out[k].head.begin());
    std::copy(KIND_TEXTS[k].tail.begin(), KIND_TEXTS[k].tail.end(), out[k].tail.begin());
    out[k].tail_len = KIND_TEXTS[k].tail.size();
  }
  return out;
}
constexpr std::array<KindBlock, KIND_TEXTS.size()> KIND_BLOCKS = kind_blocks();
static_assert(std::ranges::all_of(KIND_TEXTS, [](const KindText& k) {
  return k.head.size() == HEAD_BYTES && k.tail.size() <= TAIL_BLOCK_BYTES;
}));

constexpr std::string_view PID_KEY = ",\"pid\":";
constexpr std::string_view TID_KEY = ",\"tid\":";
static_assert(PID_KEY.size() + TID_KEY.size() + 2 * json::MAX_U32_DIGITS <= JSON_IDS_BLOCK_BYTES);
// Room an event needs besides its template's text, the blocks' slack included.
constexpr std::size_t EVENT_BLOCK_BYTES =
    HEAD_BYTES + json::MAX_MICROS_BYTES + JSON_IDS_BLOCK_BYTES + TAIL_BLOCK_BYTES;

// An end object names no function: a reader ends the thread's innermost open
// call, and keeps the name, category, file and line its begin gave. It says
// only how the call ended, and only when it did not simply return.
const json::Template& end_template() {
  static const json::Template text{"{\"ph\":\"", ""};
  return text;
}

constexpr std::string_view DROPPED_EVENTS_NAME = "fennik_dropped_events";
constexpr std::string_view PEAK_BUFFERED_NAME = "fennik_peak_buffered_bytes";
constexpr std::string_view PAUSED_NAME = "fennik_paused";

// A file that is still empty gets the array's opening bracket. The check and
// the write happen under the same lock every flush takes, so of several
// processes opening one new file exactly one writes it, before any object.
// `opening` is the "[" as the file holds it.
IoStatus open_array_if_empty(int fd, std::string_view opening) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return IoError::from_errno(errno);

  IoStatus result = IO_OK;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    result = IoError::from_errno(errno);
  } else if (st.st_size == 0) {
    ssize_t n;
    do {
      n = ::write(fd, opening.data(), opening.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      result = IoError::from_errno(errno);
    } else if (static_cast<std::size_t>(n) != opening.size()) {
      result = IoError{IoErrorKind::WriteZero, "failed to write whole buffer", 0};
    }
  }
  (void)::flock(fd, LOCK_UN);
  return result;
}

}  // namespace

IoResult<std::unique_ptr<JsonExporter>> JsonExporter::create(const std::string& path) {
  IoResult<SharedFile> opened = SharedFile::open(path, true);
  if (!opened) return opened.error();
  return create(std::move(opened).value());
}

IoResult<std::unique_ptr<JsonExporter>> JsonExporter::create(SharedFile file) {
  file.put('[');
  if (IoStatus status = file.flush()) return *std::move(status);
  return std::make_unique<JsonExporter>(std::move(file));
}

IoResult<std::unique_ptr<JsonExporter>> JsonExporter::append(const std::string& path, bool gzip) {
  IoResult<SharedFile> opened = SharedFile::open(path, false);
  if (!opened) return opened.error();
  SharedFile file = std::move(opened).value();
  ByteBuffer opening(ByteBuffer::MIN_CAPACITY);
  if (gzip) {
    file.compress_each_flush();
    if (!Deflater().add_member("[", opening))
      return IoError::other("the output could not be compressed");
  } else {
    opening.push_back('[');
  }
  if (IoStatus status = open_array_if_empty(file.fd(), opening.view())) return *std::move(status);
  return std::make_unique<JsonExporter>(std::move(file));
}

JsonExporter::JsonExporter(SharedFile file)
    : file_(std::move(file)), pid_(static_cast<std::uint32_t>(::getpid())) {
  ByteBuffer text(ByteBuffer::MIN_CAPACITY);
  text.append(PID_KEY);
  json::push_u64(text, pid_);
  text.append(TID_KEY);
  pid_text_.assign(text.view());
  set_ids_tid(0);
}

void JsonExporter::set_ids_tid(std::uint32_t tid) {
  char* end = json::put_u64(std::copy(pid_text_.begin(), pid_text_.end(), ids_block_.begin()), tid);
  ids_len_ = static_cast<std::size_t>(end - ids_block_.data());
  ids_tid_ = tid;
}

const json::Template& JsonExporter::template_for(std::uint32_t code, const CodeLookup& codes) {
  if (const std::uint32_t* found = index_.find(code)) return templates_[*found];
  // First sight of this code since the last id reuse: what the lookup says
  // now holds until the next reuse; an unknown code renders with an empty
  // name and file.
  templates_.push_back(json::Template::of(codes.code(code).value_or(CodeInfo{})));
  const auto slot = static_cast<std::uint32_t>(templates_.size() - 1);
  index_.insert(code, slot);
  return templates_[slot];
}

void JsonExporter::render(const Event& e, const json::Template& t) {
  const KindBlock& k = KIND_BLOCKS[known_kind(word_kind(e.code_kind))];
  if (e.tid != ids_tid_) set_ids_tid(e.tid);  // once per batch: a batch is one thread's
  ByteBuffer& out = file_.buffer();
  char* p = out.claim(t.prefix.size() + t.suffix.size() + EVENT_BLOCK_BYTES);
  p = put_bytes(p, t.prefix);
  std::memcpy(p, k.head.data(), HEAD_BYTES);
  p = json::put_micros(p + HEAD_BYTES, e.ts_ns);
  std::memcpy(p, ids_block_.data(), JSON_IDS_BLOCK_BYTES);
  p = put_bytes(p + ids_len_, t.suffix);
  std::memcpy(p, k.tail.data(), TAIL_BLOCK_BYTES);
  out.commit(p + k.tail_len);
}

IoStatus JsonExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                   const ThreadNames& /*threads*/) {
  // Read before any lookup of this batch: a reuse racing with the batch is
  // then seen, at the latest, by the next one.
  if (const std::uint64_t g = codes.reuse_generation(); g != reuse_generation_) {
    reuse_generation_ = g;
    index_.clear();
    templates_.clear();
  }
  // A batch is one thread's: its state is looked up once.
  ThreadState* thread = events.empty() ? nullptr : &threads_[events.front().tid];
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    if (ends_nothing_open(e.code_kind, thread->open.size())) continue;
    const std::uint8_t kind = word_kind(e.code_kind);
    if (is_annotation(kind)) {
      const std::size_t args = arg_words_at(events, i + 1);
      if (kind != KIND_ARG) render_annotation(e, events.subspan(i + 1, args), codes);
      i += args;
    } else {
      render(e, is_begin(kind) ? template_for(word_code(e.code_kind), codes) : end_template());
    }
    thread->last_ts = e.ts_ns;
    if (is_begin(kind)) {
      thread->open.push_back(e.code_kind);
    } else if (is_end(kind)) {
      thread->open.pop_back();
    }
  }
  // Objects are rendered straight into the file's buffer; it goes out once
  // full, whole objects only, as one locked append.
  return file_.flush_if_full();
}

void JsonExporter::end_open_calls(std::uint32_t tid, ThreadState& state, std::uint64_t ts,
                                  const CodeLookup& codes) {
  for (auto word = state.open.rbegin(); word != state.open.rend(); ++word) {
    const Event end{ts, tid, closing_word(*word)};
    if (is_annotation(word_kind(*word))) {
      render_annotation(end, {}, codes);
    } else {
      render(end, end_template());
    }
  }
  state.open.clear();
}

IoStatus JsonExporter::write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                                 const CodeLookup& codes, const ThreadNames& /*threads*/) {
  ThreadState& state = threads_[tid];
  // What was open ends where the thread's record breaks off; ends of those
  // calls after the gap then close nothing and are left out, like ends of
  // calls begun before the session.
  const std::uint64_t ts = std::max(ts_ns, state.last_ts);
  end_open_calls(tid, state, ts, codes);
  state.last_ts = ts;
  ByteBuffer& out = file_.buffer();
  out.append("{\"name\":\"fennik: ");
  json::push_u64(out, count);
  out.append(" events lost\",\"cat\":\"dropped\",\"ph\":\"i\",\"ts\":");
  json::push_micros(out, ts);
  out.append(pid_text_);
  json::push_u64(out, tid);
  out.append(",\"s\":\"t\",\"args\":{\"count\":");
  json::push_u64(out, count);
  out.append("}},");
  return file_.flush_if_full();
}

IoStatus JsonExporter::end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup& codes,
                                   const ThreadNames& /*threads*/) {
  auto it = threads_.find(tid);
  if (it == threads_.end()) return IO_OK;
  it->second.last_ts = std::max(ts_ns, it->second.last_ts);
  end_open_calls(tid, it->second, it->second.last_ts, codes);
  return file_.flush_if_full();
}

void JsonExporter::render_thread_name(ByteBuffer& out, std::uint32_t tid,
                                      const std::string& name) const {
  out.append("{\"args\":{\"name\":");
  json::push_string(out, name);
  out.append("},\"name\":\"thread_name\",\"ph\":\"M\"");
  out.append(pid_text_);
  json::push_u64(out, tid);
  out.append("},");
}

IoStatus JsonExporter::end_thread(std::uint32_t tid, const CodeLookup& codes,
                                  const ThreadNames& threads) {
  if (auto it = threads_.find(tid); it != threads_.end()) {
    // Calls still open end with the thread's last event.
    end_open_calls(tid, it->second, it->second.last_ts, codes);
    threads_.erase(it);
  }
  // The name now, while the thread still owns it (by the end of the session
  // it may belong to a later thread with the same id), and after its last
  // event: a reader takes events after it as the later thread's.
  if (const std::optional<std::string> name = threads.name(tid)) {
    render_thread_name(file_.buffer(), tid, *name);
  }
  return file_.flush_if_full();
}

IoStatus JsonExporter::finish(const CodeLookup& /*codes*/, const ThreadNames& threads,
                              const RunStats& stats) {
  // Whatever is buffered goes out with these, in the one last flush.
  ByteBuffer& meta = file_.buffer();
  for (const auto& [tid, name] : threads.snapshot()) render_thread_name(meta, tid, name);
  const auto process_record = [&](std::string_view name, std::string_view key, std::uint64_t n) {
    meta.append("{\"args\":{\"");
    meta.append(key);
    meta.append("\":");
    json::push_u64(meta, n);
    meta.append("},\"name\":");
    json::push_string(meta, name);
    meta.append(",\"ph\":\"M\"");
    meta.append(pid_text_);
    meta.append("0},");
  };
  const auto process_text = [&](std::string_view name, std::string_view key,
                                std::string_view text) {
    meta.append("{\"args\":{\"");
    meta.append(key);
    meta.append("\":");
    json::push_string(meta, text);
    meta.append("},\"name\":\"");
    meta.append(name);
    meta.append("\",\"ph\":\"M\"");
    meta.append(pid_text_);
    meta.append("0},");
  };
  // The process's name as known at the end (a multiprocessing child learns
  // its own after it starts), its command line and parent as labels.
  const ProcessLabel label = threads.process();
  if (const std::string shown = label.shown(); !shown.empty()) {
    process_text("process_name", "name", shown);
  }
  std::string labels = label.role.empty() ? "" : label.command_line;
  if (label.parent_pid != 0) {
    labels += (labels.empty() ? "parent pid " : "; parent pid ") + std::to_string(label.parent_pid);
  }
  if (!labels.empty()) process_text("process_labels", "labels", labels);
  if (stats.dropped > 0) process_record(DROPPED_EVENTS_NAME, "count", stats.dropped);
  for (const Pause& pause : stats.pauses) {
    meta.append("{\"args\":{\"from\":");
    json::push_micros(meta, pause.from_ns);
    if (pause.to_ns) {
      meta.append(",\"to\":");
      json::push_micros(meta, *pause.to_ns);
    }
    meta.append("},\"name\":");
    json::push_string(meta, PAUSED_NAME);
    meta.append(",\"ph\":\"M\"");
    meta.append(pid_text_);
    meta.append("0},");
  }
  process_record(PEAK_BUFFERED_NAME, "bytes", stats.peak_buffered_bytes);
  if (stats.min_duration_ns > 0) {
    meta.append("{\"args\":{\"text\":");
    json::push_string(meta,
                      short_calls_statement(stats.short_calls_left_out, stats.min_duration_ns));
    meta.append("},\"name\":\"fennik_short_calls\",\"ph\":\"M\"");
    meta.append(pid_text_);
    meta.append("0},");
  }
  return file_.flush();
}

}  // namespace fennik
