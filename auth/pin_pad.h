// PIN-pad readers (PC/SC part 10) and the notice shown while one waits.
#pragma once

#include "frontend/minidriver_abi.h"

namespace vela {

// Whether the reader behind the card handle can verify a PIN on its keypad.
bool ReaderCanVerifyPin(const CARD_DATA* cardData);

// Has the reader collect the PIN for `pinRef` and send the VERIFY. Returns
// the status word (below 0x10000), the SCardControl error as it came, or
// SCARD_E_UNSUPPORTED_FEATURE when the reader cannot verify a PIN.
DWORD VerifyPinOnPad(const CARD_DATA* cardData, BYTE pinRef);

// VerifyPinOnPad with the notice around it, owned by `parentWindow`; with
// `silent` no notice is shown. The notice is closed whatever the result.
DWORD VerifyPinOnPadWithNotice(const CARD_DATA* cardData, HWND parentWindow, BYTE pinRef, bool silent);

}  // namespace vela
