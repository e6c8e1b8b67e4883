// Runs a body on a thread whose stack the test owns, so that what a call
// left on its stack can be looked at once it has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vela::test {

class OwnStack {
 public:
  static constexpr std::size_t kSize = 1 << 20;
  // Runs `body` to its end on the stack (zeroed first).
  explicit OwnStack(std::function<void()> body);
  OwnStack(const OwnStack&) = delete;
  OwnStack& operator=(const OwnStack&) = delete;

  bool started() const { return started_; }
  // Whether the stack still holds `pattern` anywhere.
  bool Holds(std::span<const std::uint8_t> pattern) const;
  // How many 8-byte-aligned places of the stack hold one of `words` (stored
  // little-endian, as x86 stores them).
  std::size_t CountWords(std::span<const std::uint64_t> words) const;

 private:
  static void* Run(void* self);
  std::function<void()> body_;
  std::vector<std::uint8_t> memory_;
  bool started_ = false;
};

}  // namespace vela::test
