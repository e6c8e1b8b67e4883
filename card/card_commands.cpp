#include "card/card_commands.h"

#include <algorithm>
#include <cstring>

#include "card/apdu.h"

namespace vela {

namespace {

constexpr BYTE kInsSelect = 0xA4;
constexpr BYTE kInsReadBinary = 0xB0;
constexpr BYTE kInsVerify = 0x20;
constexpr BYTE kInsChangeReferenceData = 0x24;
constexpr BYTE kInsResetRetryCounter = 0x2C;
constexpr BYTE kInsManageSecurityEnvironment = 0x22;
constexpr BYTE kInsPerformSecurityOperation = 0x2A;
constexpr WORD kSwSuccess = 0x9000;
constexpr BYTE kChunk = 0xFF;

BYTE High(WORD v) { return static_cast<BYTE>(v >> 8); }
BYTE Low(WORD v) { return static_cast<BYTE>(v & 0xFF); }

// Sends a SELECT and succeeds only on 9000.
DWORD Select(const CARD_DATA* cardData, CommandApdu& command) {
  ResponseApdu response;
  if (response.Exchange(cardData, command) != 0) return SCARD_F_INTERNAL_ERROR;
  return response.hasStatus() && response.status() == kSwSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

// The three PIN commands share their result rule: the status word, or
// SCARD_F_INTERNAL_ERROR when the exchange did not complete with one.
DWORD PinCommand(const CARD_DATA* cardData, const CommandApdu& command) {
  ResponseApdu response;
  if (response.Exchange(cardData, command) != 0 || !response.hasStatus()) return SCARD_F_INTERNAL_ERROR;
  return response.status();
}

DWORD TwoValuePinCommand(const CARD_DATA* cardData, BYTE ins, BYTE pinRef, const BYTE* first, DWORD firstLength,
                         const BYTE* second, DWORD secondLength) {
  if (first == nullptr || second == nullptr || firstLength == 0 || secondLength == 0) {
    return SCARD_E_INVALID_PARAMETER;
  }
  // Both values travel in one short APDU: Lc is one byte and the command
  // buffer holds 256 bytes.
  if (firstLength > 251 || secondLength > 251 - firstLength) return SCARD_E_INVALID_PARAMETER;
  CommandApdu command(ins, 0x00, pinRef);
  command.Data({first, firstLength}).Data({second, secondLength});
  return PinCommand(cardData, command);
}

// MANAGE SECURITY ENVIRONMENT set for computation with the entry's key in
// `templateTag` (B6 signature, B8 confidentiality). The status word is not
// examined: the following operation reports the card's refusal.
DWORD SetSecurityEnvironment(const CARD_DATA* cardData, BYTE templateTag, BYTE keyRef) {
  CommandApdu command(kInsManageSecurityEnvironment, 0x41, templateTag);
  command.Data({0x84, 0x01, keyRef});
  ResponseApdu response;
  return response.Exchange(cardData, command) != 0 ? SCARD_F_INTERNAL_ERROR : 0;
}

}  // namespace

DWORD SelectApplication(const CARD_DATA* cardData) { return SelectByPath(cardData, 0x80FF, 0xDF02); }

DWORD SelectByPath(const CARD_DATA* cardData, WORD fileId, WORD directoryId) {
  CommandApdu command(kInsSelect, 0x08, 0x0C);
  if (directoryId != 0) command.Data({High(directoryId), Low(directoryId)});
  command.Data({High(fileId), Low(fileId)});
  return Select(cardData, command);
}

DWORD SelectInCurrentDf(const CARD_DATA* cardData, WORD fileId) {
  CommandApdu command(kInsSelect, 0x02, 0x0C);
  command.Data({High(fileId), Low(fileId)});
  return Select(cardData, command);
}

DWORD ReadBinary(const CARD_DATA* cardData, WORD offset, BYTE expectedLength, BYTE* out, DWORD* count) {
  if (out == nullptr || count == nullptr) return SCARD_E_INVALID_PARAMETER;
  CommandApdu command(kInsReadBinary, static_cast<BYTE>((offset >> 8) & 0x7F), Low(offset));
  command.Le(expectedLength);
  ResponseApdu response;
  // An answer without its status word is no answer: its data cannot be told
  // from a fragment, so nothing of it is taken.
  if (response.Exchange(cardData, command) != 0 || !response.hasStatus()) return SCARD_F_INTERNAL_ERROR;
  const std::span<const BYTE> data = response.data();
  if (data.size() > *count) return SCARD_E_INVALID_PARAMETER;
  std::copy(data.begin(), data.end(), out);
  *count = static_cast<DWORD>(data.size());
  return 0;
}

DWORD ReadWholeFile(const CARD_DATA* cardData, std::span<BYTE> out, DWORD* count) {
  if (count == nullptr) return SCARD_E_INVALID_PARAMETER;
  DWORD position = 0;
  for (;;) {
    CommandApdu command(kInsReadBinary, static_cast<BYTE>((position >> 8) & 0x7F), Low(static_cast<WORD>(position)));
    command.Le(kChunk);
    ResponseApdu response;
    if (response.Exchange(cardData, command) != 0) return SCARD_F_INTERNAL_ERROR;
    if (!response.hasStatus()) return SCARD_E_INVALID_PARAMETER;
    const std::span<const BYTE> data = response.data();
    if (data.size() > kChunk) return SCARD_E_INVALID_PARAMETER;
    if (data.size() > out.size() - position) return SCARD_E_INVALID_PARAMETER;
    std::copy(data.begin(), data.end(), out.begin() + position);
    position += static_cast<DWORD>(data.size());
    if (data.size() != kChunk) break;
    // Offsets are 15 bits: a file that runs past them cannot be read whole.
    if (position > 0x7FFF) return SCARD_E_INVALID_PARAMETER;
  }
  *count = position;
  return 0;
}

DWORD ReadSerialNumber(const CARD_DATA* cardData, BYTE* out, DWORD* count) {
  if (SelectByPath(cardData, 0x2F02, 0) != 0) return SCARD_F_INTERNAL_ERROR;
  if (out == nullptr || count == nullptr || *count < kSerialNumberLength) return SCARD_E_INVALID_PARAMETER;
  *count = kSerialNumberLength;
  if (ReadBinary(cardData, 2, kSerialNumberLength, out, count) != 0) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

DWORD ProbeKeyFile(const CARD_DATA* cardData) {
  CommandApdu command(kInsReadBinary, 0x00, 0x00);
  command.Le(0x02);
  ResponseApdu response;
  if (response.Exchange(cardData, command) != 0 || !response.hasStatus()) return SCARD_F_INTERNAL_ERROR;
  const std::span<const BYTE> data = response.data();
  if (data.size() > 2) return SCARD_F_INTERNAL_ERROR;
  // Fewer than two bytes: the card refused the read or the file is shorter
  // than any key template, so there is no key to use.
  if (data.size() < 2) return SCARD_E_NO_KEY_CONTAINER;
  if ((data[0] == 0x00 && data[1] == 0x00) || (data[0] == 0xFF && data[1] == 0xFF)) return SCARD_E_NO_KEY_CONTAINER;
  return 0;
}

DWORD VerifyPin(const CARD_DATA* cardData, BYTE pinRef, const BYTE* pin, DWORD pinLength) {
  if (pin == nullptr || pinLength > 250) return SCARD_E_INVALID_PARAMETER;
  CommandApdu command(kInsVerify, 0x00, pinRef);
  // The length byte goes out even for an empty PIN: 00 20 00 ref 00 asks the
  // card for the retry counter.
  if (pinLength == 0) {
    command.Le(0x00);
  } else {
    command.Data({pin, pinLength});
  }
  return PinCommand(cardData, command);
}

DWORD ChangeReferenceData(const CARD_DATA* cardData, BYTE pinRef, const BYTE* oldPin, DWORD oldLength,
                          const BYTE* newPin, DWORD newLength) {
  return TwoValuePinCommand(cardData, kInsChangeReferenceData, pinRef, oldPin, oldLength, newPin, newLength);
}

DWORD ResetRetryCounter(const CARD_DATA* cardData, BYTE pinRef, const BYTE* unblockCode, DWORD codeLength,
                        const BYTE* newPin, DWORD newLength) {
  return TwoValuePinCommand(cardData, kInsResetRetryCounter, pinRef, unblockCode, codeLength, newPin, newLength);
}

DWORD ComputeSignature(const CARD_DATA* cardData, const ProfileEntry& entry, const BYTE* hash, DWORD hashLength,
                       BYTE* signature, DWORD* signatureLength) {
  if (hash == nullptr) return SCARD_E_INVALID_PARAMETER;
  const DWORD expected = 2u * entry.keyBytes;
  if (hashLength > expected || signature == nullptr || signatureLength == nullptr || *signatureLength < expected) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (hashLength == 0 || hashLength > 255) return SCARD_E_INVALID_PARAMETER;
  if (SetSecurityEnvironment(cardData, 0xB6, entry.keyRef) != 0) return SCARD_F_INTERNAL_ERROR;

  CommandApdu command(kInsPerformSecurityOperation, 0x9E, 0x9A);
  command.Data({hash, hashLength}).Le(0x00);
  ResponseApdu response;
  if (response.Exchange(cardData, command) != 0) return SCARD_F_INTERNAL_ERROR;
  const std::span<const BYTE> data = response.data();
  *signatureLength = static_cast<DWORD>(data.size());
  if (data.size() != expected) return SCARD_F_INTERNAL_ERROR;
  std::copy(data.begin(), data.end(), signature);
  return 0;
}

DWORD ComputeSharedSecret(const CARD_DATA* cardData, const ProfileEntry& entry, const BYTE* point,
                          DWORD pointLength, BYTE* secret, DWORD* secretLength) {
  // The point and its two leading bytes must fit one short APDU.
  if (point == nullptr || pointLength == 0 || pointLength > 248 || secret == nullptr || secretLength == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (SetSecurityEnvironment(cardData, 0xB8, entry.keyRef) != 0) return SCARD_F_INTERNAL_ERROR;

  CommandApdu command(kInsPerformSecurityOperation, 0x80, 0x86);
  command.Data({0x00, 0x04}).Data({point, pointLength}).Le(0x00);
  ResponseApdu response;
  if (response.Exchange(cardData, command) != 0) return SCARD_F_INTERNAL_ERROR;
  if (!response.hasStatus() || response.status() != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
  const std::span<const BYTE> data = response.data();
  // No data is no secret: an agreement on nothing would key whatever is
  // derived from it with public bytes alone.
  if (data.empty() || data.size() > *secretLength) return SCARD_F_INTERNAL_ERROR;
  std::copy(data.begin(), data.end(), secret);
  *secretLength = static_cast<DWORD>(data.size());
  return 0;
}

}  // namespace vela
