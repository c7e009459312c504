// How Python threads ask the flight recorder for dumps: messages on a
// channel the recorder drains, and a one-shot reply each requester waits on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "evqueue.hpp"
#include "io_error.hpp"

namespace fennik {

// Window ids, process-wide, never reused; the first is 1.
extern std::atomic<std::uint64_t> NEXT_WINDOW;

// The answer to one dump request, shared by the requester and the recorder.
class DumpReply {
 public:
  enum class Outcome : std::uint8_t {
    Pending,
    Written,  // path() names the dump
    Failed,   // error() says why, path() where; the recorder carries on
    Gone,     // the recorder ended before it handled the request
  };

  void written(std::string path) { settle(Outcome::Written, std::move(path), IO_OK); }
  void failed(IoError error, std::string path) {
    settle(Outcome::Failed, std::move(path), std::move(error));
  }
  void gone() { settle(Outcome::Gone, {}, IO_OK); }

  // True once settled, waiting at most `timeout` for it.
  bool wait_for(std::chrono::nanoseconds timeout);
  // Read once settled.
  Outcome outcome() const;
  // Written: the dump's path. Failed: the file or directory the error
  // concerns, empty when none.
  const std::string& path() const { return path_; }
  const IoStatus& error() const { return error_; }

 private:
  void settle(Outcome outcome, std::string path, IoStatus error);

  mutable std::mutex lock_;
  std::condition_variable settled_cv_;
  Outcome outcome_ = Outcome::Pending;  // guarded by lock_; the rest is set before it
  std::string path_;
  IoStatus error_;
};

// The recorder's end of one reply: dropped unanswered, it tells the
// requester that the recorder is gone.
class ReplyTo {
 public:
  ReplyTo() noexcept = default;
  explicit ReplyTo(std::shared_ptr<DumpReply> reply) noexcept : reply_(std::move(reply)) {}
  ReplyTo(ReplyTo&&) noexcept = default;
  ReplyTo& operator=(ReplyTo&& other) noexcept;
  ReplyTo(const ReplyTo&) = delete;
  ReplyTo& operator=(const ReplyTo&) = delete;
  ~ReplyTo();

  // Both settle the reply and let it go; nothing when no answer is wanted.
  void written(std::string path);
  void failed(IoError error, std::string path);

 private:
  std::shared_ptr<DumpReply> reply_;
};

// Start protecting everything from `since` on.
struct OpenWindow {
  std::uint64_t id;
  std::uint64_t since;
};
// Dump from `from` to `until`, then forget window `id`.
struct DumpWindow {
  ReplyTo reply;
  std::string reason;
  std::uint64_t id;
  std::uint64_t from;
  std::uint64_t until;
};
// Dump everything held up to `until`.
struct Dump {
  ReplyTo reply;
  std::string reason;
  std::uint64_t until;
};
// Forget window `id` without a dump: its owner went away.
struct CloseWindow {
  std::uint64_t id;
};
using Control = std::variant<OpenWindow, DumpWindow, Dump, CloseWindow>;

// The dump the recorder writes last, once every event of the session is in.
struct FinalDump {
  std::string reason;
  std::uint64_t until;
};

// Any number of senders, one receiver. Shared by the session, which sends,
// and the recorder thread, which receives and closes it when it ends.
class ControlChannel {
 public:
  // Sending wakes the recorder through `queue`.
  explicit ControlChannel(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}

  // False, with the message dropped (its reply told the recorder is gone),
  // once the recorder has ended.
  bool send(Control message);
  // Asks for the final dump; the recorder writes it after the queue closed.
  void request_final_dump(FinalDump dump);

  // Moves every waiting message to the back of `into`, in the order sent.
  void receive(std::deque<Control>& into);
  std::optional<FinalDump> take_final_dump();
  // No more messages: those waiting, and every later one, are told the
  // recorder is gone.
  void close() noexcept;

 private:
  const std::shared_ptr<EventQueue> queue_;
  std::mutex lock_;
  std::deque<Control> messages_;  // guarded by lock_
  std::optional<FinalDump> final_;
  bool closed_ = false;
};

}  // namespace fennik
