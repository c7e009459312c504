#include "recorder.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <variant>

#include "pipeline.hpp"

namespace fennik {
namespace {

// The first tick a message needs the ring to keep until it is handled.
// The earliest tick a message still waiting needs kept, if any.
std::optional<std::uint64_t> start_of(const OpenWindow& open) {
  return open.since;
}
std::optional<std::uint64_t> start_of(const DumpWindow& window) {
  return window.from;
}
std::optional<std::uint64_t> start_of(const Dump&) {
  return 0;
}
std::optional<std::uint64_t> start_of(const CloseWindow&) {
  return std::nullopt;
}

}  // namespace

Recorder::Recorder(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                   std::shared_ptr<ThreadNames> threads, std::unique_ptr<DumpSink> sink,
                   std::uint64_t budget_bytes, std::shared_ptr<ControlChannel> channel)
    : queue_(std::move(queue)),
      codes_(std::move(codes)),
      threads_(std::move(threads)),
      sink_(std::move(sink)),
      channel_(std::move(channel)),
      ring_(budget_bytes) {
  scratch_.reserve(DRAIN_ROUND_ITEMS);
}

std::size_t Recorder::absorb(std::size_t limit) {
  return absorb(limit, Fill::Any);
}

std::size_t Recorder::absorb(std::size_t limit, Fill fill) {
  std::size_t taken = 0;
  while (taken < limit) {
    // A request sent before this round's pushes evict holds what it needs.
    admit();
    if (fill == Fill::WithinLimit && ring_.full()) break;
    const std::size_t n =
        queue_->drain_batches(scratch_, std::min(limit - taken, DRAIN_ROUND_ITEMS));
    for (Drained& item : scratch_) {
      if (item.batch) {
        ring_.push(std::move(item.batch));
      } else {
        exits_.push_back(Exit{ring_.pushed(), item.tid, item.serial});
      }
    }
    scratch_.clear();
    queue_->recycle(ring_.evicted_batches());
    taken += n;
    if (n < DRAIN_ROUND_ITEMS) break;
  }
  peak_held_bytes_ = std::max(peak_held_bytes_, ring_.bytes());
  retire_gone_threads();
  return taken;
}

void Recorder::absorb_all() {
  while (absorb(ABSORB_ALL) != 0) {
  }
}

void Recorder::retire_gone_threads() {
  std::size_t gone = 0;
  while (gone < exits_.size() && exits_[gone].after_pushed <= ring_.evicted()) {
    threads_->retire(exits_[gone].tid, exits_[gone].serial);
    ++gone;
  }
  exits_.erase(exits_.begin(), exits_.begin() + static_cast<std::ptrdiff_t>(gone));
}

void Recorder::update_recycle_floor() {
  const std::optional<std::uint64_t> unconsumed =
      queue_->oldest_unconsumed(queue_->clock.now_ticks());
  absorb_all();
  // A batch that could not be read may hold events older than any floor
  // this round could find.
  if (!unconsumed) return;
  std::uint64_t floor = *unconsumed;
  for (const auto& batch : ring_.batches()) floor = std::min(floor, batch->base);
  queue_->publish_recycle_floor(floor);
}

void Recorder::admit() {
  channel_->receive(backlog_);
  std::optional<std::uint64_t> hold = assembling_;
  for (const Control& m : backlog_) {
    const std::optional<std::uint64_t> start =
        std::visit([](const auto& v) { return start_of(v); }, m);
    if (start) hold = std::min(hold.value_or(*start), *start);
  }
  ring_.set_hold(hold);
}

void Recorder::update_pin() {
  admit();
  std::optional<std::uint64_t> pin;
  for (const Window& w : windows_) pin = std::min(pin.value_or(w.since), w.since);
  ring_.set_pin(pin);
}

IoStatus Recorder::write_events(Exporter& exporter, const Assembled& assembled) {
  const std::vector<Event>& events = assembled.events;
  auto gap = assembled.gaps.begin();
  auto write_gaps_before = [&](std::size_t index) -> IoStatus {
    for (; gap != assembled.gaps.end() && gap->before <= index; ++gap) {
      if (IoStatus err = exporter.write_gap(gap->tid, gap->ts_ns, gap->count, *codes_, *threads_)) {
        return err;
      }
    }
    return IO_OK;
  };
  std::size_t since_absorb = 0;
  for (std::size_t i = 0; i < events.size();) {
    if (IoStatus err = write_gaps_before(i)) return err;
    // One call per run of one thread's events, as exporters expect.
    const std::size_t limit =
        std::min({events.size(), i + DUMP_CHUNK_EVENTS,
                  gap != assembled.gaps.end() ? std::max(gap->before, i + 1) : events.size()});
    std::size_t j = i + 1;
    while (j < limit && events[j].tid == events[i].tid) ++j;
    // An annotation's argument words go with it.
    while (j < events.size() && events[j].tid == events[i].tid &&
           word_kind(events[j].code_kind) == KIND_ARG) {
      ++j;
    }
    if (IoStatus err = exporter.write_batch(std::span<const Event>(events).subspan(i, j - i),
                                            *codes_, *threads_)) {
      return err;
    }
    since_absorb += j - i;
    if (since_absorb >= DUMP_CHUNK_EVENTS) {
      absorb(ABSORB_ALL, Fill::WithinLimit);
      since_absorb = 0;
    }
    i = j;
  }
  return write_gaps_before(events.size());
}

DumpOutcome Recorder::dump(std::uint64_t from, std::uint64_t until, const std::string& reason) {
  try {
    assembling_ = from;
    absorb_all();
    std::vector<EventBatch> tails = queue_->read_tails();
    // Batches that filled up while the tails were read.
    absorb_all();
    const std::vector<std::uint64_t> pauses = sink_->pauses_ns();
    const Assembled assembled =
        assemble(ring_, tails, queue_->clock, pauses, ring_.evicted_until(), from, until);
    std::vector<EventBatch>().swap(tails);  // their memory goes back before the file is written
    assembling_.reset();
    admit();
    IoResult<OpenedDump> opened = sink_->open(reason);
    if (!opened.ok()) return {opened.error(), sink_->location()};
    // Unpublished, the file goes with `dump` on every way out.
    OpenedDump dump = std::move(opened).value();
    if (IoStatus err = write_events(*dump.exporter, assembled)) return {err, dump.path};
    // Held batches and those waiting in threads' lists, each at its peak: a
    // bound on what the session held at once.
    const RunStats stats{queue_->dropped.load(std::memory_order_relaxed),
                         peak_held_bytes_ + queue_->peak_buffered_bytes()};
    if (IoStatus err = dump.exporter->finish(*codes_, *threads_, stats)) return {err, dump.path};
    dump.exporter.reset();  // closes the file
    if (IoStatus err = dump.file ? dump.file->publish() : IO_OK) return {err, dump.path};
    return {IO_OK, std::move(dump.path)};
  } catch (const std::bad_alloc&) {
    assembling_.reset();
    return {IoError::other(OUT_OF_MEMORY), {}};
  }
}

bool Recorder::handle_messages() {
  admit();
  if (backlog_.empty()) return false;
  do {
    Control message = std::move(backlog_.front());
    backlog_.pop_front();
    // A message kind with no overload of on() fails to compile here.
    std::visit([this](auto& m) { on(m); }, message);
    admit();
  } while (!backlog_.empty());
  return true;
}

void Recorder::on(OpenWindow& open) {
  windows_.push_back(Window{open.id, open.since});
  update_pin();
}

void Recorder::on(DumpWindow& window) {
  DumpOutcome outcome = dump(window.from, window.until, window.reason);
  // A window whose dump failed is closed too: it must not hold the ring
  // past its budget for the rest of the session.
  forget_window(window.id);
  answer(window.reply, std::move(outcome));
}

void Recorder::forget_window(std::uint64_t id) {
  std::erase_if(windows_, [id](const Window& w) { return w.id == id; });
  update_pin();
  update_recycle_floor();
}

void Recorder::on(Dump& request) {
  DumpOutcome outcome = dump(0, request.until, request.reason);
  update_recycle_floor();
  answer(request.reply, std::move(outcome));
}

void Recorder::on(CloseWindow& close) {
  forget_window(close.id);
}

void Recorder::answer(ReplyTo& reply, DumpOutcome outcome) {
  if (outcome.error) {
    reply.failed(*std::move(outcome.error), std::move(outcome.path));
  } else {
    reply.written(std::move(outcome.path));
  }
}

IoStatus Recorder::final_dump(const FinalDump& request) {
  return dump(0, request.until, request.reason).error;
}

namespace {

// Closes the channel on every way out of the recorder.
class ClosedAtEnd {
 public:
  explicit ClosedAtEnd(ControlChannel& channel) noexcept : channel_(channel) {}
  ~ClosedAtEnd() { channel_.close(); }
  ClosedAtEnd(const ClosedAtEnd&) = delete;
  ClosedAtEnd& operator=(const ClosedAtEnd&) = delete;

