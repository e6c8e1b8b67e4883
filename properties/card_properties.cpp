// The card-level properties and the three older query entries. Every answer
// comes from the record built at acquire; nothing reaches the card beyond the
// select of CheckContext.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/log.h"
#include "platform/window.h"

namespace vela {

namespace {

constexpr std::u16string_view kFreeSpace = u"Free Space";
constexpr std::u16string_view kCapabilities = u"Capabilities";
constexpr std::u16string_view kKeySizes = u"Key Sizes";
constexpr std::u16string_view kReadOnlyMode = u"Read Only Mode";
constexpr std::u16string_view kCacheMode = u"Cache Mode";
constexpr std::u16string_view kX509Enrollment = u"Supports Windows x.509 Enrollment";
constexpr std::u16string_view kCardIdentifier = u"Card Identifier";
constexpr std::u16string_view kSerialNumber = u"Card Serial Number";
constexpr std::u16string_view kPinInformation = u"PIN Information";
constexpr std::u16string_view kPinList = u"PIN List";
constexpr std::u16string_view kKeyImportSupport = u"Key Import Support";
constexpr std::u16string_view kPinStrengthVerify = u"PIN Strength Verify";
constexpr std::u16string_view kPinStrengthChange = u"PIN Strength Change";
constexpr std::u16string_view kPinStrengthUnblock = u"PIN Strength Unblock";
constexpr std::u16string_view kAuthenticatedState = u"Authenticated State";
constexpr std::u16string_view kAlgorithms = u"Algorithms";
constexpr std::u16string_view kPaddingSchemes = u"Padding Schemes";
constexpr std::u16string_view kChainingModes = u"Chaining Modes";
constexpr std::u16string_view kPinContextString = u"PIN Context String";
constexpr std::u16string_view kParentWindow = u"Parent Window";

constexpr DWORD kPinSetUser = 0x2;
constexpr DWORD kPinSetAdmin = 0x4;
constexpr DWORD kPinCachePolicyVersion = 6;
constexpr DWORD kPinInfoVersion = 6;
constexpr DWORD CARD_PIN_STRENGTH_PLAINTEXT = 1;

// Exact match, terminator included; stops reading the host's name at the
// first difference.
bool NameIs(LPCWSTR name, std::u16string_view wanted) {
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (name[i] != wanted[i]) return false;
  }
  return name[wanted.size()] == u'\0';
}

bool NameIn(LPCWSTR name, std::initializer_list<std::u16string_view> names) {
  return std::any_of(names.begin(), names.end(), [&](std::u16string_view n) { return NameIs(name, n); });
}

// Every name the property entries answer or refuse by name: only such a name
// was read to its terminator, so only such a one is shown in the log.
bool IsKnownProperty(LPCWSTR name) {
  return NameIn(name, {kFreeSpace, kCapabilities, kKeySizes, kReadOnlyMode, kCacheMode, kX509Enrollment,
                       kCardIdentifier, kSerialNumber, kPinInformation, kPinList, kKeyImportSupport,
                       kPinStrengthVerify, kPinStrengthChange, kPinStrengthUnblock, kAuthenticatedState, kAlgorithms,
                       kPaddingSchemes, kChainingModes, kPinContextString, kParentWindow, u"Import Key Pair",
                       u"Change Authenticator", u"Authenticate", u"ChainingMode", u"IV", u"BlockLength"});
}

// Host buffers carry no alignment promise: values go in and out by copy.
DWORD ReadVersion(const BYTE* buffer) {
  DWORD version;
  std::memcpy(&version, buffer, sizeof version);
  return version;
}

DWORD Answer(PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, const void* value, DWORD size) {
  if (cbData < size) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(pbData, value, size);
  *pdwDataLen = size;
  return 0;
}

DWORD AnswerDword(PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD value) {
  return Answer(pbData, cbData, pdwDataLen, &value, sizeof value);
}

void FillCapabilities(CARD_CAPABILITIES* capabilities) {
  capabilities->fCertificateCompression = 1;
  capabilities->fKeyGen = 0;
}

DWORD FillKeySizes(DWORD keySpec, CARD_KEY_SIZES* sizes) {
  switch (keySpec) {
    case AT_ECDSA_P256:
    case AT_ECDHE_P256:
      sizes->dwMinimumBitlen = 256;
      sizes->dwDefaultBitlen = 256;
      sizes->dwMaximumBitlen = 256;
      sizes->dwIncrementalBitlen = 1;
      return 0;
    case AT_KEYEXCHANGE:
    case AT_SIGNATURE:
    case AT_ECDSA_P384:
    case AT_ECDSA_P521:
    case AT_ECDHE_P384:
    case AT_ECDHE_P521:
      return SCARD_E_UNSUPPORTED_FEATURE;
    default:
      return SCARD_E_INVALID_PARAMETER;
  }
}

void FillFreeSpace(const CardContext& context, CARD_FREE_SPACE_INFO* info) {
  DWORD present = 0;
  for (std::size_t i = 0; i < kMaxContainers; ++i) present += context.profile.present(i) ? 1 : 0;
  info->dwBytesAvailable = 0;
  info->dwKeyContainersAvailable = present;
  info->dwMaxKeyContainers = present;
}

// A versioned record: the caller's version is checked (it needs the first
// four bytes) before the size, then `fill` works on a copy of the buffer.
template <typename Record, typename Fill>
DWORD AnswerRecord(PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD maxVersion, Fill fill) {
  if (cbData < sizeof(DWORD)) return ERROR_INSUFFICIENT_BUFFER;
  if (ReadVersion(pbData) > maxVersion) return SCARD_E_INVALID_PARAMETER;
  if (cbData < sizeof(Record)) return ERROR_INSUFFICIENT_BUFFER;
  Record record;
  std::memcpy(&record, pbData, sizeof record);
  if (const DWORD rc = fill(&record); rc != 0) return rc;
  std::memcpy(pbData, &record, sizeof record);
  *pdwDataLen = sizeof record;
  return 0;
}

PIN_INFO PinInformation(const CardContext& context, PIN_ID pin, DWORD version) {
  PIN_INFO info{};
  info.dwVersion = version;
  info.PinType = context.pinPadInUse ? ExternalPinType : AlphaNumericPinType;
  info.PinCachePolicy.dwVersion = kPinCachePolicyVersion;
  if (pin == ROLE_USER) {
    info.PinPurpose = PrimaryCardPin;
    info.dwChangePermission = kPinSetUser;
    info.dwUnblockPermission = kPinSetAdmin;
    info.PinCachePolicy.PinCachePolicyType = static_cast<PIN_CACHE_POLICY_TYPE>(context.userPinCachePolicy);
  } else {
    info.PinPurpose = UnblockOnlyPin;
    info.dwChangePermission = kPinSetAdmin;
    info.dwUnblockPermission = 0;
    info.PinCachePolicy.PinCachePolicyType = PinCacheNone;
  }
  return info;
}

std::size_t StoredLength(const WCHAR* text) {
  std::size_t n = 0;
  while (n + 1 < kPinContextStringUnits && text[n] != u'\0') ++n;
  return n;
}

DWORD GetPinContextString(const CardContext& context, PBYTE pbData, DWORD cbData, PDWORD pdwDataLen) {
  const std::size_t units = StoredLength(context.pinContextString) + 1;
  const DWORD bytes = static_cast<DWORD>(units * sizeof(WCHAR));
  if (cbData < bytes) return ERROR_INSUFFICIENT_BUFFER;
  WCHAR copy[kPinContextStringUnits] = {};
  std::copy_n(context.pinContextString, units - 1, copy);
  return Answer(pbData, cbData, pdwDataLen, copy, bytes);
}

DWORD SetPinContextString(CardContext* context, const BYTE* pbData, DWORD cbDataLen) {
  if (pbData == nullptr) {
    context->pinContextString[0] = u'\0';
    return 0;
  }
  // The terminator must lie within the host's buffer and within the 128
  // characters the record holds; nothing further is read.
  const std::size_t limit = std::min<std::size_t>(cbDataLen / sizeof(WCHAR), kPinContextStringUnits);
  WCHAR text[kPinContextStringUnits] = {};
  for (std::size_t i = 0; i < limit; ++i) {
    std::memcpy(&text[i], pbData + i * sizeof(WCHAR), sizeof(WCHAR));
    if (text[i] == u'\0') {
      if (i == 0) return SCARD_E_INVALID_PARAMETER;
      std::copy_n(text, i + 1, context->pinContextString);
      return 0;
    }
  }
  return SCARD_E_INVALID_PARAMETER;
}

DWORD SetParentWindow(PCARD_DATA pCardData, CardContext* context, const BYTE* pbData, DWORD cbDataLen,
                      DWORD dwFlags) {
  if (cbDataLen != sizeof(HWND) || dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  if (!context->pinPadInUse) return SCARD_E_UNSUPPORTED_FEATURE;
  HWND window;
  std::memcpy(&window, pbData, sizeof window);
  if (window == nullptr) window = platform::DesktopWindow();
  if (!platform::IsUnicodeWindow(window) && !platform::IsExistingWindow(window)) return SCARD_E_UNSUPPORTED_FEATURE;
  if (!platform::WindowInfoAvailable(window)) return SCARD_E_INVALID_PARAMETER;
  if (pCardData->hScard == 0) return SCARD_E_INVALID_HANDLE;
  context->parentWindow = window;
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardQueryCapabilities(PCARD_DATA pCardData, CARD_CAPABILITIES* pCardCapabilities) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0 || pCardCapabilities == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (pCardCapabilities->dwVersion > 1) return ERROR_REVISION_MISMATCH;
  FillCapabilities(pCardCapabilities);
  return 0;
}

DWORD VELA_WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags, CARD_KEY_SIZES* pKeySizes) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0 || dwFlags != 0 || pKeySizes == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (pKeySizes->dwVersion > 1) return ERROR_REVISION_MISMATCH;
  return FillKeySizes(dwKeySpec, pKeySizes);
}

