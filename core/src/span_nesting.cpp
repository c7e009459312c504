#include "span_nesting.hpp"

namespace fennik {

IoStatus SpanNesting::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                  const ThreadNames& threads) {
  if (events.empty()) return inner().write_batch(events, codes, threads);
  Open& open = open_[events.front().tid];
  if (open.spans.empty()) {
    // Most batches hold no span and find none open: they go on as they are.
    // Which frame a span was opened in is all that matters, so frames are
    // counted only while a span is open, from zero where the first opens.
    bool has_span = false;
    for (const Event& e : events) {
      static_assert(KIND_SPAN_END == KIND_SPAN_BEGIN + 1);
      has_span |= static_cast<std::uint8_t>(word_kind(e.code_kind) - KIND_SPAN_BEGIN) <= 1;
    }
    if (!has_span) return inner().write_batch(events, codes, threads);
    open.depth = 0;
  }
  // Whether the innermost thing open is a span.
  const auto span_innermost = [&open] {
    return !open.spans.empty() && open.spans.back().depth == open.depth;
  };
  // The common case changes nothing: what comes in goes on as it is.
  bool changed = false;
  bool dropping = false;  // the argument words of an end left out
  out_.clear();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    const std::uint8_t kind = word_kind(e.code_kind);
    bool keep = true;
    if (kind == KIND_ARG) {
      keep = !dropping;
    } else if (is_begin(kind)) {
      ++open.depth;
      if (kind == KIND_SPAN_BEGIN) open.spans.push_back({open.depth, e.code_kind});
    } else if (kind == KIND_SPAN_END) {
      keep = span_innermost();
      if (keep) {
        open.spans.pop_back();
        --open.depth;
      }
    } else if (is_end(kind)) {
      while (span_innermost()) {
        if (!changed) out_.assign(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(i));
        changed = true;
        out_.push_back({e.ts_ns, e.tid, closing_word(open.spans.back().word)});
        open.spans.pop_back();
        --open.depth;
      }
      if (open.depth != 0) --open.depth;
    }
    if (kind != KIND_ARG) dropping = !keep;
    if (!keep && !changed) {
      out_.assign(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
    }
    if (keep && changed) out_.push_back(e);
  }
  return inner().write_batch(changed ? std::span<const Event>(out_) : events, codes, threads);
}

}  // namespace fennik
