// The frames of one thread whose opening event was lost (no code id could be
// had, or no memory), and every frame opened inside them. A lost frame's
// closing event is lost with it, and counted, rather than written as an end
// that nothing opened: the output would leave such an end out uncounted or,
// with a written frame open around it, end that frame's slice early.
//
// Frames are followed by position, not by code: once a frame is lost, every
// frame opened inside it is pushed too, written or not, so the n-th end
// closes the n-th innermost frame whatever its code (a recursive function may
// have its outer call lost and its inner one written). That holds only while
// every event of the thread reaches the callbacks' slow side: the callbacks
// cache no code while a lost frame is open (see `following`).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fennik::py {

class LostOpens {
 public:
  // Frames followed from the outermost lost one inward (one bit each). Deeper
  // ones are counted but taken as written: a lost frame's end there is
  // written, and left out by the output uncounted.
  static constexpr std::size_t CAPACITY = 4096;

  // Forgets the frames of an earlier session.
  void bind(std::uint64_t queue_id) noexcept {
    if (queue_id_ == queue_id) return;
    queue_id_ = queue_id;
    depth_ = 0;
  }
  // True while a lost frame is open.
  bool following() const noexcept { return depth_ != 0; }
  // A frame opens; `lost` when its opening event was not recorded.
  void open(bool lost) noexcept {
    if (depth_ == 0 && !lost) return;
    if (depth_ < CAPACITY) {
      const std::uint64_t bit = std::uint64_t{1} << (depth_ % WORD_BITS);
      std::uint64_t& word = lost_[depth_ / WORD_BITS];
      word = lost ? (word | bit) : (word & ~bit);
    }
    ++depth_;
  }
  // The innermost frame closes; true when it is a lost one.
  bool close() noexcept {
    if (depth_ == 0) return false;
    --depth_;
    if (depth_ >= CAPACITY) return false;
    return ((lost_[depth_ / WORD_BITS] >> (depth_ % WORD_BITS)) & 1u) != 0;
  }

 private:
  static constexpr std::size_t WORD_BITS = 64;
  static_assert(CAPACITY % WORD_BITS == 0, "whole words of frames");

  std::array<std::uint64_t, CAPACITY / WORD_BITS> lost_{};
  std::size_t depth_ = 0;  // frames open from the outermost lost one, followed or not
  std::uint64_t queue_id_ = 0;
};

}  // namespace fennik::py
