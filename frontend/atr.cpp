#include "frontend/atr.h"

namespace vela {

DWORD CheckAtr(const BYTE* atr, DWORD atrLength) {
  if (atr == nullptr || atrLength < 4 || atrLength > 32) return SCARD_E_UNKNOWN_CARD;
  DWORD n = atrLength;
  if (atr[n - 2] == 0x00) n -= 1;
  return atr[n - 1] == 0x00 && atr[n - 2] == 0x90 ? 0 : SCARD_E_UNKNOWN_CARD;
}

}  // namespace vela
