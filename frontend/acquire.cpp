// The module's export: checks the host's record and the card, builds the
// CardContext and writes the function table.
#include <new>

#include "auth/pin_pad.h"
#include "card/card_profile.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/secure_wipe.h"
#include "core/settings.h"
#include "frontend/atr.h"
#include "frontend/entry_log.h"
#include "platform/threads.h"

namespace vela {

namespace {

void WriteFunctionTable(CARD_DATA* cd, DWORD servedVersion) {
  cd->pfnCardDeleteContext = VELA_LOGGED(CardDeleteContext);
  cd->pfnCardQueryCapabilities = VELA_LOGGED(CardQueryCapabilities);
  cd->pfnCardDeleteContainer = VELA_LOGGED_REFUSED(CardDeleteContainer);
  cd->pfnCardCreateContainer = VELA_LOGGED_REFUSED(CardCreateContainer);
  cd->pfnCardGetContainerInfo = VELA_LOGGED(CardGetContainerInfo);
  cd->pfnCardAuthenticatePin = VELA_LOGGED(CardAuthenticatePin);
  cd->pfnCardGetChallenge = VELA_LOGGED_REFUSED(CardGetChallenge);
  cd->pfnCardAuthenticateChallenge = VELA_LOGGED_REFUSED(CardAuthenticateChallenge);
  cd->pfnCardUnblockPin = VELA_LOGGED(CardUnblockPin);
  cd->pfnCardChangeAuthenticator = VELA_LOGGED(CardChangeAuthenticator);
  cd->pfnCardDeauthenticate = VELA_LOGGED(CardDeauthenticate);
  cd->pfnCardCreateDirectory = VELA_LOGGED_REFUSED(CardCreateDirectory);
  cd->pfnCardDeleteDirectory = VELA_LOGGED_REFUSED(CardDeleteDirectory);
  cd->pvUnused3 = nullptr;
  cd->pvUnused4 = nullptr;
  cd->pfnCardCreateFile = VELA_LOGGED_REFUSED(CardCreateFile);
  cd->pfnCardReadFile = VELA_LOGGED(CardReadFile);
  cd->pfnCardWriteFile = VELA_LOGGED_REFUSED(CardWriteFile);
  cd->pfnCardDeleteFile = VELA_LOGGED_REFUSED(CardDeleteFile);
  cd->pfnCardEnumFiles = VELA_LOGGED(CardEnumFiles);
  cd->pfnCardGetFileInfo = VELA_LOGGED(CardGetFileInfo);
  cd->pfnCardQueryFreeSpace = VELA_LOGGED(CardQueryFreeSpace);
  cd->pfnCardQueryKeySizes = VELA_LOGGED(CardQueryKeySizes);
  cd->pfnCardSignData = VELA_LOGGED(CardSignData);
  cd->pfnCardRSADecrypt = nullptr;
  cd->pfnCardConstructDHAgreement = VELA_LOGGED(CardConstructDHAgreement);

  // Hosts below 6 are refused before this point, so the 5 and 6 rows are
  // always written.
  cd->pfnCardDeriveKey = VELA_LOGGED(CardDeriveKey);
  cd->pfnCardDestroyDHAgreement = VELA_LOGGED(CardDestroyDHAgreement);

  cd->pfnCardGetChallengeEx = VELA_LOGGED_REFUSED(CardGetChallengeEx);
  cd->pfnCardAuthenticateEx = VELA_LOGGED(CardAuthenticateEx);
  cd->pfnCardChangeAuthenticatorEx = VELA_LOGGED(CardChangeAuthenticatorEx);
  cd->pfnCardDeauthenticateEx = VELA_LOGGED(CardDeauthenticateEx);
  cd->pfnCardGetContainerProperty = VELA_LOGGED(CardGetContainerProperty);
  cd->pfnCardSetContainerProperty = VELA_LOGGED_REFUSED(CardSetContainerProperty);
  cd->pfnCardGetProperty = VELA_LOGGED(CardGetProperty);
  cd->pfnCardSetProperty = VELA_LOGGED(CardSetProperty);

  if (servedVersion >= CARD_DATA_VERSION_SEVEN) {
    cd->pfnMDImportSessionKey = VELA_LOGGED_REFUSED(MDImportSessionKey);
    cd->pfnMDEncryptData = VELA_LOGGED_REFUSED(MDEncryptData);
    cd->pfnCardImportSessionKey = VELA_LOGGED_REFUSED(CardImportSessionKey);
    cd->pfnCardGetSharedKeyHandle = VELA_LOGGED_REFUSED(CardGetSharedKeyHandle);
    cd->pfnCardGetAlgorithmProperty = VELA_LOGGED_REFUSED(CardGetAlgorithmProperty);
    cd->pfnCardGetKeyProperty = VELA_LOGGED_REFUSED(CardGetKeyProperty);
    cd->pfnCardSetKeyProperty = VELA_LOGGED_REFUSED(CardSetKeyProperty);
    cd->pfnCardDestroyKey = VELA_LOGGED_REFUSED(CardDestroyKey);
    cd->pfnCardProcessEncryptedData = VELA_LOGGED_REFUSED(CardProcessEncryptedData);
    cd->pfnCardCreateContainerEx = VELA_LOGGED_REFUSED(CardCreateContainerEx);
  }
}

// Wipes the record's secrets and returns it to the host.
void ReleaseContext(CARD_DATA* cardData) {
  CardContext* context = ContextOf(cardData);
  if (context == nullptr) return;
  SecureWipe(context, sizeof(*context));
  HostFree(cardData, context);
  cardData->pvVendorSpecific = nullptr;
}

DWORD CheckHostRecord(const CARD_DATA* cd, DWORD dwFlags) {
  if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  if (cd->pfnCspAlloc == nullptr || cd->pfnCspReAlloc == nullptr || cd->pfnCspFree == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (cd->pbAtr == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (cd->cbAtr < 1 || cd->cbAtr > 32) return SCARD_E_INVALID_PARAMETER;
  if (cd->pwszCardName == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (cd->hSCardCtx == 0 || cd->hScard == 0) return SCARD_E_INVALID_HANDLE;
  if (cd->dwVersion < CARD_DATA_VERSION_SIX) return ERROR_REVISION_MISMATCH;
  if (CheckAtr(cd->pbAtr, cd->cbAtr) != 0) return SCARD_E_UNKNOWN_CARD;
  return 0;
}

// What an administrator chasing a card problem needs first: the card's ATR
// and the settings in effect, then what the reader and the card offered.
void LogSettings(const CardContext& context) {
  WriteLogLine(kLogDebug, __FILE__, __LINE__, true,
               "settings: LogPath \"%s\", LogLevel %d, LogAPDU %s, usePinPad %s, CacheMode %d, UserPCP %u",
               LogDirectory().c_str(), static_cast<int>(context.logLevel), context.logApdu ? "TRUE" : "FALSE",
               context.pinPadInUse ? "TRUE" : "FALSE", static_cast<int>(context.cacheMode),
               static_cast<unsigned>(context.userPinCachePolicy));
}

void LogAtr(const CARD_DATA* cd) {
  if (cd->pbAtr == nullptr || cd->cbAtr < 1 || cd->cbAtr > 32) return;
  WriteLogHex(kLogDebug, __FILE__, __LINE__, "ATR %s", cd->pbAtr, cd->cbAtr);
}

void LogReaderFeatures(const ReaderFeatures& features, bool pinPadInUse) {
  WriteLogLine(kLogDebug, __FILE__, __LINE__, false,
               "reader features: verify PIN direct 0x%08X, start 0x%08X, finish 0x%08X, modify PIN direct 0x%08X; "
               "PIN pad %s",
               static_cast<unsigned>(features.verifyPinDirect), static_cast<unsigned>(features.verifyPinStart),
               static_cast<unsigned>(features.verifyPinFinish), static_cast<unsigned>(features.modifyPinDirect),
               pinPadInUse ? "in use" : "not used");
}

void LogProfile(const CardProfile& profile) {
  LogText present;
  int defaultContainer = -1;
  for (std::size_t i = 0; i < kMaxContainers; ++i) {
    if (!profile.present(i)) continue;
    present.AppendFormat(present.empty() ? "%u" : " %u", static_cast<unsigned>(i));
    if (defaultContainer < 0 && profile.containerStatus[i] == kContainerDefault) defaultContainer = static_cast<int>(i);
  }
  LogText serial;
  AppendHex(&serial, profile.serialNumber(), kSerialNumberLength);
  if (!present.complete() || !serial.complete()) return;
  WriteLogLine(kLogDebug, __FILE__, __LINE__, false, "card: serial %s, containers present %s, default %d", serial.c_str(),
               present.empty() ? "none" : present.c_str(), defaultContainer);
}

// The acquire itself. `*start` is set once the settings are read: only then
// is it known whether the call is logged, and with logging off nothing is
// timed.
DWORD AcquireContext(PCARD_DATA pCardData, DWORD dwFlags, std::uint64_t* start) {
  if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (pCardData->pfnCspAlloc == nullptr) return SCARD_E_INVALID_PARAMETER;

  void* memory = pCardData->pfnCspAlloc(sizeof(CardContext));
  if (memory == nullptr) return SCARD_E_NO_MEMORY;
  CardContext* context = new (memory) CardContext{};
  pCardData->pvVendorSpecific = context;

  ReadSettings(context);
  const bool debugLog = LogLevel() >= kLogDebug;
  if (LogLevel() > kLogOff) *start = platform::MonotonicMicroseconds();
  if (debugLog) LogSettings(*context);
  TraceHook(pCardData);

  const DWORD hostRecord = CheckHostRecord(pCardData, dwFlags);
  if (debugLog) LogAtr(pCardData);
  if (hostRecord != 0) {
    ReleaseContext(pCardData);
    // Without a free callback the record cannot be returned; the host must
    // still not see it.
    pCardData->pvVendorSpecific = nullptr;
    return hostRecord;
  }

  // The reader is asked only when the setting wants its keypad.
  if (context->pinPadInUse) {
    const ReaderFeatures features = QueryReaderFeatures(pCardData);
    context->pinPadInUse = CanVerifyPin(features);
    if (debugLog) LogReaderFeatures(features, context->pinPadInUse);
  } else if (debugLog) {
    WriteLogLine(kLogDebug, __FILE__, __LINE__, false, "reader features: not asked (usePinPad is off)");
  }
  context->userAuthenticated = false;

  CardProfile profile;
  if (LoadCardProfile(pCardData, &profile) != 0) {
    ReleaseContext(pCardData);
    return SCARD_F_INTERNAL_ERROR;
  }
  context->profile = profile;
  if (debugLog) LogProfile(profile);

  WriteFunctionTable(pCardData, pCardData->dwVersion);
  if (pCardData->dwVersion > CARD_DATA_CURRENT_VERSION) pCardData->dwVersion = CARD_DATA_CURRENT_VERSION;
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardDeleteContext(PCARD_DATA pCardData) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  ReleaseContext(pCardData);
  return 0;
}

}  // namespace vela

using namespace vela;

extern "C" VELA_EXPORT DWORD VELA_WINAPI CardAcquireContext(PCARD_DATA pCardData, DWORD dwFlags) {
  std::uint64_t start = 0;
  const DWORD result = AcquireContext(pCardData, dwFlags, &start);
  if (LogLevel() > kLogOff && EntryLineWanted(result)) [[unlikely]] {
    // A call refused before the settings were read shows no time.
    const std::uint64_t end = platform::MonotonicMicroseconds();
    LogText arguments;
    AppendArgument(&arguments, dwFlags, true);
    WriteEntryLine("CardAcquireContext", &arguments, result, start == 0 ? 0 : end - start);
  }
  return result;
}
