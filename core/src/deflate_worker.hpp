// A second thread compressing gzip members, so that a long output written
// while a core is free (a profile written at the end of a run, with the
// program waiting for it) compresses two members at a time:
//
//   writer:  fill A ─ give(A) ─ fill B ─ compress B ─ take() ─ write A, B ─ ...
//   worker:                   └─ compress A ───────┘
//
// Owned by the SharedFile that made it; its destructor joins the thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "byte_buffer.hpp"
#include "deflater.hpp"

namespace fennik {

inline constexpr char DEFLATE_THREAD_NAME[] = "fennik-gzip";

class DeflateWorker {
 public:
  // Starts the thread. Throws std::system_error when it cannot start, as
  // Deflater() throws when the compressor cannot be made.
  DeflateWorker();
  ~DeflateWorker();
  DeflateWorker(const DeflateWorker&) = delete;
  DeflateWorker& operator=(const DeflateWorker&) = delete;

  // Whether a member was given and not yet released. The owner's view:
  // only the thread that gives and releases asks.
  bool holding() const noexcept { return holding_; }
  // Hands over `plain`'s bytes to be compressed as one member; `plain` is
  // left empty (with an earlier member's room). Only when not holding().
  void give(ByteBuffer& plain);
  // Waits for the member given last: its gzip bytes, valid until release(),
  // or null when compressing it failed. Only when holding().
  const ByteBuffer* wait();
  // The owner is done with the member (written, or dropped).
  void release() noexcept { holding_ = false; }

 private:
  void run();

  Deflater deflater_;  // used by the worker's thread only
  std::mutex lock_;
  std::condition_variable changed_cv_;
  // Guarded by lock_: the member in hand and its result.
  ByteBuffer plain_{0};
  ByteBuffer packed_{0};
  bool given_ = false;
  bool done_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  bool holding_ = false;  // the owner's thread only
  std::thread thread_;    // last: it starts once the rest is built
};

}  // namespace fennik
