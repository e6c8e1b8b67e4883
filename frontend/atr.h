#pragma once

#include "core/minidriver_abi.h"

namespace vela {

// Accepts an ATR of 4 to 32 bytes that carries the status bytes 90 00 either
// last or followed by exactly one byte. Returns 0 or SCARD_E_UNKNOWN_CARD.
DWORD CheckAtr(const BYTE* atr, DWORD atrLength);

}  // namespace vela
