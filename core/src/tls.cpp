#include "tls.hpp"

#include <algorithm>
#include <memory>

namespace fennik {

constinit thread_local Hot HOT FENNIK_HOT_TLS;
thread_local Cold COLD;
thread_local bool COLD_GONE = false;
constinit NoDestroy<RecorderList> RECORDERS;

SeqWrite::SeqWrite(Hot& hot) noexcept : hot_(hot), seq_(hot.seq.load(std::memory_order_relaxed)) {
  hot_.seq.store(seq_ + 1, std::memory_order_relaxed);
  seq_write_barrier();
}

SeqWrite::~SeqWrite() {
  hot_.seq.store(seq_ + 2, std::memory_order_release);
}

void mirror_into(Hot& hot, EventBatch& batch) noexcept {
  PackedEvent* start = batch.slots();
  hot.base.store(batch.base, MIRROR_STORE);
  hot.tid.store(batch.tid, MIRROR_STORE);
  hot.end.store(start + BATCH_CAPACITY, MIRROR_STORE);
  hot.cursor.store(start + batch.size(), std::memory_order_release);
}

void mirror_none(Hot& hot) noexcept {
  hot.queue_id.store(0, MIRROR_STORE);
  hot.end.store(nullptr, MIRROR_STORE);
  hot.cursor.store(nullptr, std::memory_order_release);
}

namespace {

std::uint32_t filled(const Hot& hot, const EventBatch& batch) noexcept {
  const PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  return static_cast<std::uint32_t>(cursor - batch.slots());
}

}  // namespace

std::uint64_t Cold::flush_partial(Cold& cold, Hot& hot) noexcept {
  if (!cold.current) return 0;
  std::unique_ptr<EventBatch> taken = std::move(cold.current);
  taken->set_size(filled(hot, *taken));
  if (cold.producer && !taken->empty()) {
    cold.current = EventBatch::fresh(taken->base, taken->tid);
    {
      SeqWrite w(hot);
      mirror_into(hot, *cold.current);
    }
    if (!cold.producer->try_push(taken)) return taken->size();
    return 0;
  }
  cold.current = std::move(taken);
  cold.current->set_size(0);
  SeqWrite w(hot);
  mirror_into(hot, *cold.current);
  return 0;
}

Cold::~Cold() {
  {
    std::lock_guard<std::mutex> g(RECORDERS->lock);
    auto& list = RECORDERS->entries;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const Recorder& r) { return r.cold == this; }),
               list.end());
  }
  // Events lost here are not counted: the session may be long gone.
  flush_partial(*this, HOT);
  {
    SeqWrite w(HOT);
    mirror_none(HOT);
  }
  COLD_GONE = true;
}

namespace {
std::atomic<std::uint64_t> NEXT_THREAD_SERIAL{1};
constinit thread_local std::uint64_t THREAD_SERIAL = 0;
}  // namespace

std::uint64_t thread_serial() noexcept {
  if (THREAD_SERIAL == 0)
    THREAD_SERIAL = NEXT_THREAD_SERIAL.fetch_add(1, std::memory_order_relaxed);
  return THREAD_SERIAL;
}

void register_current() {
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  auto& list = RECORDERS->entries;
  const bool present =
      std::any_of(list.begin(), list.end(), [](const Recorder& r) { return r.cold == &COLD; });
  if (!present) list.push_back(Recorder{&COLD, &HOT});
}

std::uint64_t flush_every_thread() noexcept {
  std::lock_guard<std::mutex> g(RECORDERS->lock);
  std::uint64_t lost = 0;
  for (const Recorder& r : RECORDERS->entries) lost += Cold::flush_partial(*r.cold, *r.hot);
  return lost;
}

void abandon_after_fork() noexcept {
  // The lock may have been held by a thread that does not exist in the child.
  std::construct_at(&RECORDERS.value);
  COLD.producer.reset();
  COLD.owner_queue = 0;
  static_cast<void>(COLD.current.release());
  SeqWrite w(HOT);
  mirror_none(HOT);
}

}  // namespace fennik
