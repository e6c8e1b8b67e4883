// The registry file parser's road: no card, no context, no host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::fuzz {

// Parses `data` as the Linux module's registry file, then makes the lookups
// the settings make.
void DriveRegFileRoad(const std::uint8_t* data, std::size_t size);

}  // namespace vela::fuzz
