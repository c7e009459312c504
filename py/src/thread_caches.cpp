#include "thread_caches.hpp"

#include <memory>
#include <new>

namespace fennik::py {
namespace {

constinit const std::array<CodeSlot, CODE_CACHE_SLOTS> NO_CODES{};

// Null until the thread has caches, and again once they are gone.
constinit thread_local ThreadCaches* CACHES = nullptr;
// Set when the caches could not be made, or have been freed.
constinit thread_local bool CACHES_GONE = false;

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

ThreadCaches* thread_caches() noexcept {
  if (CACHES != nullptr || CACHES_GONE) return CACHES;
  try {
    CachesOwner& owner = OWNER;  // registers its destructor
    owner.caches = std::make_unique<ThreadCaches>();
    CACHES = owner.caches.get();
    CODE_SLOTS = CACHES->codes.data();
  } catch (const std::bad_alloc&) {
    CACHES_GONE = true;
  }
  return CACHES;
}

void empty_code_cache() noexcept {
  if (CACHES != nullptr) CACHES->codes.fill(CodeSlot{0, 0});
}

}  // namespace fennik::py
