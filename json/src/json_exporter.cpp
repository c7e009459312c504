#include "json_exporter.hpp"

#include <errno.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>
#include <utility>

namespace fennik {
namespace json {

TemplateIndex::TemplateIndex()
    : keys_(INITIAL_SLOTS, EMPTY),
      values_(INITIAL_SLOTS),
      mask_(INITIAL_SLOTS - 1),
      shift_(64 - static_cast<unsigned>(std::countr_zero(INITIAL_SLOTS))) {
  static_assert(std::has_single_bit(INITIAL_SLOTS));
}

void TemplateIndex::place(std::uint32_t code, std::uint32_t value) noexcept {
  std::size_t i = slot_of(code);
  while (keys_[i] != EMPTY) i = (i + 1) & mask_;
  keys_[i] = code;
  values_[i] = value;
}

void TemplateIndex::insert(std::uint32_t code, std::uint32_t value) {
  // Keep the table at most half full so probe runs stay short.
  if (2 * (size_ + 1) > keys_.size()) {
    const std::vector<std::uint32_t> old_keys = std::move(keys_);
    const std::vector<std::uint32_t> old_values = std::move(values_);
    keys_.assign(old_keys.size() * 2, EMPTY);
    values_.assign(old_values.size() * 2, 0);
    mask_ = keys_.size() - 1;
    --shift_;
    for (std::size_t i = 0; i < old_keys.size(); ++i) {
      if (old_keys[i] != EMPTY) place(old_keys[i], old_values[i]);
    }
  }
  place(code, value);
  ++size_;
}

void TemplateIndex::clear() noexcept {
  std::fill(keys_.begin(), keys_.end(), EMPTY);
  size_ = 0;
}

}  // namespace json

namespace {

// The parts of an event object that depend only on the kind: the phase with
// the text up to the timestamp, and the kind text with the closing braces.
struct KindText {
  std::string_view head;
  std::string_view tail;
};

// Indexed by known_kind(), which is never 0.
constexpr std::array<KindText, KIND_THROW + 1> KIND_TEXTS = {{
    {"B\",\"ts\":", "start\"}},"},
    {"B\",\"ts\":", "start\"}},"},
    {"E\",\"ts\":", "return\"}},"},
    {"E\",\"ts\":", "yield\"}},"},
    {"B\",\"ts\":", "resume\"}},"},
    {"E\",\"ts\":", "unwind\"}},"},
    {"B\",\"ts\":", "throw\"}},"},
}};

constexpr std::size_t longest_kind_text() {
  std::size_t n = 0;
  for (const KindText& k : KIND_TEXTS) n = std::max(n, k.head.size() + k.tail.size());
  return n;
}

constexpr std::size_t MAX_U32_DIGITS = 10;
constexpr std::string_view PID_KEY = ",\"pid\":";
constexpr std::string_view TID_KEY = ",\"tid\":";
// An event's bytes besides its template: kind texts, timestamp, pid and tid.
constexpr std::size_t EVENT_FIXED_BYTES_MAX = longest_kind_text() + json::MAX_MICROS_BYTES +
                                              PID_KEY.size() + MAX_U32_DIGITS + TID_KEY.size() +
                                              MAX_U32_DIGITS;

constexpr std::string_view DROPPED_EVENTS_NAME = "fennik_dropped_events";
// Metadata rendering at finish.
constexpr std::size_t METADATA_BUFFER_BYTES = 4096;

// A file that is still empty gets the array's opening bracket. The check and
// the write happen under the same lock every flush takes, so of several
// processes opening one new file exactly one writes it, before any object.
IoStatus open_array_if_empty(int fd) {
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
      n = ::write(fd, "[", 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      result = IoError::from_errno(errno);
    } else if (n == 0) {
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
  SharedFile file = std::move(opened).value();
  file.put('[');
  if (IoStatus status = file.flush()) return *std::move(status);
  return std::make_unique<JsonExporter>(std::move(file));
}

IoResult<std::unique_ptr<JsonExporter>> JsonExporter::append(const std::string& path) {
  IoResult<SharedFile> opened = SharedFile::open(path, false);
  if (!opened) return opened.error();
  SharedFile file = std::move(opened).value();
  if (IoStatus status = open_array_if_empty(file.fd())) return *std::move(status);
  return std::make_unique<JsonExporter>(std::move(file));
}

JsonExporter::JsonExporter(SharedFile file)
    : file_(std::move(file)),
      batch_(JSON_BATCH_BUFFER_BYTES),
      pid_(static_cast<std::uint32_t>(::getpid())) {
  ByteBuffer text(ByteBuffer::MIN_CAPACITY);
  text.append(PID_KEY);
  json::push_u64(text, pid_);
  text.append(TID_KEY);
  pid_text_.assign(text.view());
}

const json::Template& JsonExporter::template_for(std::uint32_t code, const CodeLookup& codes) {
  const std::uint32_t found = index_.find(code);
  if (found != json::TemplateIndex::MISSING) return templates_[found];
  // First sight of this code since the last id reuse: what the lookup says
  // now holds until the next reuse; an unknown code renders with an empty
  // name and file.
  templates_.push_back(json::Template::of(codes.code(code).value_or(CodeInfo{})));
  const auto slot = static_cast<std::uint32_t>(templates_.size() - 1);
  index_.insert(code, slot);
  return templates_[slot];
}

void JsonExporter::render(const Event& e, const json::Template& t) {
  const KindText& k = KIND_TEXTS[known_kind(word_kind(e.code_kind))];
  batch_.reserve_more(t.prefix.size() + t.suffix.size() + EVENT_FIXED_BYTES_MAX);
  batch_.append_unchecked(t.prefix);
  batch_.append_unchecked(k.head);
  json::push_micros_unchecked(batch_, e.ts_ns);
  batch_.append_unchecked(pid_text_);
  json::push_u64_unchecked(batch_, e.tid);
  batch_.append_unchecked(t.suffix);
  batch_.append_unchecked(k.tail);
}

IoStatus JsonExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                   const ThreadNames& /*threads*/) {
  batch_.clear();
  // Read before any lookup of this batch: a reuse racing with the batch is
  // then seen, at the latest, by the next one.
  if (const std::uint64_t g = codes.reuse_generation(); g != reuse_generation_) {
    reuse_generation_ = g;
    index_.clear();
    templates_.clear();
  }
  // A batch is one thread's: its state is looked up once.
  ThreadState* thread = events.empty() ? nullptr : &threads_[events.front().tid];
  for (const Event& e : events) {
    const std::uint32_t code = word_code(e.code_kind);
    render(e, template_for(code, codes));
    thread->last_ts = e.ts_ns;
    if (is_begin(word_kind(e.code_kind))) {
      thread->open.push_back(code);
    } else if (!thread->open.empty()) {
      thread->open.pop_back();
    }
  }
  // One flush per batch: the batch lands in the file as one locked append.
  file_.write(batch_.data(), batch_.size());
  return file_.flush();
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
  batch_.clear();
  if (auto it = threads_.find(tid); it != threads_.end()) {
    // Calls still open end with the thread's last event, marked as unwound:
    // no return of theirs was seen.
    const ThreadState& state = it->second;
    for (auto code = state.open.rbegin(); code != state.open.rend(); ++code) {
      render(Event{state.last_ts, tid, make_word(KIND_UNWIND, *code)}, template_for(*code, codes));
    }
    threads_.erase(it);
  }
  // The name now, while the thread still owns it (by the end of the session
  // it may belong to a later thread with the same id), and after its last
  // event: a reader takes events after it as the later thread's.
  if (const std::optional<std::string> name = threads.name(tid)) {
    render_thread_name(batch_, tid, *name);
  }
  file_.write(batch_.data(), batch_.size());
  return file_.flush();
}

IoStatus JsonExporter::finish(const CodeLookup& /*codes*/, const ThreadNames& threads,
                              std::uint64_t dropped) {
  ByteBuffer meta(METADATA_BUFFER_BYTES);
  for (const auto& [tid, name] : threads.snapshot()) render_thread_name(meta, tid, name);
  if (dropped > 0) {
    meta.append("{\"args\":{\"count\":");
    json::push_u64(meta, dropped);
    meta.append("},\"name\":");
    json::push_string(meta, DROPPED_EVENTS_NAME);
    meta.append(",\"ph\":\"M\"");
    meta.append(pid_text_);
    meta.append("0},");
  }
  file_.write(meta.data(), meta.size());
  return file_.flush();
}

}  // namespace fennik
