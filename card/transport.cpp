#include "card/transport.h"

#include <cstring>
#include <new>

#include "core/secure_wipe.h"
#include "platform/pcsc.h"

namespace vela {

DWORD TransmitApdu(const CARD_DATA* cardData, const BYTE* apdu, DWORD apduLength, BYTE** responseCopy,
                   DWORD* responseLength, WORD* statusWord) {
  if (apdu == nullptr || apduLength == 0 || cardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  try {
    BYTE received[kMaxResponseLength];
    DWORD receivedLength = kMaxResponseLength;
    const DWORD rc = platform::PcscTransmit(cardData->hScard, apdu, apduLength, received, &receivedLength);
    if (rc != 0) return rc;
    // A reader that claims more than the buffer holds is not believed.
    if (receivedLength > kMaxResponseLength) receivedLength = kMaxResponseLength;

    if (responseCopy != nullptr && responseLength != nullptr) {
      BYTE* copy = new BYTE[receivedLength > 0 ? receivedLength : 1];
      std::memcpy(copy, received, receivedLength);
      *responseCopy = copy;
      *responseLength = receivedLength;
    }
    if (statusWord != nullptr && receivedLength >= 2) {
      *statusWord = static_cast<WORD>((received[receivedLength - 2] << 8) | received[receivedLength - 1]);
    }
    SecureWipe(received, receivedLength);
    return 0;
  } catch (...) {
    return SCARD_F_INTERNAL_ERROR;
  }
}

void FreeResponseCopy(BYTE* responseCopy, DWORD responseLength) {
  if (responseCopy == nullptr) return;
  SecureWipe(responseCopy, responseLength);
  delete[] responseCopy;
}

}  // namespace vela
