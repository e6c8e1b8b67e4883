// Every command the module sends to a VELA card, by name. Most return 0 or a
// PC/SC code; the three PIN commands return the card's status word (below
// 0x10000) when the exchange completed, so callers tell the kinds apart by
// range.
#pragma once

#include <span>

#include "card/card_profile.h"
#include "core/minidriver_abi.h"

namespace vela {

// The largest file ReadWholeFile collects (its staging area).
inline constexpr DWORD kMaxFileLength = 10240;

DWORD SelectApplication(const CARD_DATA* cardData);
// Directory 0 selects `fileId` by path from the master file alone.
DWORD SelectByPath(const CARD_DATA* cardData, WORD fileId, WORD directoryId);
DWORD SelectInCurrentDf(const CARD_DATA* cardData, WORD fileId);

// READ BINARY of up to `expectedLength` bytes at `offset`; `*count` is the
// room in `out` on entry and the bytes received on return. The status word is
// not examined.
DWORD ReadBinary(const CARD_DATA* cardData, WORD offset, BYTE expectedLength, BYTE* out, DWORD* count);

// Reads the selected file in 255-byte chunks into `out`. A file longer than
// `out` is refused with SCARD_E_INVALID_PARAMETER and nothing past `out` is
// written.
DWORD ReadWholeFile(const CARD_DATA* cardData, std::span<BYTE> out, DWORD* count);

// Ten bytes from offset 2 of 2F02; `*count` must be at least 10 on entry.
DWORD ReadSerialNumber(const CARD_DATA* cardData, BYTE* out, DWORD* count);

// 0 when the selected key file holds a key, SCARD_E_NO_KEY_CONTAINER when it
// is empty, SCARD_F_INTERNAL_ERROR otherwise.
DWORD ProbeKeyFile(const CARD_DATA* cardData);

DWORD VerifyPin(const CARD_DATA* cardData, BYTE pinRef, const BYTE* pin, DWORD pinLength);
DWORD ChangeReferenceData(const CARD_DATA* cardData, BYTE pinRef, const BYTE* oldPin, DWORD oldLength,
                          const BYTE* newPin, DWORD newLength);
DWORD ResetRetryCounter(const CARD_DATA* cardData, BYTE pinRef, const BYTE* unblockCode, DWORD codeLength,
                        const BYTE* newPin, DWORD newLength);

// Has the card sign `hash` with the entry's key; the signature is r||s of
// 2 * keyBytes bytes. `*signatureLength` is the room in `signature` on entry
// and the bytes the card returned on exit once the card answered.
DWORD ComputeSignature(const CARD_DATA* cardData, const ProfileEntry& entry, const BYTE* hash, DWORD hashLength,
                       BYTE* signature, DWORD* signatureLength);

// Has the card agree a secret with the entry's key and the peer's point
// (X then Y, without the 04 prefix).
DWORD ComputeSharedSecret(const CARD_DATA* cardData, const ProfileEntry& entry, const BYTE* point,
                          DWORD pointLength, BYTE* secret, DWORD* secretLength);

}  // namespace vela
