#include "codewatch.hpp"

#include <mutex>
#include <vector>

#include "monitoring.hpp"
#include "pyref.hpp"

namespace fennik {

std::atomic<std::uint64_t> GENERATION{0};

namespace py {
namespace {

// The sessions whose interners hear about destroyed code objects. Weak: a
// finished session is not kept alive by the watcher.
struct Watched {
  std::mutex lock;
  std::vector<std::weak_ptr<SessionHub>> states;
};
// Never destroyed: code objects die during interpreter finalisation too.
constinit NoDestroy<Watched> WATCHED;

int on_code_event(PyCodeEvent event, PyCodeObject* code) noexcept {
  if (event != PY_CODE_EVENT_DESTROY) return 0;
  const auto address = reinterpret_cast<std::uintptr_t>(code);
  bool forgot = false;
  {
    // Taken only with the interpreter lock held, so never held across a fork.
    std::lock_guard<std::mutex> g(WATCHED->lock);
    for (const auto& weak : WATCHED->states) {
      std::shared_ptr<SessionHub> s = weak.lock();
      // A session abandoned by a forked child is left alone: its interner's
      // lock may have been held by a thread that does not exist here.
      if (!s || !s->live()) continue;
      forgot |= s->interner.forget(address, s->queue->clock.now_ticks());
    }
  }
  if (forgot) {
    // The fast path checks only a thread's cached code, so every thread's
    // goes; the generation tells each to empty its code cache too.
    GENERATION.fetch_add(1, std::memory_order_seq_cst);  // see publish_cached_code
    forget_cached_codes();
  }
  return 0;
}

// Registered once per process and never removed; -2 means not yet tried.
constexpr int WATCHER_UNSET = -2;
std::atomic<int> WATCHER{WATCHER_UNSET};

// The watcher's id, registering it first if need be; negative when the
// interpreter refused it. Threads that register at once (without the
// interpreter lock) keep the first published and clear their own.
int watcher() noexcept {
  int id = WATCHER.load(std::memory_order_acquire);
  if (id != WATCHER_UNSET) return id;
  const int mine = PyCode_AddWatcher(on_code_event);
  if (WATCHER.compare_exchange_strong(id, mine, std::memory_order_acq_rel)) return mine;
  if (mine < 0 || PyCode_ClearWatcher(mine) < 0) PyErr_Clear();
  return id;
}

}  // namespace

bool watch(const std::shared_ptr<SessionHub>& state) {
  if (watcher() < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "PyCode_AddWatcher failed");
    return false;
  }
  std::lock_guard<std::mutex> g(WATCHED->lock);
  std::erase_if(WATCHED->states, [](const std::weak_ptr<SessionHub>& w) { return w.expired(); });
  WATCHED->states.push_back(state);
  return true;
}

void end_watched_recording() noexcept {
  std::lock_guard<std::mutex> g(WATCHED->lock);
  for (const auto& weak : WATCHED->states) {
    if (std::shared_ptr<SessionHub> s = weak.lock()) s->end_recording();
  }
}

}  // namespace py
}  // namespace fennik
