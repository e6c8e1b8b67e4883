// The one road to the card: one command APDU out, one response back.
#pragma once

#include "core/minidriver_abi.h"

namespace vela {

inline constexpr DWORD kMaxResponseLength = 1024;

// Sends `apdu` over T=1 on the host's card handle. Returns 0 on a completed
// exchange whatever the status word, SCARD_E_INVALID_PARAMETER for a missing
// or empty APDU, the PC/SC code of a failed exchange, SCARD_F_INTERNAL_ERROR
// when the response copy cannot be allocated. The copy is written only when
// both `responseCopy` and `responseLength` are given and must be released with
// FreeResponseCopy; the status word only when two bytes or more arrived.
DWORD TransmitApdu(const CARD_DATA* cardData, const BYTE* apdu, DWORD apduLength, BYTE** responseCopy,
                   DWORD* responseLength, WORD* statusWord);

// Wipes and releases a response copy of TransmitApdu (null is fine).
void FreeResponseCopy(BYTE* responseCopy, DWORD responseLength);

}  // namespace vela
