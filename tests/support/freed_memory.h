// What the heap gets back: while a watch is on, every block freed anywhere in
// the process is searched for a byte pattern, so a test can show that a
// secret was wiped before its memory went back. It rides on the sanitizers'
// allocator hooks (the unit tier runs under AddressSanitizer and
// ThreadSanitizer); elsewhere available() is false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vela::test {

class FreedMemoryWatch {
 public:
  static constexpr std::size_t kMaxPattern = 64;

  static bool available();
  // Watches for `pattern` (at most kMaxPattern bytes) until destroyed; one
  // watch at a time.
  explicit FreedMemoryWatch(std::span<const std::uint8_t> pattern);
  ~FreedMemoryWatch();
  FreedMemoryWatch(const FreedMemoryWatch&) = delete;
  FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

  // Blocks freed so far that held the pattern.
  int Hits() const;

  // While one lives, frees are not searched: the test's stand-ins for the
  // PC/SC layer and the card pass the card's answers (an agreed secret among
  // them) through blocks of their own, which are not the module's to wipe.
  class Paused {
   public:
    Paused();
    ~Paused();
    Paused(const Paused&) = delete;
    Paused& operator=(const Paused&) = delete;
  };
};

}  // namespace vela::test
