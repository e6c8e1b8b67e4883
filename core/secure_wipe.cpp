#include "core/secure_wipe.h"

#include <cstring>

namespace vela {

void SecureWipe(void* data, std::size_t length) {
  if (data == nullptr) return;
  std::memset(data, 0, length);
  // An empty statement that may read the memory: the zeros cannot be dropped
  // as dead stores, even where the optimiser sees into the caller.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace vela
