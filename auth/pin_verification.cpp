// PIN verification and the authenticated state of a context: the host's PIN
// or the reader's keypad, the session PIN, and deauthentication.
#include <cstring>

#include "auth/pin_pad.h"
#include "auth/pin_state.h"
#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/secure_wipe.h"
#include "platform/system.h"

namespace vela {

namespace {

constexpr DWORD kMinPinLength = 6;
constexpr DWORD kMaxPinLength = 48;
constexpr DWORD kAcceptedFlags =
    CARD_PIN_SILENT_CONTEXT | CARD_AUTHENTICATE_GENERATE_SESSION_PIN | CARD_AUTHENTICATE_SESSION_PIN;
constexpr PIN_SET kLargestPinSet = 0xFF;
constexpr PIN_SET kUserPinBit = 1u << ROLE_USER;
constexpr PIN_SET kAdminPinBit = 1u << ROLE_ADMIN;

// PC/SC part 10 reader codes: PIN entry timed out, was cancelled, or had a
// length the reader refused.
constexpr WORD kSwPadTimeout = 0x6400;
constexpr WORD kSwPadCancelled = 0x6401;
constexpr WORD kSwPadPinLength = 0x6403;

// A random source that keeps answering all zero is broken; give up then.
constexpr int kSessionPinDraws = 4;

// Turns the card's (or the reader's) answer to a VERIFY into the host's
// result, storing the attempts left where the answer tells them.
DWORD TranslateVerifyOutcome(DWORD outcome, PDWORD attemptsRemaining) {
  switch (outcome) {
    case kSwSuccess:
      return 0;
    case kSwPinBlocked:
    case kSwAuthenticationBlocked:
    case SCARD_W_CHV_BLOCKED:
      StoreAttempts(attemptsRemaining, 0);
      return SCARD_W_CHV_BLOCKED;
    case 0x63C1:
    case 0x63C2:
      StoreAttempts(attemptsRemaining, outcome & 0x0F);
      return SCARD_W_WRONG_CHV;
    case kSwPadTimeout:
    case kSwPadCancelled:
    case kSwPadPinLength:
    case kSwConditionsNotSatisfied:
    case SCARD_W_WRONG_CHV:
      StoreAttempts(attemptsRemaining, 3);
      return SCARD_W_WRONG_CHV;
    case 0:
      // Status word 00 00 is no answer to a VERIFY; passed on as it stands it
      // would read as success.
      return SCARD_F_INTERNAL_ERROR;
    default:
      return outcome;
  }
}

// Fills the context's session PIN from the system's random source. All zero
// means "none", so such a draw is repeated. False when no PIN could be made.
bool MakeSessionPin(CardContext& context) {
  BYTE candidate[kSessionPinLength];
  bool made = false;
  for (int draw = 0; draw < kSessionPinDraws && !made; ++draw) {
    if (!platform::RandomBytes(candidate, sizeof(candidate))) break;
    for (BYTE b : candidate) made = made || b != 0;
  }
  if (made) std::memcpy(context.sessionPin, candidate, sizeof(candidate));
  SecureWipe(candidate, sizeof(candidate));
  return made;
}

// Compares in constant time, so the answer's timing tells nothing about how
// many leading bytes were right.
bool SessionPinMatches(const CardContext& context, const BYTE* pin, DWORD length) {
  if (!SessionPinIssued(context) || pin == nullptr || length != kSessionPinLength) return false;
  BYTE difference = 0;
  for (std::size_t i = 0; i < kSessionPinLength; ++i) difference |= static_cast<BYTE>(pin[i] ^ context.sessionPin[i]);
  return difference == 0;
}

// The successful end of a generate request: the session PIN (made if none is
// issued) goes to the host in a buffer of its own.
DWORD HandOutSessionPin(const CARD_DATA* cardData, CardContext& context, PBYTE* sessionPin,
                        PDWORD sessionPinLength) {
  if (!SessionPinIssued(context) && !MakeSessionPin(context)) return SCARD_F_INTERNAL_ERROR;
  if (sessionPin == nullptr || sessionPinLength == nullptr) return SCARD_E_INVALID_PARAMETER;
  auto* buffer = static_cast<BYTE*>(HostAlloc(cardData, kSessionPinLength));
  if (buffer == nullptr) return SCARD_E_NO_MEMORY;
  std::memcpy(buffer, context.sessionPin, kSessionPinLength);
  *sessionPinLength = kSessionPinLength;
  *sessionPin = buffer;
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardAuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                                      PDWORD pcAttemptsRemaining) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  PIN_ID pinId;
  if (UserIdIs(pwszUserId, kUserId)) {
    pinId = ROLE_USER;
  } else if (UserIdIs(pwszUserId, kAdminId)) {
    pinId = ROLE_ADMIN;
  } else {
    return SCARD_E_INVALID_PARAMETER;
  }
  AcceptArguments();
  return CardAuthenticateEx(pCardData, pinId, 0, pbPin, cbPin, nullptr, nullptr, pcAttemptsRemaining);
}

DWORD VELA_WINAPI CardAuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData,
                                     DWORD cbPinData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin,
                                     PDWORD pcAttemptsRemaining) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  CardContext& context = *ContextOf(pCardData);
  if (PinId != ROLE_USER && PinId != ROLE_ADMIN) return SCARD_E_INVALID_PARAMETER;
  if (pbPinData != nullptr && (cbPinData < kMinPinLength || cbPinData > kMaxPinLength)) return SCARD_W_WRONG_CHV;
  if ((dwFlags & ~kAcceptedFlags) != 0) return SCARD_E_INVALID_PARAMETER;

  const bool generate = (dwFlags & CARD_AUTHENTICATE_GENERATE_SESSION_PIN) != 0;
  const bool presentSessionPin = (dwFlags & CARD_AUTHENTICATE_SESSION_PIN) != 0;
  if (generate || presentSessionPin) {
    if (PinId != ROLE_USER) return SCARD_E_UNSUPPORTED_FEATURE;
    if (generate && presentSessionPin) return SCARD_E_INVALID_PARAMETER;
    if (presentSessionPin) {
      if (!SessionPinMatches(context, pbPinData, cbPinData)) return SCARD_W_WRONG_CHV;
      context.userAuthenticated = true;
      return 0;
    }
  }

  // A verification that fails leaves the PIN unverified, whatever it was.
  bool& authenticated = PinId == ROLE_USER ? context.userAuthenticated : context.adminAuthenticated;
  authenticated = false;
  const BYTE pinRef = PinId == ROLE_USER ? context.profile.userPinRef : context.profile.adminPinRef;
  const DWORD outcome =
      context.pinPadInUse
          ? VerifyPinOnPadWithNotice(pCardData, context.parentWindow, pinRef, (dwFlags & CARD_PIN_SILENT_CONTEXT) != 0)
          : VerifyPin(pCardData, pinRef, pbPinData, cbPinData);
  if (const DWORD rc = TranslateVerifyOutcome(outcome, pcAttemptsRemaining); rc != 0) return rc;

  // A generate request leaves the host unauthenticated until it presents
  // the session PIN.
  if (generate) return HandOutSessionPin(pCardData, context, ppbSessionPin, pcbSessionPin);
  authenticated = true;
  if (PinId == ROLE_USER) DiscardSessionPin(context);
  return 0;
}

DWORD VELA_WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags) {
  TraceHook(pCardData);
  if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (pwszUserId == nullptr) return SCARD_E_INVALID_PARAMETER;
  CardContext& context = *ContextOf(pCardData);
  // Another id is accepted too, and changes nothing; only a known one was read whole.
  const bool user = UserIdIs(pwszUserId, kUserId), admin = !user && UserIdIs(pwszUserId, kAdminId);
  if (user || admin) AcceptArguments();
  if (user) context.userAuthenticated = false;
  if (admin) context.adminAuthenticated = false;
  return 0;
}

DWORD VELA_WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags) {
  TraceHook(pCardData);
  if (dwFlags != 0 || PinId == 0 || PinId > kLargestPinSet) return SCARD_E_INVALID_PARAMETER;
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  CardContext& context = *ContextOf(pCardData);
  if ((PinId & kUserPinBit) != 0) context.userAuthenticated = false;
  if ((PinId & kAdminPinBit) != 0) context.adminAuthenticated = false;
  return 0;
}

}  // namespace vela
