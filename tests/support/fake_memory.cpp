#include "fake_memory.h"

#include <atomic>
#include <cstdlib>

#include "platform/memory.h"

namespace vela::test {
namespace {

struct Switch {
  bool on = false;
  std::size_t failAt = 0;
  bool andAfter = false;
  std::size_t seen = 0;
};
thread_local Switch current;
std::atomic<std::size_t> live{0};

}  // namespace

ModuleHeapFailure::ModuleHeapFailure(std::size_t n, bool andAfter) { current = {true, n, andAfter, 0}; }
ModuleHeapFailure::~ModuleHeapFailure() { current = {}; }
std::size_t ModuleHeapFailure::allocations() const { return current.seen; }
bool ModuleHeapFailure::fired() const { return current.failAt != 0 && current.seen >= current.failAt; }

std::size_t ModuleHeapLive() { return live.load(); }

}  // namespace vela::test

namespace vela::platform {

void* AllocateMemory(std::size_t size) {
  test::Switch& s = test::current;
  if (s.on) {
    ++s.seen;
    if (s.failAt != 0 && (s.seen == s.failAt || (s.andAfter && s.seen > s.failAt))) return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) test::live.fetch_add(1);
  return block;
}

void ReleaseMemory(void* block) {
  if (block == nullptr) return;
  test::live.fetch_sub(1);
  std::free(block);
}

}  // namespace vela::platform
