// The module's own heap blocks (the card's answers, file contents, the log's
// lines), straight from the C runtime's allocator. operator new, its nothrow
// form included, reports a failure by throwing inside the C++ runtime, and a
// throw needs memory of its own in a thread that has never thrown: with none
// left, the runtime ends the host process. Here a failure is a null pointer,
// which the caller answers with its own error code.
#pragma once

#include <cstddef>

namespace vela::platform {

// At least `size` bytes (a block even for 0), uninitialised; null when the
// heap has none.
void* AllocateMemory(std::size_t size);
// Gives a block of AllocateMemory back; null is fine.
void ReleaseMemory(void* block);

}  // namespace vela::platform
