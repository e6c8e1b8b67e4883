// Wiping for every floor: whatever held a PIN, a secret, a derived key or a
// response is overwritten before its memory is reused or returned.
#pragma once

#include <cstddef>

namespace vela {

// Overwrites `length` bytes with zeros in a way the optimiser keeps.
void SecureWipe(void* data, std::size_t length);

}  // namespace vela
