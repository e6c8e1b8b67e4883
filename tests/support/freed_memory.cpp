#include "freed_memory.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>

// The sanitizers' allocator interface, declared weak: a build without a
// sanitizer has none of it.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                              void (*free_hook)(const volatile void*)) __attribute__((weak));
std::size_t __sanitizer_get_allocated_size(const volatile void* p) __attribute__((weak));
}

namespace vela::test {
namespace {

// Read by the hook on every free of every thread: no allocation, no lock.
std::uint8_t pattern[FreedMemoryWatch::kMaxPattern];
std::atomic<std::size_t> patternLength{0};
std::atomic<int> hits{0};
std::atomic<int> paused{0};

void OnMalloc(const volatile void*, std::size_t) {}

void OnFree(const volatile void* block) {
  const std::size_t length = patternLength.load(std::memory_order_acquire);
  if (length == 0 || block == nullptr || paused.load(std::memory_order_acquire) > 0) return;
  const auto* bytes = static_cast<const std::uint8_t*>(const_cast<const void*>(block));
  const std::size_t size = __sanitizer_get_allocated_size(block);
  if (size >= length && memmem(bytes, size, pattern, length) != nullptr) hits.fetch_add(1);
}

// The hooks cannot be taken out again, so they are put in once and stay idle
// while no watch is on.
bool Installed() {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                                __sanitizer_get_allocated_size != nullptr &&
                                __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
  return installed;
}

}  // namespace

bool FreedMemoryWatch::available() { return Installed(); }

FreedMemoryWatch::FreedMemoryWatch(std::span<const std::uint8_t> watched) {
  if (!Installed()) throw std::logic_error("no allocator hooks in this build");
  if (watched.empty() || watched.size() > kMaxPattern || patternLength.load() != 0) {
    throw std::logic_error("one watch at a time, of 1 to 64 bytes");
  }
  std::copy(watched.begin(), watched.end(), pattern);
  hits.store(0);
  patternLength.store(watched.size(), std::memory_order_release);
}

FreedMemoryWatch::~FreedMemoryWatch() { patternLength.store(0, std::memory_order_release); }

int FreedMemoryWatch::Hits() const { return hits.load(); }

FreedMemoryWatch::Paused::Paused() { paused.fetch_add(1, std::memory_order_acq_rel); }

FreedMemoryWatch::Paused::~Paused() { paused.fetch_sub(1, std::memory_order_acq_rel); }

}  // namespace vela::test
