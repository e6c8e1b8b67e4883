// PIN-pad readers (PC/SC part 10) and the notice shown while one waits.
#pragma once

#include <array>

#include "core/minidriver_abi.h"

namespace vela {

// The reader's control codes of the PIN features, 0 where it has none. Start
// and finish come in pairs: both set or both 0.
struct ReaderFeatures {
  DWORD verifyPinDirect = 0;
  DWORD verifyPinStart = 0;
  DWORD verifyPinFinish = 0;
  DWORD modifyPinDirect = 0;
  DWORD modifyPinStart = 0;
  DWORD modifyPinFinish = 0;
};

inline constexpr std::size_t kPinVerifyBlockLength = 23;

// Asks the reader behind the card handle for its features; all 0 when there
// is no record or the reader refuses.
ReaderFeatures QueryReaderFeatures(const CARD_DATA* cardData);

// Whether features of a reader include verifying a PIN on its keypad.
inline bool CanVerifyPin(const ReaderFeatures& features) {
  return features.verifyPinDirect != 0 || features.verifyPinStart != 0;
}

// Whether the reader behind the card handle can verify a PIN on its keypad.
bool ReaderCanVerifyPin(const CARD_DATA* cardData);

// The PIN_VERIFY_STRUCTURE that has the reader send VERIFY for `pinRef`.
std::array<BYTE, kPinVerifyBlockLength> PinVerifyBlock(BYTE pinRef);

// Has the reader collect the PIN for `pinRef` and send the VERIFY. Returns
// the status word (below 0x10000), the SCardControl error as it came,
// SCARD_E_UNSUPPORTED_FEATURE when the reader cannot verify a PIN, or
// SCARD_F_INTERNAL_ERROR when its reply holds no status word.
DWORD VerifyPinOnPad(const CARD_DATA* cardData, BYTE pinRef);

// VerifyPinOnPad with the notice around it, owned by `parentWindow`; with
// `silent` no notice is shown. The notice is closed whatever the result.
DWORD VerifyPinOnPadWithNotice(const CARD_DATA* cardData, HWND parentWindow, BYTE pinRef, bool silent);

}  // namespace vela
