// Each recording thread's list of full batches on their way to the consumer:
// unbounded, one producer and one consumer, a small node per batch. What
// bounds it is the session's buffer budget, which the producer asks first.
// Neither end frees memory in steady state: nodes the consumer has passed
// are reused by the producer, and batches the consumer has written come back
// to the producer through a bounded ring of spares, so that a thread's
// recording does not wait on the allocator's locks while the consumer frees.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "event.hpp"

namespace fennik {

using OwnedBatch = std::unique_ptr<EventBatch>;

// How a list's producer end went away; the consumer reads it once the list is
// empty to tell "nothing more will come" from "nothing yet".
enum class ProducerEnd : std::uint8_t {
  Open,
  Detached,  // released while its thread lives on (it moved to another queue)
  Exited,    // released by its thread's exit
};

// Written batches a thread's list holds for its producer to refill, at most
// (8 MB of events): about what a thread fills between two of the consumer's
// rounds. The session holds fewer in all (see EventQueue::recycle).
inline constexpr std::size_t SPARE_BATCHES = 1024;

namespace batches {

// A list node. The node before it owns it; `next` publishes it (release) once
// `batch` is set, so whoever acquires `next` may read it.
struct Node {
  std::unique_ptr<Node> owned_next;
  std::atomic<Node*> next{nullptr};
  OwnedBatch batch;
};

// Batches the consumer gives back for the producer to take: a ring with one
// writer (the consumer) and one reader (the producer). A slot is the
// writer's while `given - taken` says it is free, else the reader's; each
// side stores its count with release after using a slot and loads the
// other's with acquire before. The counts sit a ring apart.
struct Spares {
  std::atomic<std::uint64_t> given{0};
  std::array<OwnedBatch, SPARE_BATCHES> slots;
  std::atomic<std::uint64_t> taken{0};
};

// What both ends share. The chain of nodes is owned from `first`, the
// oldest; `head` is the consumer's: the node whose batch was taken last (at
// first `first`). The producer appends after the last node and reuses the
// nodes before `head`, which the consumer has passed; the two never touch
// the same node except through `next`, and `head` itself.
struct Shared {
  std::unique_ptr<Node> first = std::make_unique<Node>();
  std::atomic<Node*> head{first.get()};
  std::atomic<ProducerEnd> producer_end{ProducerEnd::Open};
  Spares spares;

  Shared() = default;
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  // Both ends are gone: frees the nodes one by one, not recursively.
  ~Shared() {
    while (first) first = std::move(first->owned_next);
  }
};

}  // namespace batches

// The producing side's end, or none when default-constructed or moved from.
// Releasing it marks the list Detached unless it was closed otherwise before.
class BatchProducer {
 public:
  BatchProducer() = default;
  explicit BatchProducer(std::shared_ptr<batches::Shared> shared)
      : shared_(std::move(shared)), last_(shared_->first.get()) {}
  BatchProducer(BatchProducer&& other) noexcept
      : shared_(std::move(other.shared_)), last_(std::exchange(other.last_, nullptr)) {}
  BatchProducer& operator=(BatchProducer&& other) noexcept {
    close(ProducerEnd::Detached);
    shared_ = std::move(other.shared_);
    last_ = std::exchange(other.last_, nullptr);
    return *this;
  }
  ~BatchProducer() { close(ProducerEnd::Detached); }

  explicit operator bool() const noexcept { return shared_ != nullptr; }

  // Appends `batch`; false, with the batch left to the caller, when memory for
  // its node ran out.
  bool push(OwnedBatch& batch) noexcept {
    std::unique_ptr<batches::Node> node = reuse_node();
    if (!node) {
      try {
        node = std::make_unique<batches::Node>();
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    node->batch = std::move(batch);
    batches::Node* added = node.get();
    last_->owned_next = std::move(node);
    last_->next.store(added, std::memory_order_release);
    last_ = added;
    return true;
  }

  // A batch the consumer gave back, as it was written (the caller empties
  // it), or null when none waits.
  OwnedBatch take_spare() noexcept {
    batches::Spares& s = shared_->spares;
    const std::uint64_t taken = s.taken.load(std::memory_order_relaxed);
    if (taken == s.given.load(std::memory_order_acquire)) return nullptr;
    OwnedBatch batch = std::move(s.slots[taken % SPARE_BATCHES]);
    s.taken.store(taken + 1, std::memory_order_release);
    return batch;
  }

  // Says that no more pushes will come, and why; the first call counts.
  void close(ProducerEnd how) noexcept {
    if (!shared_) return;
    ProducerEnd open = ProducerEnd::Open;
    shared_->producer_end.compare_exchange_strong(open, how, std::memory_order_release,
                                                  std::memory_order_relaxed);
  }

 private:
  // The oldest node, once the consumer has passed it; null otherwise.
  std::unique_ptr<batches::Node> reuse_node() noexcept {
    batches::Shared& s = *shared_;
    if (s.first.get() == s.head.load(std::memory_order_acquire)) return nullptr;
    std::unique_ptr<batches::Node> node = std::move(s.first);
    s.first = std::move(node->owned_next);
    node->next.store(nullptr, std::memory_order_relaxed);
    return node;
  }

  std::shared_ptr<batches::Shared> shared_;
  batches::Node* last_ = nullptr;
};

// The consuming side's end.
class BatchConsumer {
 public:
  BatchConsumer() = default;
  explicit BatchConsumer(std::shared_ptr<batches::Shared> shared) : shared_(std::move(shared)) {}

  // The oldest batch, or null when the list is empty.
  OwnedBatch try_pop() noexcept {
    batches::Node* next = head()->next.load(std::memory_order_acquire);
    if (next == nullptr) return nullptr;
    OwnedBatch batch = std::move(next->batch);
    // The previous head is the producer's to reuse from here on.
    shared_->head.store(next, std::memory_order_release);
    return batch;
  }

  // Hands a written batch back to the producer; false, with the batch left
  // to the caller, when SPARE_BATCHES wait already.
  bool give_spare(OwnedBatch& batch) noexcept {
    batches::Spares& s = shared_->spares;
    const std::uint64_t given = s.given.load(std::memory_order_relaxed);
    if (given - s.taken.load(std::memory_order_acquire) >= SPARE_BATCHES) return false;
    s.slots[given % SPARE_BATCHES] = std::move(batch);
    s.given.store(given + 1, std::memory_order_release);
    return true;
  }

  // Batches given back that the producer has not taken yet.
  std::uint64_t spares() const noexcept {
    const batches::Spares& s = shared_->spares;
    return s.given.load(std::memory_order_relaxed) - s.taken.load(std::memory_order_acquire);
  }

  // Calls `f` on every batch in the list, oldest first, without taking them.
  template <class F>
  void for_each_queued(F&& f) const noexcept {
    for (const batches::Node* n = head()->next.load(std::memory_order_acquire); n != nullptr;
         n = n->next.load(std::memory_order_acquire)) {
      f(*n->batch);
    }
  }

  bool empty() const noexcept { return head()->next.load(std::memory_order_acquire) == nullptr; }

  ProducerEnd producer_end() const noexcept {
    return shared_->producer_end.load(std::memory_order_acquire);
  }

 private:
  batches::Node* head() const noexcept { return shared_->head.load(std::memory_order_relaxed); }

  std::shared_ptr<batches::Shared> shared_;
};

// A new list; it is freed, with any batches still in it, when both ends are gone.
inline std::pair<BatchProducer, BatchConsumer> make_thread_batches() {
  auto shared = std::make_shared<batches::Shared>();
  return {BatchProducer(shared), BatchConsumer(shared)};
}

}  // namespace fennik
