#include "pprof.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "profile.hpp"
#include "short_calls.hpp"
#include "strings.hpp"

namespace fennik {
namespace {

constexpr std::string_view SAMPLE_TYPE = "wall";
constexpr std::string_view SAMPLE_UNIT = "nanoseconds";
// Stands in for a code the lookup does not know or that has no name.
constexpr std::string_view UNKNOWN_FUNCTION = "<unknown>";
constexpr std::string_view DROPPED_PREFIX = "fennik: ";
constexpr std::string_view DROPPED_SUFFIX = " events dropped";
constexpr std::string_view PEAK_PREFIX = "fennik: peak buffered memory ";
constexpr char COMMAND_LINE_PREFIX[] = "fennik: command line: ";
constexpr char ROLE_PREFIX[] = "fennik: multiprocessing name: ";
constexpr std::string_view PARENT_PREFIX = "fennik: parent pid ";
constexpr std::string_view PEAK_SUFFIX = " bytes";
constexpr std::string_view PAUSED_PREFIX = "fennik: paused from ";
constexpr std::string_view STILL_PAUSED = " ns to the end";
constexpr char PAUSED_UNTIL[] = " ns to ";
constexpr char NS_SUFFIX[] = " ns";
constexpr std::string_view MARKS_PREFIX = "fennik: ";
constexpr std::string_view MARKS_SUFFIX =
    " instants and counter values left out (a profile has no place for them)";
// Spans' ranks lie above every code's.
constexpr std::uint64_t SPAN_RANKS = std::uint64_t{1} << 48;

constexpr std::string_view TOO_MANY_STACKS =
    "the profile has more distinct stacks than it can hold";
constexpr std::string_view ENCODING_MISMATCH = "the profile did not encode to its computed size";

// A code's first rank is its code id + 1, which stack_totals maps back.
std::uint64_t rank_of_code(std::uint32_t code) {
  return static_cast<std::uint64_t>(code) + 1;
}

}  // namespace

IoResult<std::unique_ptr<PprofExporter>> PprofExporter::create(const std::string& path) {
  IoResult<SharedFile> file = SharedFile::open(path, /*truncate=*/true);
  if (!file) return file.error();
  return std::make_unique<PprofExporter>(std::move(file).value());
}

PprofExporter::PprofExporter(SharedFile file) : file_(std::move(file)) {
  // pprof's readers expect gzip; they read a file of many members as one.
  if (Deflater::available()) file_.compress_each_flush();
}

pprof::FunctionSlot PprofExporter::function_for(std::uint32_t code, const CodeLookup& codes) {
  CodeSlot* known = code_slots_.find(code);
  if (known != nullptr && known->epoch == epoch_) return known->slot;
  std::optional<CodeInfo> info = codes.code(code);
  if (known != nullptr) {
    known->epoch = epoch_;
    // After an id reuse only a real change of code makes a new function.
    if (functions_[known->slot].info == info) return known->slot;
  }
  if (functions_.size() >= pprof::NO_FUNCTION) return pprof::NO_FUNCTION;
  CodeSlot& c = known != nullptr ? *known : code_slots_.insert(code, CodeSlot{0, epoch_, 0});
  const std::uint64_t rank = (c.codes_seen << CODE_BITS) + rank_of_code(code);
  functions_.push_back(Function{std::move(info), rank});
  ++c.codes_seen;
  c.slot = static_cast<pprof::FunctionSlot>(functions_.size() - 1);
  return c.slot;
}

pprof::FunctionSlot PprofExporter::function_for_site(std::uint32_t site, const CodeLookup& codes) {
  if (const pprof::FunctionSlot* known = site_slots_.find(site)) return *known;
  if (functions_.size() >= pprof::NO_FUNCTION) return pprof::NO_FUNCTION;
  const std::optional<SiteInfo> info = codes.site(site);
  functions_.push_back(Function{CodeInfo{info ? info->name : std::string(UNKNOWN_FUNCTION), "", 0},
                                SPAN_RANKS + site + 1});
  const auto slot = static_cast<pprof::FunctionSlot>(functions_.size() - 1);
  site_slots_.insert(site, slot);
  return slot;
}

IoStatus PprofExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                    const ThreadNames&) {
  // Read before any lookup of this batch: a reuse racing with the batch is
  // then seen, at the latest, by the next one.
  if (const std::uint64_t g = codes.reuse_generation(); g != reuse_generation_) {
    reuse_generation_ = g;
    ++epoch_;
  }
  if (events.empty()) return IO_OK;
  // A batch is one thread's: its fold is looked up once.
  const auto [it, inserted] = folds_.try_emplace(events.front().tid);
  Fold* fold = &it->second;
  if (inserted) fold->last_ts = events.front().ts_ns;  // a thread's first event charges nothing
  for (const Event& e : events) {
    // The time since the thread's previous event belongs to the stack as it
    // stood after that event. Backwards time charges nothing but resets.
    if (e.ts_ns > fold->last_ts && !fold->stack.empty()) {
      stacks_.charge(fold->stack.back(), e.ts_ns - fold->last_ts);
    }
    fold->last_ts = e.ts_ns;

    if (ends_nothing_open(e.code_kind, fold->stack.size())) continue;
    const std::uint8_t kind = word_kind(e.code_kind);
    if (kind == KIND_INSTANT || kind == KIND_COUNTER) ++marks_left_out_;
    if (is_mark(kind)) continue;
    if (is_begin(kind)) {
      const pprof::NodeId top = fold->stack.empty() ? pprof::StackTree::ROOT : fold->stack.back();
      const pprof::FunctionSlot function = kind == KIND_SPAN_BEGIN
                                               ? function_for_site(word_code(e.code_kind), codes)
                                               : function_for(word_code(e.code_kind), codes);
      const pprof::NodeId node =
          function == pprof::NO_FUNCTION ? pprof::StackTree::NO_NODE : stacks_.child(top, function);
      if (node == pprof::StackTree::NO_NODE) return IoError::other(std::string(TOO_MANY_STACKS));
      fold->stack.push_back(node);
    } else {
      // Whatever frame is on top goes, whether or not the end names its code.
      fold->stack.pop_back();
    }
  }
  return IO_OK;
}

