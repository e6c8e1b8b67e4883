// Names for the result codes the module and PC/SC return, for messages.
#pragma once

#include <cstdint>
#include <string>

namespace vela::host {

// "SCARD_E_UNKNOWN_CARD" for 0x8010000D; "0x...." for a code without a name.
// A card status word the module passes on (6xxx, 9xxx) reads "SW 63C2".
std::string ResultName(std::uint32_t code);

// The name and the number: "SCARD_E_UNKNOWN_CARD (0x8010000D)".
std::string ResultText(std::uint32_t code);

}  // namespace vela::host
