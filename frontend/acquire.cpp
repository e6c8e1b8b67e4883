// The module's export: checks the host's record and the card, builds the
// CardContext and writes the function table.
#include <new>

#include "auth/pin_pad.h"
#include "card/card_profile.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/secure_wipe.h"
#include "core/settings.h"
#include "frontend/atr.h"

namespace vela {

namespace {

void WriteFunctionTable(CARD_DATA* cd, DWORD servedVersion) {
  cd->pfnCardDeleteContext = CardDeleteContext;
  cd->pfnCardQueryCapabilities = CardQueryCapabilities;
  cd->pfnCardDeleteContainer = CardDeleteContainer;
  cd->pfnCardCreateContainer = CardCreateContainer;
  cd->pfnCardGetContainerInfo = CardGetContainerInfo;
  cd->pfnCardAuthenticatePin = CardAuthenticatePin;
  cd->pfnCardGetChallenge = CardGetChallenge;
  cd->pfnCardAuthenticateChallenge = CardAuthenticateChallenge;
  cd->pfnCardUnblockPin = CardUnblockPin;
  cd->pfnCardChangeAuthenticator = CardChangeAuthenticator;
  cd->pfnCardDeauthenticate = CardDeauthenticate;
  cd->pfnCardCreateDirectory = CardCreateDirectory;
  cd->pfnCardDeleteDirectory = CardDeleteDirectory;
  cd->pvUnused3 = nullptr;
  cd->pvUnused4 = nullptr;
  cd->pfnCardCreateFile = CardCreateFile;
  cd->pfnCardReadFile = CardReadFile;
  cd->pfnCardWriteFile = CardWriteFile;
  cd->pfnCardDeleteFile = CardDeleteFile;
  cd->pfnCardEnumFiles = CardEnumFiles;
  cd->pfnCardGetFileInfo = CardGetFileInfo;
  cd->pfnCardQueryFreeSpace = CardQueryFreeSpace;
  cd->pfnCardQueryKeySizes = CardQueryKeySizes;
  cd->pfnCardSignData = CardSignData;
  cd->pfnCardRSADecrypt = nullptr;
  cd->pfnCardConstructDHAgreement = CardConstructDHAgreement;

  // Hosts below 6 are refused before this point, so the 5 and 6 rows are
  // always written.
  cd->pfnCardDeriveKey = CardDeriveKey;
  cd->pfnCardDestroyDHAgreement = CardDestroyDHAgreement;

  cd->pfnCardGetChallengeEx = CardGetChallengeEx;
  cd->pfnCardAuthenticateEx = CardAuthenticateEx;
  cd->pfnCardChangeAuthenticatorEx = CardChangeAuthenticatorEx;
  cd->pfnCardDeauthenticateEx = CardDeauthenticateEx;
  cd->pfnCardGetContainerProperty = CardGetContainerProperty;
  cd->pfnCardSetContainerProperty = CardSetContainerProperty;
  cd->pfnCardGetProperty = CardGetProperty;
  cd->pfnCardSetProperty = CardSetProperty;

  if (servedVersion >= CARD_DATA_VERSION_SEVEN) {
    cd->pfnMDImportSessionKey = MDImportSessionKey;
    cd->pfnMDEncryptData = MDEncryptData;
    cd->pfnCardImportSessionKey = CardImportSessionKey;
    cd->pfnCardGetSharedKeyHandle = CardGetSharedKeyHandle;
    cd->pfnCardGetAlgorithmProperty = CardGetAlgorithmProperty;
    cd->pfnCardGetKeyProperty = CardGetKeyProperty;
    cd->pfnCardSetKeyProperty = CardSetKeyProperty;
    cd->pfnCardDestroyKey = CardDestroyKey;
    cd->pfnCardProcessEncryptedData = CardProcessEncryptedData;
    cd->pfnCardCreateContainerEx = CardCreateContainerEx;
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
  if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (pCardData->pfnCspAlloc == nullptr) return SCARD_E_INVALID_PARAMETER;

  void* memory = pCardData->pfnCspAlloc(sizeof(CardContext));
  if (memory == nullptr) return SCARD_E_NO_MEMORY;
  CardContext* context = new (memory) CardContext{};
  pCardData->pvVendorSpecific = context;

  ReadSettings(context);
  TraceHook(pCardData);

  if (const DWORD rc = CheckHostRecord(pCardData, dwFlags); rc != 0) {
    ReleaseContext(pCardData);
    // Without a free callback the record cannot be returned; the host must
    // still not see it.
    pCardData->pvVendorSpecific = nullptr;
    return rc;
  }

  if (context->pinPadInUse) context->pinPadInUse = ReaderCanVerifyPin(pCardData);
  context->userAuthenticated = false;

  CardProfile profile;
  if (LoadCardProfile(pCardData, &profile) != 0) {
    ReleaseContext(pCardData);
    return SCARD_F_INTERNAL_ERROR;
  }
  context->profile = profile;

  WriteFunctionTable(pCardData, pCardData->dwVersion);
  if (pCardData->dwVersion > CARD_DATA_CURRENT_VERSION) pCardData->dwVersion = CARD_DATA_CURRENT_VERSION;
  return 0;
}
