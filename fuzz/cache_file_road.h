// The PKCS#11 module's cache file parser's road: no card, no module state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::fuzz {

// Takes `data` as a cache file's fields, appends their digest (so that the
// bytes reach the parser rather than the digest check), parses them, and
// makes each cached container's objects as a proven container would be made.
// False when what the parser took does not encode as the same file again.
bool DriveCacheFileRoad(const std::uint8_t* data, std::size_t size);

}  // namespace vela::fuzz
