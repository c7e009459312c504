// The frames of one thread whose opening event was lost (no code id could be
// had, or no memory). Their closing event is lost with them, and counted,
// rather than written as an end that nothing opened: the output would leave
// such an end out without counting it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fennik::py {

class LostOpens {
 public:
  // Lost frames open at once that are followed; beyond them, a lost frame's
  // end is written and left out by the output as before.
  static constexpr std::size_t CAPACITY = 32;

  // Forgets the frames of an earlier session.
  void bind(std::uint64_t queue_id) noexcept {
    if (queue_id_ == queue_id) return;
    queue_id_ = queue_id;
    size_ = 0;
  }
  void opened(std::uint64_t code) noexcept {
    if (size_ < CAPACITY) codes_[size_++] = code;
  }
  // Frames close in the order opposite to their opening, so a closing event
  // of the innermost lost frame's code is that frame's end.
  bool closes(std::uint64_t code) noexcept {
    if (size_ == 0 || codes_[size_ - 1] != code) return false;
    --size_;
    return true;
  }

 private:
  std::array<std::uint64_t, CAPACITY> codes_{};
  std::size_t size_ = 0;
  std::uint64_t queue_id_ = 0;
};

}  // namespace fennik::py
