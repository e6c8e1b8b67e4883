#include "card/transport.h"

#include <cstring>

#include "core/card_context.h"
#include "core/log.h"
#include "core/result_names.h"
#include "core/secure_wipe.h"
#include "platform/memory.h"
#include "platform/pcsc.h"

namespace vela {

namespace {

// The receive area on the stack, wiped on every way out: an answer may hold
// a secret, and a failed exchange may have left part of one behind.
class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  ~ReceiveBuffer() { SecureWipe(bytes, used); }
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

  BYTE bytes[kMaxResponseLength];
  // What to wipe: all of it until a completed exchange says how much came.
  DWORD used = kMaxResponseLength;
};

// ---- The APDU trace (LogAPDU) -------------------------------------------------
// Nothing secret is written: everything after Lc of VERIFY, CHANGE REFERENCE
// DATA and RESET RETRY COUNTER (PINs, the unblocking code), whatever the PIN
// reference, and the answer of a security operation other than a signature
// (the agreed secret) appear as their length only.

constexpr BYTE kInsVerify = 0x20;
constexpr BYTE kInsChangeReferenceData = 0x24;
constexpr BYTE kInsResetRetryCounter = 0x2C;
constexpr BYTE kInsPerformSecurityOperation = 0x2A;

bool ApduTraceOn(const CARD_DATA* cardData) {
  if (LogLevel() < kLogDebug) return false;
  const CardContext* context = ContextOf(cardData);
  return context != nullptr && context->logApdu;
}

void AppendWithheld(LogText* out, std::size_t count) {
  out->AppendFormat("[%u bytes not logged]", static_cast<unsigned>(count));
}

bool CarriesPins(const BYTE* apdu, DWORD length) {
  return length >= 2 && (apdu[1] == kInsVerify || apdu[1] == kInsChangeReferenceData ||
                         apdu[1] == kInsResetRetryCounter);
}

// COMPUTE DIGITAL SIGNATURE (P1 P2 9E 9A) answers a signature; the other
// operations (decipher: the agreed secret) answer something secret.
bool AnswersSecret(const BYTE* apdu, DWORD length) {
  return length >= 4 && apdu[1] == kInsPerformSecurityOperation && !(apdu[2] == 0x9E && apdu[3] == 0x9A);
}

// The trace never fails an exchange: a line that cannot be built is lost.
void TraceCommand(const BYTE* apdu, DWORD length) {
  LogText text;
  // Header and Lc, then the length of the rest: a PIN command's bytes after
  // Lc are withheld whatever Lc claims, so a wrong Lc cannot show a PIN.
  if (CarriesPins(apdu, length) && length > 5) {
    AppendHex(&text, apdu, 5);
    text += ' ';
    AppendWithheld(&text, length - 5);
  } else {
    AppendHex(&text, apdu, length);
  }
  if (text.complete()) WriteLogLine(kLogDebug, __FILE__, __LINE__, false, "APDU > %s", text.c_str());
}

void TraceResponse(const BYTE* apdu, DWORD apduLength, const BYTE* response, DWORD length) {
  LogText text;
  const std::size_t data = length >= 2 ? length - 2 : length;
  if (AnswersSecret(apdu, apduLength) && data > 0) {
    AppendWithheld(&text, data);
    if (data < length) text += ' ';
  } else {
    AppendHex(&text, response, data);
  }
  AppendHex(&text, response + data, length - data);
  if (text.complete()) WriteLogLine(kLogDebug, __FILE__, __LINE__, false, "APDU < %s", text.c_str());
}

void TraceFailure(DWORD rc) {
  const char* name = ResultCodeName(rc);
  WriteLogLine(kLogDebug, __FILE__, __LINE__, false, "APDU < failed: %s (0x%08X)", name != nullptr ? name : "",
               static_cast<unsigned>(rc));
}

}  // namespace

DWORD TransmitApdu(const CARD_DATA* cardData, const BYTE* apdu, DWORD apduLength, BYTE** responseCopy,
                   DWORD* responseLength, WORD* statusWord) {
  if (apdu == nullptr || apduLength == 0 || cardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  const bool trace = ApduTraceOn(cardData);
  if (trace) TraceCommand(apdu, apduLength);
  ReceiveBuffer received;
  DWORD receivedLength = kMaxResponseLength;
  const DWORD rc = platform::PcscTransmit(cardData->hScard, apdu, apduLength, received.bytes, &receivedLength);
  if (rc != 0) {
    if (trace) TraceFailure(rc);
    return rc;
  }
  // A reader that claims more than the buffer holds is not believed.
  if (receivedLength > kMaxResponseLength) receivedLength = kMaxResponseLength;
  received.used = receivedLength;
  if (trace) TraceResponse(apdu, apduLength, received.bytes, receivedLength);

  if (responseCopy != nullptr && responseLength != nullptr) {
    auto* copy = static_cast<BYTE*>(platform::AllocateMemory(receivedLength));
    if (copy == nullptr) return SCARD_F_INTERNAL_ERROR;
    std::memcpy(copy, received.bytes, receivedLength);
    *responseCopy = copy;
    *responseLength = receivedLength;
  }
  if (statusWord != nullptr && receivedLength >= 2) {
    *statusWord = static_cast<WORD>((received.bytes[receivedLength - 2] << 8) | received.bytes[receivedLength - 1]);
  }
  return 0;
}

void FreeResponseCopy(BYTE* responseCopy, DWORD responseLength) {
  if (responseCopy == nullptr) return;
  SecureWipe(responseCopy, responseLength);
  platform::ReleaseMemory(responseCopy);
}

}  // namespace vela
