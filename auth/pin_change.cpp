// Changing the user PIN, and unblocking it with the administrator PIN (the
// unblocking code). Both always address the user PIN; the PINs come from the
// host even in PIN-pad mode.
#include "auth/pin_state.h"
#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/entry_points.h"
#include "core/log.h"

namespace vela {

namespace {

// Both values travel in the data field of one short APDU.
constexpr DWORD kMaxCombinedPinLength = 251;

// Answers to CHANGE REFERENCE DATA after which the card holds the new PIN.
bool ChangeWasDone(DWORD outcome) { return outcome == kSwSuccess || outcome == 0x6282 || outcome == 0x6381; }

// The result of a change the card refused (or that never reached it).
DWORD TranslateRefusedChange(DWORD outcome, PDWORD attemptsRemaining) {
  if (outcome == kSwPinBlocked || outcome == kSwAuthenticationBlocked) {
    StoreAttempts(attemptsRemaining, 0);
    return SCARD_W_CHV_BLOCKED;
  }
  if (outcome > kSwPinBlocked && outcome <= 0x63CF) {
    StoreAttempts(attemptsRemaining, outcome & 0x0F);
    return SCARD_W_WRONG_CHV;
  }
  if (outcome == kSwConditionsNotSatisfied) {
    StoreAttempts(attemptsRemaining, 3);
    return SCARD_W_WRONG_CHV;
  }
  // 00 00 is no answer; passed on as it stands it would read as success.
  return outcome == 0 ? SCARD_F_INTERNAL_ERROR : outcome;
}

}  // namespace

DWORD VELA_WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                          DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                          DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                          PDWORD pcAttemptsRemaining) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (pwszUserId == nullptr || pbCurrentAuthenticator == nullptr || cbCurrentAuthenticator == 0 ||
      pbNewAuthenticator == nullptr || cbNewAuthenticator == 0 || cRetryCount != 0) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (!UserIdIs(pwszUserId, kUserId)) return SCARD_E_INVALID_PARAMETER;
  AcceptArguments();
  if (dwFlags != CARD_AUTHENTICATE_PIN_PIN) return SCARD_E_INVALID_PARAMETER;
  // Refused here, before the state changes, rather than by the command.
  if (cbCurrentAuthenticator > kMaxCombinedPinLength ||
      cbNewAuthenticator > kMaxCombinedPinLength - cbCurrentAuthenticator) {
    return SCARD_E_INVALID_PARAMETER;
  }

  CardContext& context = *ContextOf(pCardData);
  const BYTE pinRef = context.profile.userPinRef;
  const DWORD outcome = ChangeReferenceData(pCardData, pinRef, pbCurrentAuthenticator, cbCurrentAuthenticator,
                                            pbNewAuthenticator, cbNewAuthenticator);
  if (!ChangeWasDone(outcome)) {
    context.userAuthenticated = false;
    return TranslateRefusedChange(outcome, pcAttemptsRemaining);
  }
  // The card holds the new PIN; verifying it leaves the host signed in with
  // it. A refusal now means the card and the module disagree.
  if (VerifyPin(pCardData, pinRef, pbNewAuthenticator, cbNewAuthenticator) != kSwSuccess) {
    return SCARD_F_INTERNAL_ERROR;
  }
  context.userAuthenticated = true;
  DiscardSessionPin(context);
  return 0;
}

DWORD VELA_WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                            PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                            PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                            DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
  TraceHook(pCardData);
  if (dwFlags != PIN_CHANGE_FLAG_UNBLOCK && dwFlags != PIN_CHANGE_FLAG_CHANGEPIN) return SCARD_E_INVALID_PARAMETER;
  if (pbAuthenticatingPinData == nullptr || pbTargetData == nullptr) return SCARD_E_INVALID_PARAMETER;

  if (dwFlags == PIN_CHANGE_FLAG_CHANGEPIN) {
    if (dwAuthenticatingPinId != dwTargetPinId) return SCARD_E_INVALID_PARAMETER;
    WCHAR user[] = u"user";
    WCHAR admin[] = u"admin";
    LPWSTR userId = nullptr;
    if (dwTargetPinId == ROLE_USER) userId = user;
    if (dwTargetPinId == ROLE_ADMIN) userId = admin;  // refused by the change itself
    if (userId == nullptr) return SCARD_E_INVALID_PARAMETER;
    return CardChangeAuthenticator(pCardData, userId, pbAuthenticatingPinData, cbAuthenticatingPinData,
                                   pbTargetData, cbTargetData, cRetryCount, CARD_AUTHENTICATE_PIN_PIN,
                                   pcAttemptsRemaining);
  }

  if (dwAuthenticatingPinId != ROLE_ADMIN || dwTargetPinId != ROLE_USER) return SCARD_E_INVALID_PARAMETER;
  WCHAR admin[] = u"admin";
  return CardUnblockPin(pCardData, admin, pbAuthenticatingPinData, cbAuthenticatingPinData, pbTargetData,
                        cbTargetData, cRetryCount, 0);
}

DWORD VELA_WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                                 DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                                 DWORD cRetryCount, DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (cRetryCount != 0) return SCARD_E_INVALID_PARAMETER;
  // Either id unblocks the user PIN: the administrator PIN is only its key.
  if (!UserIdIs(pwszUserId, kUserId) && !UserIdIs(pwszUserId, kAdminId)) return SCARD_E_INVALID_PARAMETER;
  AcceptArguments();
  if (dwFlags == CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE) return SCARD_E_UNSUPPORTED_FEATURE;

  CardContext& context = *ContextOf(pCardData);
  const DWORD outcome = ResetRetryCounter(pCardData, context.profile.userPinRef, pbAuthenticationData,
                                          cbAuthenticationData, pbNewPinData, cbNewPinData);
  // The new PIN has to be verified before the user counts as signed in.
  context.userAuthenticated = false;
  if (outcome == kSwSuccess) return 0;
  if (outcome == kSwPinBlocked || outcome == kSwAuthenticationBlocked) return SCARD_W_CHV_BLOCKED;
  return SCARD_W_WRONG_CHV;
}

}  // namespace vela
