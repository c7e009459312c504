#include "short_calls.hpp"

namespace fennik {

std::string short_calls_statement(std::uint64_t count, std::uint64_t min_duration_ns) {
  constexpr std::uint64_t NS_PER_US = 1000;
  const std::string shorter = min_duration_ns % NS_PER_US == 0
                                  ? std::to_string(min_duration_ns / NS_PER_US) + " \u00b5s"
                                  : std::to_string(min_duration_ns) + " ns";
  return "fennik: " + std::to_string(count) + (count == 1 ? " call" : " calls") + " shorter than " +
         shorter + " left out";
}

void ShortCallFilter::show_lasting(Open& open, std::uint64_t now) {
  // Outer frames began earlier: once one has lasted, all beneath it have.
  // What a shown frame holds before its next begin (argument words,
  // instants, counter values) goes out with it.
  while (open.shown < open.begins.size()) {
    const Event& e = open.begins[open.shown];
    if (is_begin(word_kind(e.code_kind)) && now - e.ts_ns < min_ns_) break;
    out_.push_back(e);
    ++open.shown;
  }
}

void ShortCallFilter::keep_only_marks(Open& open, std::size_t from) {
  bool kept = false;  // whether the argument words that follow stay too
  std::size_t to = from;
  for (std::size_t i = from; i < open.begins.size(); ++i) {
    const std::uint8_t kind = word_kind(open.begins[i].code_kind);
    if (kind != KIND_ARG) kept = kind == KIND_INSTANT || kind == KIND_COUNTER;
    if (kept) open.begins[to++] = open.begins[i];
  }
  open.begins.resize(to);
}

void ShortCallFilter::close_at(Open& open, std::uint64_t at) {
  show_lasting(open, at);
  left_out_ += begins_in(open, open.shown);
  keep_only_marks(open, open.shown);
  out_.insert(out_.end(), open.begins.begin() + static_cast<std::ptrdiff_t>(open.shown),
              open.begins.end());
  open.begins.clear();
  open.shown = 0;
}

std::size_t ShortCallFilter::begins_in(const Open& open, std::size_t from) noexcept {
  std::size_t n = 0;
  for (std::size_t i = from; i < open.begins.size(); ++i) {
    n += is_begin(word_kind(open.begins[i].code_kind));
  }
  return n;
}

IoStatus ShortCallFilter::send(const CodeLookup& codes, const ThreadNames& threads) {
  if (out_.empty()) return IO_OK;
  IoStatus st = inner().write_batch(out_, codes, threads);
  out_.clear();
  return st;
}

IoStatus ShortCallFilter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                      const ThreadNames& threads) {
  if (events.empty()) return IO_OK;
  Open& open = threads_[events.front().tid];
  for (const Event& e : events) {
    show_lasting(open, e.ts_ns);
    const std::uint8_t kind = word_kind(e.code_kind);
    if (!is_begin(kind) && (open.begins.empty() || !is_end(kind))) {
      // Nothing waits, or it waits with the frame it lies in.
      if (open.begins.empty()) {
        out_.push_back(e);
      } else {
        open.begins.push_back(e);
        show_lasting(open, e.ts_ns);
      }
      open.last_ts = e.ts_ns;
      continue;
    }
    if (is_begin(kind)) {
      open.begins.push_back(e);
    } else {
      std::size_t innermost = open.begins.size();
      while (innermost-- > 0 && !is_begin(word_kind(open.begins[innermost].code_kind))) {
      }
      if (innermost == SIZE_MAX) {
        out_.push_back(e);  // ends nothing open: the exporter leaves it out
        open.begins.clear();
        open.shown = 0;
        continue;
      }
      if (open.shown > innermost) {
        // It went out, and with it all it holds.
        out_.push_back(e);
        open.shown = innermost;
        open.begins.resize(innermost);
      } else {
        // Left out; what it holds of instants and counter values stays in
        // its place, and goes out once all before it did.
        ++left_out_;
        keep_only_marks(open, innermost);
        show_lasting(open, e.ts_ns);
      }
    }
    open.last_ts = e.ts_ns;
  }
  return send(codes, threads);
}

IoStatus ShortCallFilter::write_gap(std::uint32_t tid, std::uint64_t ts_ns, std::uint64_t count,
                                    const CodeLookup& codes, const ThreadNames& threads) {
  if (auto it = threads_.find(tid); it != threads_.end()) close_at(it->second, ts_ns);
  if (IoStatus st = send(codes, threads)) return st;
  return inner().write_gap(tid, ts_ns, count, codes, threads);
}

IoStatus ShortCallFilter::end_open_at(std::uint32_t tid, std::uint64_t ts_ns,
                                      const CodeLookup& codes, const ThreadNames& threads) {
  if (auto it = threads_.find(tid); it != threads_.end()) close_at(it->second, ts_ns);
  if (IoStatus st = send(codes, threads)) return st;
  return inner().end_open_at(tid, ts_ns, codes, threads);
}

IoStatus ShortCallFilter::end_thread(std::uint32_t tid, const CodeLookup& codes,
                                     const ThreadNames& threads) {
  if (auto it = threads_.find(tid); it != threads_.end()) {
    // What went out ends here, at the thread's last event, as the exporter
    // would end it: not at the last event it was given, which may be earlier.
    Open& open = it->second;
    show_lasting(open, open.last_ts);
    left_out_ += begins_in(open, open.shown);
    // Instants and counter values of what is left out, inside what went out.
    keep_only_marks(open, open.shown);
    out_.insert(out_.end(), open.begins.begin() + static_cast<std::ptrdiff_t>(open.shown),
                open.begins.end());
    for (std::size_t i = open.shown; i-- > 0;) {
      if (is_begin(word_kind(open.begins[i].code_kind))) {
        out_.push_back({open.last_ts, tid, closing_word(open.begins[i].code_kind)});
      }
    }
    threads_.erase(it);
  }
  if (IoStatus st = send(codes, threads)) return st;
  return inner().end_thread(tid, codes, threads);
}

IoStatus ShortCallFilter::finish(const CodeLookup& codes, const ThreadNames& threads,
                                 const RunStats& stats) {
  for (auto& [tid, open] : threads_) {
    out_.insert(out_.end(), open.begins.begin() + static_cast<std::ptrdiff_t>(open.shown),
                open.begins.end());
    open.shown = open.begins.size();
    if (IoStatus st = send(codes, threads)) return st;
  }
  RunStats with_short = stats;
  with_short.min_duration_ns = min_ns_;
  with_short.short_calls_left_out = left_out_;
  return inner().finish(codes, threads, with_short);
}

}  // namespace fennik
