#include "pause_marks.hpp"

#include <algorithm>
#include <utility>

namespace fennik {

bool PauseLog::pause(std::uint64_t ns) {
  std::lock_guard<std::mutex> g(lock_);
  if (!pauses_.empty() && !pauses_.back().to_ns) return false;
  pauses_.push_back(Pause{ns, std::nullopt});
  version_.fetch_add(1, std::memory_order_release);
  return true;
}

bool PauseLog::resume(std::uint64_t ns) {
  std::lock_guard<std::mutex> g(lock_);
  if (pauses_.empty() || pauses_.back().to_ns) return false;
  pauses_.back().to_ns = std::max(ns, pauses_.back().from_ns);
  version_.fetch_add(1, std::memory_order_release);
  return true;
}

bool PauseLog::paused() const {
  std::lock_guard<std::mutex> g(lock_);
  return !pauses_.empty() && !pauses_.back().to_ns;
}

std::vector<Pause> PauseLog::list() const {
  std::lock_guard<std::mutex> g(lock_);
  return pauses_;
}

void PauseMarks::refresh() {
  const std::uint64_t version = log_->version();
  if (version == version_) return;
  pauses_ = log_->list();
  version_ = version;
}

std::optional<std::uint64_t> PauseMarks::pause_within(std::uint64_t after,
                                                      std::uint64_t until) const {
  for (const Pause& p : pauses_) {
    if (p.from_ns > after && p.from_ns <= until) return p.from_ns;
  }
  return std::nullopt;
}

IoStatus PauseMarks::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                 const ThreadNames& threads) {
  if (events.empty()) return inner().write_batch(events, codes, threads);
  refresh();
  const std::uint32_t tid = events.front().tid;
  if (!first_ts_ || events.front().ts_ns < *first_ts_) first_ts_ = events.front().ts_ns;
  std::uint64_t& last = last_ts_.try_emplace(tid, events.front().ts_ns).first->second;
  std::size_t from = 0;
  // A batch reaching across a pause is written in two parts, the frames
  // open at the pause ended in between.
  for (std::size_t i = 0; i < events.size() && !pauses_.empty(); ++i) {
    const std::optional<std::uint64_t> at = pause_within(last, events[i].ts_ns);
    last = events[i].ts_ns;
    if (!at) continue;
    if (IoStatus err = inner().write_batch(events.subspan(from, i - from), codes, threads)) {
      return err;
    }
    if (IoStatus err = inner().end_open_at(tid, *at, codes, threads)) return err;
    from = i;
  }
  last = events.back().ts_ns;
  return inner().write_batch(events.subspan(from), codes, threads);
}

IoStatus PauseMarks::write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                               const CodeLookup& codes, const ThreadNames& threads) {
  std::uint64_t& last = last_ts_[tid];
  last = std::max(last, ts_ns);
  return inner().write_gap(tid, ts_ns, count, codes, threads);
}

IoStatus PauseMarks::end_thread(std::uint32_t tid, const CodeLookup& codes,
                                const ThreadNames& threads) {
  last_ts_.erase(tid);
  return inner().end_thread(tid, codes, threads);
}

IoStatus PauseMarks::finish(const CodeLookup& codes, const ThreadNames& threads,
                            const RunStats& stats) {
  refresh();
  for (const auto& [tid, last] : last_ts_) {
    // Paused after the thread's last event: what it had open ends there.
    if (const std::optional<std::uint64_t> at = pause_within(last, UINT64_MAX)) {
      if (IoStatus err = inner().end_open_at(tid, *at, codes, threads)) return err;
    }
  }
  RunStats marked = stats;
  for (const Pause& p : pauses_) {
    // A dump shows the pauses that reach into its events, and one still on.
    const bool reaches = first_ts_ ? !p.to_ns || *p.to_ns >= *first_ts_ : !p.to_ns;
    if (reaches) marked.pauses.push_back(p);
  }
  return inner().finish(codes, threads, marked);
}

IoResult<OpenedDump> PauseMarksDumpSink::open(const std::string& reason) {
  IoResult<OpenedDump> opened = inner_->open(reason);
  if (!opened.ok()) return opened;
  OpenedDump dump = std::move(opened).value();
  dump.exporter = std::make_unique<PauseMarks>(std::move(dump.exporter), log_);
  return dump;
}

std::vector<std::uint64_t> PauseMarksDumpSink::pauses_ns() const {
  const std::vector<Pause> pauses = log_->list();
  std::vector<std::uint64_t> from;
  from.reserve(pauses.size());
  for (const Pause& p : pauses) from.push_back(p.from_ns);
  return from;
}

}  // namespace fennik
