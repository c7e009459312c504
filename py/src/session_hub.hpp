// The hub of one session: what the monitoring callbacks record through and
// the output side reads names from.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "annotation_sites.hpp"
#include "code_filter.hpp"
#include "evqueue.hpp"
#include "intern.hpp"
#include "sink.hpp"
#include "threads.hpp"

namespace fennik {

// One per session: the queue (and its clock), the interner and the thread
// names. It is also what the output side reads names through.
class SessionHub : public CodeLookup, public ThreadNames {
 public:
  SessionHub(std::shared_ptr<EventQueue> q, std::uint32_t code_capacity, CodeFilter f = {},
             std::uint32_t depth_limit = NO_DEPTH_LIMIT, bool record_c_calls = false)
      : queue(std::move(q)),
        queue_id(queue->queue_id),
        counter_mode(queue->clock.counter_mode()),
        filter(std::move(f)),
        max_depth(depth_limit),
        c_calls(record_c_calls),
        interner(code_capacity) {}

  std::optional<CodeInfo> code(std::uint32_t id) const override { return interner.code(id); }
  std::optional<SiteInfo> site(std::uint32_t id) const override { return sites.site(id); }
  std::uint64_t reuse_generation() const override { return interner.reuse_generation(); }
  std::optional<std::string> name(std::uint32_t tid) const override { return threads.name(tid); }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return threads.snapshot();
  }
  void retire(std::uint32_t tid, std::uint64_t serial) override { threads.retire(tid, serial); }
  ProcessLabel process() const override {
    std::lock_guard<std::mutex> g(label_lock_);
    return label_;
  }
  void set_process(ProcessLabel label) {
    std::lock_guard<std::mutex> g(label_lock_);
    label_ = std::move(label);
  }
  // The multiprocessing name, which a child learns after it starts.
  void set_role(std::string role) {
    std::lock_guard<std::mutex> g(label_lock_);
    if (label_.role != role) label_.role = std::move(role);
  }

  bool live() const noexcept { return live_.load(std::memory_order_acquire); }
  // After this no callback records into the session, even one that was
  // suspended in the interpreter while the session ended; also how a forked
  // child leaves its parent's sessions alone.
  void end_recording() noexcept { live_.store(false, std::memory_order_release); }

  const std::shared_ptr<EventQueue> queue;
  const std::uint64_t queue_id;
  const bool counter_mode;
  const CodeFilter filter;
  const std::uint32_t max_depth;  // NO_DEPTH_LIMIT: every depth
  const bool c_calls;             // calls of built-in functions and C classes too
  Interner interner;
  AnnotationSites sites;
  ThreadRegistry threads;

 private:
  std::atomic<bool> live_{true};
  mutable std::mutex label_lock_;
  ProcessLabel label_;
};

}  // namespace fennik
