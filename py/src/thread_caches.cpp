#include "thread_caches.hpp"

#include <memory>
#include <new>

namespace fennik::py {
namespace {

constinit const std::array<CodeSlot, CODE_CACHE_SLOTS> NO_CODES{};

// Null until the thread has caches, and again once they are gone.
constinit thread_local ThreadCaches* CACHES = nullptr;
// Set when the thread's exit has freed the caches.
constinit thread_local bool CACHES_GONE = false;
// The session in which the caches could not be made, or 0.
constinit thread_local std::uint64_t FAILED_IN_QUEUE = 0;

// Owns the thread's caches. Its destructor, run at the thread's exit, points
// the fast path back at the empty table first.
struct CachesOwner {
  std::unique_ptr<ThreadCaches> caches;

  ~CachesOwner() {
    CODE_SLOTS = NO_CODES.data();
    CACHES = nullptr;
    CACHES_GONE = true;
  }
};
thread_local CachesOwner OWNER;

}  // namespace

constinit thread_local const CodeSlot* CODE_SLOTS = NO_CODES.data();

ThreadCaches* thread_caches(std::uint64_t queue_id) noexcept {
  if (CACHES != nullptr || CACHES_GONE || FAILED_IN_QUEUE == queue_id) return CACHES;
  try {
    CachesOwner& owner = OWNER;  // registers its destructor
    owner.caches = std::make_unique<ThreadCaches>();
    CACHES = owner.caches.get();
    CODE_SLOTS = CACHES->codes.data();
  } catch (const std::bad_alloc&) {
    FAILED_IN_QUEUE = queue_id;
  }
  return CACHES;
}

void empty_code_cache() noexcept {
  if (CACHES != nullptr) CACHES->codes.fill(CodeSlot{0, 0});
}

}  // namespace fennik::py
