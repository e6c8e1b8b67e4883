#include "auth/pin_pad.h"

namespace vela {

// Not built yet: no reader is taken for a PIN pad.
bool ReaderCanVerifyPin(const CARD_DATA*) { return false; }

DWORD VerifyPinOnPad(const CARD_DATA*, BYTE) { return SCARD_E_UNSUPPORTED_FEATURE; }

DWORD VerifyPinOnPadWithNotice(const CARD_DATA* cardData, HWND, BYTE pinRef, bool) {
  return VerifyPinOnPad(cardData, pinRef);
}

}  // namespace vela
