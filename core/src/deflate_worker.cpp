#include "deflate_worker.hpp"

#include <new>
#include <utility>

#include "thread_name.hpp"

namespace fennik {

DeflateWorker::DeflateWorker() : thread_([this] { run(); }) {}

DeflateWorker::~DeflateWorker() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
  }
  changed_cv_.notify_all();
  thread_.join();
}

void DeflateWorker::give(ByteBuffer& plain) {
  {
    std::lock_guard<std::mutex> g(lock_);
    std::swap(plain_, plain);
    given_ = true;
    done_ = false;
  }
  plain.clear();
  holding_ = true;
  changed_cv_.notify_all();
}

const ByteBuffer* DeflateWorker::wait() {
  std::unique_lock<std::mutex> g(lock_);
  changed_cv_.wait(g, [this] { return done_; });
  return failed_ ? nullptr : &packed_;
}

void DeflateWorker::run() {
  name_current_thread(DEFLATE_THREAD_NAME);
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    changed_cv_.wait(g, [this] { return given_ || stopping_; });
    if (stopping_) return;
    given_ = false;
    // The owner touches neither buffer until done_ is set: compress unlocked.
    g.unlock();
    bool ok = false;
    try {
      packed_.clear();
      ok = deflater_.add_member(plain_.view(), packed_);
    } catch (const std::bad_alloc&) {
      // Out of memory: the owner reports the member as not compressed.
    }
    g.lock();
    failed_ = !ok;
    done_ = true;
    changed_cv_.notify_all();
  }
}

}  // namespace fennik
