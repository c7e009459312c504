// Each recording thread's list of full batches on their way to the consumer:
// unbounded, one producer and one consumer, a small node per batch. What
// bounds it is the session's buffer budget, which the producer asks first.
#pragma once

#include <atomic>
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

namespace batches {

// A list node. The node before it owns it; `next` publishes it (release) once
// `owned_next` and `batch` are set, so whoever acquires `next` may read both.
struct Node {
  std::unique_ptr<Node> owned_next;
  std::atomic<Node*> next{nullptr};
  OwnedBatch batch;
};

// What both ends share. `head` is the consumer's: the node whose batch was
// taken last (at first an empty one). The producer appends after the last
// node, which the consumer never frees, so the two never touch the same node
// except through `next`.
struct Shared {
  std::unique_ptr<Node> head = std::make_unique<Node>();
  std::atomic<ProducerEnd> producer_end{ProducerEnd::Open};

  Shared() = default;
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  // Both ends are gone: frees the nodes one by one, not recursively.
  ~Shared() {
    while (head) head = std::move(head->owned_next);
  }
};

}  // namespace batches

// The producing side's end, or none when default-constructed or moved from.
// Releasing it marks the list Detached unless it was closed otherwise before.
class BatchProducer {
 public:
  BatchProducer() = default;
  explicit BatchProducer(std::shared_ptr<batches::Shared> shared)
      : shared_(std::move(shared)), last_(shared_->head.get()) {}
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
    std::unique_ptr<batches::Node> node;
    try {
      node = std::make_unique<batches::Node>();
    } catch (const std::bad_alloc&) {
      return false;
    }
    node->batch = std::move(batch);
    batches::Node* added = node.get();
    last_->owned_next = std::move(node);
    last_->next.store(added, std::memory_order_release);
    last_ = added;
    return true;
  }

  // Says that no more pushes will come, and why; the first call counts.
  void close(ProducerEnd how) noexcept {
    if (!shared_) return;
    ProducerEnd open = ProducerEnd::Open;
    shared_->producer_end.compare_exchange_strong(open, how, std::memory_order_release,
                                                  std::memory_order_relaxed);
  }

 private:
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
    batches::Node* next = shared_->head->next.load(std::memory_order_acquire);
    if (next == nullptr) return nullptr;
    std::unique_ptr<batches::Node> taken = std::move(shared_->head->owned_next);
    OwnedBatch batch = std::move(taken->batch);
    shared_->head = std::move(taken);  // the previous head is freed
    return batch;
  }

  // Calls `f` on every batch in the list, oldest first, without taking them.
  template <class F>
  void for_each_queued(F&& f) const noexcept {
    for (const batches::Node* n = shared_->head->next.load(std::memory_order_acquire); n != nullptr;
         n = n->next.load(std::memory_order_acquire)) {
      f(*n->batch);
    }
  }

  bool empty() const noexcept {
    return shared_->head->next.load(std::memory_order_acquire) == nullptr;
  }

  ProducerEnd producer_end() const noexcept {
    return shared_->producer_end.load(std::memory_order_acquire);
  }

 private:
  std::shared_ptr<batches::Shared> shared_;
};

// A new list; it is freed, with any batches still in it, when both ends are gone.
inline std::pair<BatchProducer, BatchConsumer> make_thread_batches() {
  auto shared = std::make_shared<batches::Shared>();
  return {BatchProducer(shared), BatchConsumer(shared)};
}

}  // namespace fennik
