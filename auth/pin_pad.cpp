#include "auth/pin_pad.h"

#include "platform/pcsc.h"
#include "platform/window.h"

namespace vela {

namespace {

constexpr std::uint32_t kControlReplySize = 1024;
constexpr std::size_t kFeatureEntryLength = 6;

constexpr BYTE FEATURE_VERIFY_PIN_START = 0x01;
constexpr BYTE FEATURE_VERIFY_PIN_FINISH = 0x02;
constexpr BYTE FEATURE_MODIFY_PIN_START = 0x03;
constexpr BYTE FEATURE_MODIFY_PIN_FINISH = 0x04;
constexpr BYTE FEATURE_VERIFY_PIN_DIRECT = 0x06;
constexpr BYTE FEATURE_MODIFY_PIN_DIRECT = 0x07;

constexpr char16_t kNoticeText[] = u"Bitte geben Sie eine PIN auf dem PinPad ein.";

struct ControlReply {
  DWORD rc = 0;
  BYTE bytes[kControlReplySize] = {};
  std::uint32_t length = 0;
};

void Control(const CARD_DATA* cardData, DWORD code, const BYTE* in, std::uint32_t inLength, ControlReply* reply) {
  reply->length = 0;
  reply->rc = platform::PcscControl(cardData->hScard, code, in, inLength, reply->bytes, kControlReplySize,
                                    &reply->length);
  // A reader that claims more than the buffer holds is not believed.
  if (reply->length > kControlReplySize) reply->length = kControlReplySize;
}

}  // namespace

ReaderFeatures QueryReaderFeatures(const CARD_DATA* cardData) {
  ReaderFeatures features;
  if (cardData == nullptr) return features;
  ControlReply reply;
  Control(cardData, platform::FeatureRequestControlCode(), nullptr, 0, &reply);
  if (reply.rc != 0) return features;
  // An incomplete entry at the end carries no whole code and is ignored.
  for (std::size_t at = 0; at + kFeatureEntryLength <= reply.length; at += kFeatureEntryLength) {
    const BYTE* entry = reply.bytes + at;
    const DWORD code = static_cast<DWORD>(entry[2]) << 24 | static_cast<DWORD>(entry[3]) << 16 |
                       static_cast<DWORD>(entry[4]) << 8 | entry[5];
    switch (entry[0]) {
      case FEATURE_VERIFY_PIN_START: features.verifyPinStart = code; break;
      case FEATURE_VERIFY_PIN_FINISH: features.verifyPinFinish = code; break;
      case FEATURE_MODIFY_PIN_START: features.modifyPinStart = code; break;
      case FEATURE_MODIFY_PIN_FINISH: features.modifyPinFinish = code; break;
      case FEATURE_VERIFY_PIN_DIRECT: features.verifyPinDirect = code; break;
      case FEATURE_MODIFY_PIN_DIRECT: features.modifyPinDirect = code; break;
      default: break;
    }
  }
  if (features.modifyPinStart == 0 || features.modifyPinFinish == 0) {
    features.modifyPinStart = features.modifyPinFinish = 0;
  }
  if (features.verifyPinStart == 0 || features.verifyPinFinish == 0) {
    features.verifyPinStart = features.verifyPinFinish = 0;
  }
  return features;
}

bool ReaderCanVerifyPin(const CARD_DATA* cardData) {
  return CanVerifyPin(QueryReaderFeatures(cardData));
}

std::array<BYTE, kPinVerifyBlockLength> PinVerifyBlock(BYTE pinRef) {
  return {
      0x1F,              // bTimerOut: 31 s for the whole entry
      0x05,              // bTimerOut2: 5 s after the first key
      0x02,              // bmFormatString: ASCII digits, left-justified
      0x00,              // bmPINBlockString
      0x00,              // bmPINLengthFormat
      0x12, 0x06,        // wPINMaxExtraDigit: 6 to 18 digits
      0x02,              // bEntryValidationCondition: the validation key
      0x00,              // bNumberMessage
      0x04, 0x09,        // wLangId
      0x00,              // bMsgIndex
      0x00, 0x00, 0x00,  // bTeoPrologue
      0x04, 0x00, 0x00, 0x00,  // ulDataLength
      0x00, 0x20, 0x00, pinRef,  // VERIFY; the reader appends the PIN
  };
}

DWORD VerifyPinOnPad(const CARD_DATA* cardData, BYTE pinRef) {
  const ReaderFeatures features = QueryReaderFeatures(cardData);
  const std::array<BYTE, kPinVerifyBlockLength> block = PinVerifyBlock(pinRef);
  const bool direct = features.verifyPinDirect != 0;
  if (!direct && features.verifyPinStart == 0) return SCARD_E_UNSUPPORTED_FEATURE;

  ControlReply reply;
  Control(cardData, direct ? features.verifyPinDirect : features.verifyPinStart, block.data(),
          static_cast<std::uint32_t>(block.size()), &reply);
  if (reply.rc != 0) return reply.rc;
  if (!direct) {
    Control(cardData, features.verifyPinFinish, nullptr, 0, &reply);
    if (reply.rc != 0) return reply.rc;
  }
  // A reply without a status word would otherwise read as some status.
  if (reply.length < 2) return SCARD_F_INTERNAL_ERROR;
  return static_cast<DWORD>(reply.bytes[reply.length - 2]) << 8 | reply.bytes[reply.length - 1];
}

DWORD VerifyPinOnPadWithNotice(const CARD_DATA* cardData, HWND parentWindow, BYTE pinRef, bool silent) {
  if (silent) return VerifyPinOnPad(cardData, pinRef);
  const platform::WindowHandle notice = platform::CreateNotice(parentWindow);
  if (notice != nullptr) {
    platform::ShowNotice(notice);
    platform::SetNoticeText(notice, kNoticeText);
  }
  const DWORD result = VerifyPinOnPad(cardData, pinRef);
  if (notice != nullptr) platform::DestroyNotice(notice);
  return result;
}

}  // namespace vela
