// What the module takes from its host: the allocator and free callbacks.
#pragma once

#include "core/minidriver_abi.h"

namespace vela {

// A buffer from the host's allocator, or null (also when the host gave none).
// Whatever goes back to the host through an out-parameter comes from here.
void* HostAlloc(const CARD_DATA* cardData, std::size_t size);

// Returns a buffer to the host (null is fine).
void HostFree(const CARD_DATA* cardData, void* buffer);

}  // namespace vela