DWORD VELA_WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags, CARD_FREE_SPACE_INFO* pCardFreeSpaceInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0 || dwFlags != 0 || pCardFreeSpaceInfo == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (pCardFreeSpaceInfo->dwVersion > 1) return ERROR_REVISION_MISMATCH;
  FillFreeSpace(*ContextOf(pCardData), pCardFreeSpaceInfo);
  return 0;
}

DWORD VELA_WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                                  PDWORD pdwDataLen, DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (wszProperty == nullptr || pbData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (cbData == 0) return ERROR_INSUFFICIENT_BUFFER;
  if (pdwDataLen == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (LogLevel() != kLogOff && IsKnownProperty(wszProperty)) AcceptArguments();
  if (dwFlags != 0 && NameIn(wszProperty, {kFreeSpace, kCapabilities, kReadOnlyMode, kCacheMode, kX509Enrollment,
                                           kCardIdentifier, kSerialNumber, kPinList, kAuthenticatedState})) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (NameIn(wszProperty, {kPinStrengthChange, kPinStrengthUnblock, kAuthenticatedState, kAlgorithms,
                           kPaddingSchemes, kChainingModes, u"Import Key Pair", u"Change Authenticator",
                           u"Authenticate", u"ChainingMode", u"IV", u"BlockLength"})) {
    return SCARD_E_UNSUPPORTED_FEATURE;
  }

  const CardContext& context = *ContextOf(pCardData);
  if (NameIs(wszProperty, kFreeSpace)) {
    return AnswerRecord<CARD_FREE_SPACE_INFO>(pbData, cbData, pdwDataLen, 1, [&](CARD_FREE_SPACE_INFO* info) {
      FillFreeSpace(context, info);
      info->dwVersion = 1;
      return DWORD{0};
    });
  }
  if (NameIs(wszProperty, kCapabilities)) {
    return AnswerRecord<CARD_CAPABILITIES>(pbData, cbData, pdwDataLen, 1, [](CARD_CAPABILITIES* capabilities) {
      FillCapabilities(capabilities);
      return DWORD{0};
    });
  }
  if (NameIs(wszProperty, kKeySizes)) {
    return AnswerRecord<CARD_KEY_SIZES>(pbData, cbData, pdwDataLen, 1,
                                        [&](CARD_KEY_SIZES* sizes) { return FillKeySizes(dwFlags, sizes); });
  }
  if (NameIs(wszProperty, kReadOnlyMode)) return AnswerDword(pbData, cbData, pdwDataLen, 1);
  if (NameIs(wszProperty, kCacheMode)) {
    return AnswerDword(pbData, cbData, pdwDataLen, static_cast<DWORD>(context.cacheMode));
  }
  if (NameIs(wszProperty, kX509Enrollment)) return AnswerDword(pbData, cbData, pdwDataLen, 0);
  if (NameIn(wszProperty, {kCardIdentifier, kSerialNumber})) {
    return Answer(pbData, cbData, pdwDataLen, context.profile.cardIdentifier, sizeof context.profile.cardIdentifier);
  }
  if (NameIs(wszProperty, kPinInformation)) {
    if (dwFlags != ROLE_USER && dwFlags != ROLE_ADMIN) return SCARD_E_INVALID_PARAMETER;
    if (cbData < sizeof(PIN_INFO)) return ERROR_INSUFFICIENT_BUFFER;
    const DWORD version = ReadVersion(pbData);
    if (version > kPinInfoVersion) return SCARD_E_INVALID_PARAMETER;
    const PIN_INFO info = PinInformation(context, dwFlags, version);
    return Answer(pbData, cbData, pdwDataLen, &info, sizeof info);
  }
  if (NameIs(wszProperty, kPinList)) return AnswerDword(pbData, cbData, pdwDataLen, kPinSetUser | kPinSetAdmin);
  if (NameIs(wszProperty, kKeyImportSupport)) return AnswerDword(pbData, cbData, pdwDataLen, 0);
  if (NameIs(wszProperty, kPinStrengthVerify)) {
    if (dwFlags != ROLE_USER && dwFlags != ROLE_ADMIN) return SCARD_E_INVALID_PARAMETER;
    return AnswerDword(pbData, cbData, pdwDataLen, CARD_PIN_STRENGTH_PLAINTEXT);
  }
  if (NameIs(wszProperty, kPinContextString)) return GetPinContextString(context, pbData, cbData, pdwDataLen);
  return SCARD_E_INVALID_PARAMETER;
}

DWORD VELA_WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                                  DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (wszProperty == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (LogLevel() != kLogOff && IsKnownProperty(wszProperty)) AcceptArguments();
  const bool contextString = NameIs(wszProperty, kPinContextString);
  if (pbData == nullptr && !contextString) return SCARD_E_INVALID_PARAMETER;
  if (NameIn(wszProperty, {kFreeSpace, kCapabilities, kKeySizes, kPinList, kAuthenticatedState, kKeyImportSupport,
                           kAlgorithms, kPaddingSchemes, kChainingModes, kCacheMode, kX509Enrollment,
                           kCardIdentifier, kSerialNumber, kPinInformation, kPinStrengthVerify, kPinStrengthChange,
                           kPinStrengthUnblock})) {
    return SCARD_E_UNSUPPORTED_FEATURE;
  }
  CardContext* context = ContextOf(pCardData);
  if (contextString) return SetPinContextString(context, pbData, cbDataLen);
  if (NameIs(wszProperty, kParentWindow)) return SetParentWindow(pCardData, context, pbData, cbDataLen, dwFlags);
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace vela
