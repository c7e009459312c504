#include "pipeline.hpp"

#include <algorithm>
#include <new>

namespace fennik {
namespace {

IoStatus export_all(EventQueue& queue, const CodeLookup& codes, ThreadNames& threads,
                    Exporter& exporter) {
  Writer writer(queue.clock, codes, threads, exporter);
  std::vector<Drained> local;
  local.reserve(TAIL_ROUND_ITEMS);
  // Written batches, on their way back to their threads: no round holds
  // more items than a tail round takes.
  std::vector<OwnedBatch> spent;
  spent.reserve(TAIL_ROUND_ITEMS);
  auto write_local = [&]() -> IoStatus {
    for (Drained& item : local) {
      if (IoStatus err = writer.write(item)) return err;
      if (item.batch) spent.push_back(std::move(item.batch));
    }
    local.clear();
    queue.recycle(spent);
    return IO_OK;
  };
  RoundPacer pacer(queue);
  bool told_draining = false;
  for (;;) {
    const bool closed = pacer.start();
    if (closed && !told_draining) {
      exporter.draining();
      told_draining = true;
    }
    std::size_t moved = 0;
    for (bool again = true; again;) {
      const std::size_t n = queue.drain_batches(local, DRAIN_ROUND_ITEMS);
      moved += n;
      if (IoStatus err = write_local()) return err;
      again = pacer.again(n);
    }
    if (closed) {
      if (moved == 0) break;
      continue;
    }
    // No event still to be written is older than the floor: whatever is
    // left in a list after this, or recorded later.
    const std::optional<std::uint64_t> floor =
        queue.take_tails(local, TAIL_ROUND_ITEMS, queue.clock.now_ticks());
    moved += local.size();
    if (IoStatus err = write_local()) return err;
    if (floor) queue.publish_recycle_floor(*floor);
    pacer.rest(moved != 0);
  }
  return exporter.finish(
      codes, threads,
      RunStats{queue.dropped.load(std::memory_order_relaxed), queue.peak_buffered_bytes()});
}

}  // namespace

Writer::Writer(const Clock& clock, const CodeLookup& codes, ThreadNames& threads,
               Exporter& exporter)
    : clock_(clock), codes_(codes), threads_(threads), exporter_(exporter) {}

IoStatus Writer::write(const Drained& item) {
  const EventBatch* batch = item.batch.get();
  if (batch == nullptr) {
    if (IoStatus err = exporter_.end_thread(item.tid, codes_, threads_)) return err;
    threads_.retire(item.tid, item.serial);
    return IO_OK;
  }
  if (batch->lost_before != 0) {
    if (IoStatus err = exporter_.write_gap(batch->tid, clock_.ns_from_ticks(batch->lost_tick),
                                           batch->lost_before, codes_, threads_)) {
      return err;
    }
  }
  if (batch->empty()) return IO_OK;
  if (batch->size() > events_room_) {
    events_ = std::make_unique_for_overwrite<Event[]>(batch->size());
    events_room_ = batch->size();
  }
  batch->decode_into(clock_, events_.get());
  return exporter_.write_batch({events_.get(), batch->size()}, codes_, threads_);
}

IoStatus run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                      std::shared_ptr<ThreadNames> threads, std::unique_ptr<Exporter> exporter) {
  try {
    return export_all(*queue, *codes, *threads, *exporter);
  } catch (const std::bad_alloc&) {
    return IoError::other(OUT_OF_MEMORY);
  }
}

}  // namespace fennik