 private:
  ControlChannel& channel_;
};

IoStatus record_all(Recorder& recorder, EventQueue& queue, ControlChannel& channel) {
  RoundPacer pacer(queue);
  for (;;) {
    const bool closed = pacer.start();
    bool busy = recorder.handle_messages();
    for (bool again = true; again;) {
      const std::size_t n = recorder.absorb(DRAIN_ROUND_ITEMS);
      busy = recorder.handle_messages() || n != 0 || busy;
      again = pacer.again(n);
    }
    if (closed) break;
    recorder.update_recycle_floor();
    pacer.rest(busy);
  }
  while (recorder.absorb(ABSORB_ALL) != 0) {
  }
  recorder.handle_messages();
  const std::optional<FinalDump> last = channel.take_final_dump();
  return last ? recorder.final_dump(*last) : IO_OK;
}

}  // namespace

IoStatus run_recorder(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<DumpSink> sink,
                      std::uint64_t budget_bytes, std::shared_ptr<ControlChannel> channel) {
  ClosedAtEnd closed_at_end(*channel);
  try {
    Recorder recorder(queue, std::move(codes), std::move(threads), std::move(sink), budget_bytes,
                      channel);
    return record_all(recorder, *queue, *channel);
  } catch (const std::bad_alloc&) {
    return IoError::other(OUT_OF_MEMORY);
  }
}

}  // namespace fennik
