// Names of the result codes the module and PC/SC return, for the log and
// the host tool's messages.
#pragma once

#include <cstdint>

namespace vela {

// "SCARD_E_UNKNOWN_CARD" for 0x8010000D; null for a code without a name.
const char* ResultCodeName(std::uint32_t code);

}  // namespace vela
