// A block of the module's heap with one owner (see platform/memory.h: a
// failed allocation is a null pointer, never an exception).
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

#include "platform/memory.h"

namespace vela {

struct HeapRelease {
  void operator()(void* block) const { platform::ReleaseMemory(block); }
};

template <class T>
using HeapArray = std::unique_ptr<T[], HeapRelease>;

// `count` uninitialised elements of a trivial type; empty when the heap has
// no room.
template <class T>
HeapArray<T> AllocateArray(std::size_t count) {
  static_assert(std::is_trivial_v<T>);
  if (count > static_cast<std::size_t>(-1) / sizeof(T)) return HeapArray<T>();
  return HeapArray<T>(static_cast<T*>(platform::AllocateMemory(count * sizeof(T))));
}

}  // namespace vela
