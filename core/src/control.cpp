#include "control.hpp"

namespace fennik {

std::atomic<std::uint64_t> NEXT_WINDOW{1};

void DumpReply::settle(Outcome outcome, std::string path, IoStatus error) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (outcome_ != Outcome::Pending) return;
    path_ = std::move(path);
    error_ = std::move(error);
    outcome_ = outcome;
  }
  settled_cv_.notify_all();
}

bool DumpReply::wait_for(std::chrono::nanoseconds timeout) {
  std::unique_lock<std::mutex> g(lock_);
  return settled_cv_.wait_for(g, timeout, [this] { return outcome_ != Outcome::Pending; });
}

DumpReply::Outcome DumpReply::outcome() const {
  std::lock_guard<std::mutex> g(lock_);
  return outcome_;
}

ReplyTo& ReplyTo::operator=(ReplyTo&& other) noexcept {
  if (this != &other) {
    if (reply_) reply_->gone();
    reply_ = std::move(other.reply_);
  }
  return *this;
}

ReplyTo::~ReplyTo() {
  if (reply_) reply_->gone();
}

void ReplyTo::written(std::string path) {
  if (reply_) std::exchange(reply_, nullptr)->written(std::move(path));
}

void ReplyTo::failed(IoError error, std::string path) {
  if (reply_) std::exchange(reply_, nullptr)->failed(std::move(error), std::move(path));
}

bool ControlChannel::send(Control message) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (closed_) return false;
    messages_.push_back(std::move(message));
  }
  queue_->wake();
  return true;
}

void ControlChannel::request_final_dump(FinalDump dump) {
  std::lock_guard<std::mutex> g(lock_);
  final_ = std::move(dump);
}

void ControlChannel::receive(std::deque<Control>& into) {
  std::lock_guard<std::mutex> g(lock_);
  if (into.empty()) {
    into.swap(messages_);
    return;
  }
  for (Control& m : messages_) into.push_back(std::move(m));
  messages_.clear();
}

std::optional<FinalDump> ControlChannel::take_final_dump() {
  std::lock_guard<std::mutex> g(lock_);
  return std::exchange(final_, std::nullopt);
}

void ControlChannel::close() noexcept {
  std::deque<Control> left;
  {
    std::lock_guard<std::mutex> g(lock_);
    closed_ = true;
    left.swap(messages_);
  }
  // Their replies are told here, outside the lock.
}

}  // namespace fennik
