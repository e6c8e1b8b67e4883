#pragma once

#include <cstddef>

namespace vela {

// Overwrites `length` bytes with zeros in a way the optimiser keeps.
void SecureWipe(void* data, std::size_t length);

}  // namespace vela