IoStatus PprofExporter::write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t /*count*/,
                                  const CodeLookup& codes, const ThreadNames& threads) {
  return end_open_at(tid, ts_ns, codes, threads);
}

IoStatus PprofExporter::end_open_at(std::uint32_t tid, std::uint64_t ts_ns, const CodeLookup&,
                                    const ThreadNames&) {
  const auto [it, inserted] = folds_.try_emplace(tid);
  Fold& fold = it->second;
  // What was open is charged up to the gap and then dropped: the thread's
  // stack after the gap is unknown, and ends of frames from before it must
  // not pop frames begun after it.
  if (!inserted && ts_ns > fold.last_ts && !fold.stack.empty()) {
    stacks_.charge(fold.stack.back(), ts_ns - fold.last_ts);
  }
  fold.stack.clear();
  fold.last_ts = ts_ns;
  return IO_OK;
}

IoStatus PprofExporter::end_thread(std::uint32_t tid, const CodeLookup&, const ThreadNames&) {
  folds_.erase(tid);
  return IO_OK;
}

std::vector<std::uint64_t> PprofExporter::ranks() const {
  std::vector<std::uint64_t> out;
  out.reserve(functions_.size());
  for (const Function& f : functions_) out.push_back(f.rank);
  return out;
}

IoStatus PprofExporter::finish(const CodeLookup&, const ThreadNames& threads,
                               const RunStats& stats) {
  pprof::Strings strings = pprof::Strings::with_empty_head();
  pprof::Profile profile;
  const auto type = static_cast<std::int64_t>(strings.id(SAMPLE_TYPE));
  const auto unit = static_cast<std::int64_t>(strings.id(SAMPLE_UNIT));
  profile.sample_type.push_back({type, unit});

  // Samples list every frame, so ids are given by how often they are
  // written there: the functions of the deepest and commonest stacks get the
  // one-byte ids. Ties, and the samples' order, follow first entry.
  const std::vector<std::uint64_t> rank = ranks();
  const std::vector<std::uint64_t> frames = stacks_.frames_per_code(functions_.size());
  std::vector<pprof::FunctionSlot> used = stacks_.charged_codes();
  std::sort(used.begin(), used.end(), [&](pprof::FunctionSlot a, pprof::FunctionSlot b) {
    return frames[a] != frames[b] ? frames[a] > frames[b] : rank[a] < rank[b];
  });
  std::vector<std::uint64_t> ids(functions_.size(), 0);
  for (std::size_t i = 0; i < used.size(); ++i) ids[used[i]] = i + 1;  // ids are non-zero
  profile.function.reserve(used.size());
  profile.location.reserve(used.size());
  for (const pprof::FunctionSlot slot : used) {
    const CodeInfo info = functions_[slot].info.value_or(CodeInfo{});
    const auto name = static_cast<std::int64_t>(
        strings.id(info.qualname.empty() ? UNKNOWN_FUNCTION : std::string_view(info.qualname)));
    const auto file = static_cast<std::int64_t>(strings.id(info.filename));
    const std::uint64_t id = ids[slot];
    profile.function.push_back({id, name, file, info.first_line});
    profile.location.push_back({id, {id, info.first_line}});
  }

  const auto comment = [&](std::string_view prefix, std::uint64_t n, std::string_view suffix) {
    std::string text(prefix);
    text += std::to_string(n);
    text += suffix;
    profile.comment.push_back(static_cast<std::int64_t>(strings.id(text)));
  };
  // Which process this is: a profile holds one.
  const ProcessLabel label = threads.process();
  if (!label.command_line.empty()) {
    profile.comment.push_back(
        static_cast<std::int64_t>(strings.id(COMMAND_LINE_PREFIX + label.command_line)));
  }
  if (!label.role.empty()) {
    profile.comment.push_back(static_cast<std::int64_t>(strings.id(ROLE_PREFIX + label.role)));
  }
  if (label.parent_pid != 0) comment(PARENT_PREFIX, label.parent_pid, "");
  if (stats.dropped > 0) comment(DROPPED_PREFIX, stats.dropped, DROPPED_SUFFIX);
  comment(PEAK_PREFIX, stats.peak_buffered_bytes, PEAK_SUFFIX);
  for (const Pause& pause : stats.pauses) {
    std::string text(PAUSED_PREFIX);
    text += std::to_string(pause.from_ns);
    text += pause.to_ns ? PAUSED_UNTIL + std::to_string(*pause.to_ns) + NS_SUFFIX
                        : std::string(STILL_PAUSED);
    profile.comment.push_back(static_cast<std::int64_t>(strings.id(text)));
  }
  if (marks_left_out_ > 0) comment(MARKS_PREFIX, marks_left_out_, MARKS_SUFFIX);
  if (stats.min_duration_ns > 0) {
    // Nothing is lost: each call left out is charged to its caller.
    const std::string text =
        short_calls_statement(stats.short_calls_left_out, stats.min_duration_ns) +
        " (their time is their callers')";
    profile.comment.push_back(static_cast<std::int64_t>(strings.id(text)));
  }
  profile.string_table = std::move(strings).take_list();

  // The profile goes out in pieces through the file's buffer. A sample lists
  // every frame of its stack, so the samples of deep recursion hold ids by
  // the depth squared. The stacks are walked in key order, each after the
  // stack of its outer frames, keeping the current one's ids encoded
  // innermost first at the end of one buffer: entering a frame writes its id
  // just before its caller's, and a sample is one copy of what follows.
  // The session's end waits for the profile, most of which is compression:
  // a second thread compresses every other member.
  file_.compress_alongside();
  ByteBuffer& out = file_.buffer();
  const auto mismatch = [] { return IoError::other(std::string(ENCODING_MISMATCH)); };
  if (!pprof::encode_head(profile, out)) return mismatch();
  const std::vector<pprof::StackTree::Placed> order = stacks_.live_in_order(rank);
  std::uint32_t max_depth = 0;
  for (const pprof::StackTree::Placed& p : order) max_depth = std::max(max_depth, p.depth);
  std::vector<char> path(std::size_t{max_depth} * wire::MAX_VARINT_BYTES);
  std::vector<std::size_t> starts(std::size_t{max_depth} + 1);  // by depth; 0 the empty stack
  starts[0] = path.size();
  for (const pprof::StackTree::Placed& p : order) {
    char id[wire::MAX_VARINT_BYTES];
    const auto id_len =
        static_cast<std::size_t>(wire::put_varint(id, ids[stacks_.code(p.node)]) - id);
    const std::size_t start = starts[p.depth - 1] - id_len;
    std::memcpy(path.data() + start, id, id_len);
    starts[p.depth] = start;
    const std::int64_t total = stacks_.total(p.node);
    if (total <= 0) continue;
    const std::string_view ids_here(path.data() + start, path.size() - start);
    if (!pprof::encode_packed_sample(ids_here, total, out)) return mismatch();
    if (IoStatus status = file_.flush_if_full()) return status;
  }
  // The totals are taken; threads keep their stacks.
  stacks_.clear_totals();
  if (!pprof::encode_tail(profile, out)) return mismatch();
  return file_.flush();
}

std::vector<std::pair<std::vector<std::uint32_t>, std::int64_t>> PprofExporter::stack_totals()
    const {
  const std::vector<std::uint64_t> rank = ranks();
  std::vector<std::pair<std::vector<std::uint32_t>, std::int64_t>> out;
  for (const pprof::NodeId node : stacks_.charged_in_order(rank)) {
    std::vector<std::uint32_t> codes;
    for (const pprof::FunctionSlot slot : stacks_.codes_of(node)) {
      codes.push_back(static_cast<std::uint32_t>((rank[slot] - 1) & MAX_CODE_ID));
    }
    out.emplace_back(std::move(codes), stacks_.total(node));
  }
  return out;
}

}  // namespace fennik
