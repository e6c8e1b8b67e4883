#include <cstdlib>

#include "platform/memory.h"

namespace vela::platform {

void* AllocateMemory(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
void ReleaseMemory(void* block) { std::free(block); }

}  // namespace vela::platform
