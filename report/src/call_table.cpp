#include "call_table.hpp"

#include <algorithm>
#include <charconv>

namespace fennik::report {

namespace {
std::optional<std::uint64_t> decimal(const std::string& s) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}
}  // namespace

bool Selection::by_name() const {
  return thread && !decimal(*thread);
}

bool Selection::wants(std::uint32_t pid_, std::uint64_t tid, const std::string& name) const {
  if (pid && *pid != pid_) return false;
  if (!thread) return true;
  if (const auto id = decimal(*thread)) return *id == tid;
  return *thread == name;
}

std::uint32_t CallTable::add_thread(std::uint32_t pid, std::uint64_t tid, std::string name) {
  const std::size_t index = threads_.size();
  const bool chosen = by_index_given_ ? index < by_index_.size() && by_index_[index] != 0
                                      : selection_.wants(pid, tid, name);
  Thread t;
  t.info = ThreadInfo{pid, tid, std::move(name), chosen};
  threads_.push_back(std::move(t));
  return static_cast<std::uint32_t>(threads_.size() - 1);
}

void CallTable::close_all(Thread& t, std::uint64_t ts) {
  while (!t.stack.empty()) pop(t, ts);
}

void CallTable::gap(std::uint32_t thread, std::uint64_t ts, std::uint64_t count) {
  Thread& t = threads_[thread];
  if (!t.info.chosen) return;
  gap_lost_ = saturated_sum(gap_lost_, count);
  ++gaps_;
  if (!t.info.seen) return;
  // The open calls end where the record breaks off; the lost time is no one's.
  close_all(t, std::max(ts, t.info.last_ns));
  t.info.last_ns = std::max(ts, t.info.last_ns);
}

void CallTable::end_thread(std::uint32_t thread) {
  Thread& t = threads_[thread];
  open_at_end_ += t.stack.size();
  close_all(t, t.info.last_ns);
}

void CallTable::finish() {
  for (std::uint32_t i = 0; i < threads_.size(); ++i) end_thread(i);
  figures_.resize(functions_.size());
}

void CallTable::sample(const std::vector<std::uint32_t>& stack, std::uint64_t ns) {
  ++samples_;
  sampled_ns_ += ns;
  if (stack.empty()) return;
  std::uint32_t node = StackTree::ROOT;
  for (const std::uint32_t fn : stack) {
    Figures& fig = figures_of(fn);
    if (fn >= sample_mark_.size()) sample_mark_.resize(fn + 1);
    if (sample_mark_[fn] != samples_) {  // a recursive stack counts a function once
      sample_mark_[fn] = samples_;
      fig.total_ns += ns;
    }
    if (tree_ != nullptr) node = tree_->child(node, fn);
  }
  figures_of(stack.back()).self_ns += ns;
  if (tree_ != nullptr) tree_->charge(node, ns);
}

std::vector<ThreadInfo> CallTable::threads() const {
  std::vector<ThreadInfo> out;
  out.reserve(threads_.size());
  for (const Thread& t : threads_) out.push_back(t.info);
  return out;
}

std::uint64_t CallTable::covered_ns() const {
  if (samples_ > 0) return sampled_ns_;
  std::uint64_t sum = 0;
  for (const Thread& t : threads_) {
    if (t.info.chosen && t.info.seen) sum += t.info.last_ns - t.info.first_ns;
  }
  return sum;
}

}  // namespace fennik::report
