// Login, logout and the PINs. The minidriver forgets a login when told to;
// the card keeps a verified PIN until it is reset. So whatever verified a
// PIN here (a login, C_SetPIN, the SO's login) is followed by a reset of the
// card when the login ends, when the last session closes and at C_Finalize,
// and no other program finds the card ready to sign.
#include "core/minidriver_abi.h"
#include "pkcs11/card_access.h"

namespace vela::pkcs11 {
namespace {

constexpr DWORD kUnknownAttempts = 0xFFFFFFFF;
constexpr CK_FLAGS kUserPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
constexpr CK_FLAGS kSoPinFlags = CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;
constexpr PIN_SET kBothPins = 0x2 | 0x4;

bool PinLengthFits(std::span<const std::uint8_t> pin) {
  return pin.size() >= kMinPinBytes && pin.size() <= kMaxPinBytes;
}

// The minidriver takes PINs as writable buffers it does not write to.
BYTE* PinData(const LockedPin& pin) { return const_cast<BYTE*>(pin.bytes().data()); }
DWORD PinLength(const LockedPin& pin) { return static_cast<DWORD>(pin.bytes().size()); }

}  // namespace

void Slot::DropLogin() {
  Token& t = *token_;
  t.login = Login::kPublic;
  t.loginPin.Clear();
  // Private session objects belong to the login.
  DropSessionObjects(t.sessionObjects, [](const Object& object) { return object.isPrivate; });
}

CK_RV Slot::EndLogin() {
  if (!token_) return CKR_OK;
  if (token_->login != Login::kPublic) {
    DropLogin();
    DWORD ignored = 0;
    const CK_RV rv = OnCard([](CARD_DATA* cd) { return cd->pfnCardDeauthenticateEx(cd, kBothPins, 0); }, &ignored);
    if (rv == CKR_DEVICE_REMOVED) return rv;
  }
  ResetCard();
  return CKR_OK;
}

CK_RV Slot::PinOutcome(DWORD code, DWORD attempts, bool securityOfficer) {
  CK_FLAGS& flags = token_->pinFlags;
  const CK_FLAGS countLow = securityOfficer ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW;
  const CK_FLAGS finalTry = securityOfficer ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
  const CK_FLAGS locked = securityOfficer ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
  // A card whose counter starts above three reports 63Cx as it is.
  if ((code & 0xFFF0) == 0x63C0 && code <= 0xFFFF) {
    attempts = code & 0x0F;
    code = attempts == 0 ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV;
  }
  switch (code) {
    case 0:
      flags &= ~(securityOfficer ? kSoPinFlags : kUserPinFlags);
      return CKR_OK;
    case SCARD_W_WRONG_CHV:
      flags = (flags & ~finalTry) | countLow | (attempts == 1 ? finalTry : 0);
      return CKR_PIN_INCORRECT;
    case SCARD_W_CHV_BLOCKED:
      flags = (flags & ~finalTry) | countLow | locked;
      return CKR_PIN_LOCKED;
    default:
      return CardResult(code);
  }
}

CK_RV Slot::Login(Session& session, CK_USER_TYPE user, std::span<const std::uint8_t> pin, bool pinGiven) {
  Token& t = *token_;
  if (user != CKU_USER && user != CKU_SO && user != CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
  if (user == CKU_CONTEXT_SPECIFIC) {
    // No key asks for it; allowed as a fresh verification during an operation.
    if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (t.login != Login::kUser) return CKR_USER_NOT_LOGGED_IN;
  } else if (t.login == Login::kUser) {
    return user == CKU_USER ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  } else if (t.login == Login::kSecurityOfficer) {
    return user == CKU_SO ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  }
  if (user == CKU_SO) {
    for (const auto& [handle, other] : sessions_) {
      if (!other.readWrite) return CKR_SESSION_READ_ONLY_EXISTS;
    }
  }
  // On a keypad reader the reader collects the PIN; one given is not used.
  bool usePad = false;
  if (const CK_RV rv = PinPad(&usePad); rv != CKR_OK) return rv;
  LockedPin typed;
  if (!usePad) {
    if (!pinGiven) return CKR_ARGUMENTS_BAD;
    if (!PinLengthFits(pin)) return CKR_PIN_LEN_RANGE;
    if (!typed.Keep(pin)) return CKR_HOST_MEMORY;
  }
  const bool securityOfficer = user == CKU_SO;
  DWORD attempts = kUnknownAttempts;
  DWORD result = 0;
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        const DWORD rc = cd->pfnCardAuthenticateEx(cd, securityOfficer ? ROLE_ADMIN : ROLE_USER, 0,
                                                   usePad ? nullptr : PinData(typed), usePad ? 0 : PinLength(typed),
                                                   nullptr, nullptr, &attempts);
        // Read with the card still held: a change another program makes
        // after this login leaves a mark this one has not seen.
        if (rc == 0) token_->loginMark = ReadPinMark(token_->serial);
        return rc;
      },
      &result);
  if (rv != CKR_OK) return rv;
  const CK_RV outcome = PinOutcome(result, attempts, securityOfficer);
  if (outcome != CKR_OK) return outcome;
  token_->pinVerified = true;
  token_->login = securityOfficer ? Login::kSecurityOfficer : Login::kUser;
  // Kept for the length of the login: the user PIN to replay it after
  // another program's reset (unless the administrator said otherwise), the
  // unblocking code because C_InitPIN needs it again.
  if (securityOfficer || settings_.keepPin) token_->loginPin = std::move(typed);
  return CKR_OK;
}

CK_RV Slot::Logout() {
  if (token_->login == Login::kPublic) return CKR_USER_NOT_LOGGED_IN;
  return EndLogin();
}

CK_RV Slot::SetPin(Session& session, std::span<const std::uint8_t> oldPin, std::span<const std::uint8_t> newPin) {
  if (!session.readWrite) return CKR_SESSION_READ_ONLY;
  // The unblocking code cannot be changed on the card.
  if (token_->login == Login::kSecurityOfficer) return CKR_TOKEN_WRITE_PROTECTED;
  if (!PinLengthFits(oldPin) || !PinLengthFits(newPin)) return CKR_PIN_LEN_RANGE;
  LockedPin current;
  LockedPin next;
  if (!current.Keep(oldPin) || !next.Keep(newPin)) return CKR_HOST_MEMORY;
  DWORD attempts = kUnknownAttempts;
  DWORD result = 0;
  PinMark mark{};
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        char16_t user[] = u"user";
        const DWORD rc = cd->pfnCardChangeAuthenticator(cd, user, PinData(current), PinLength(current), PinData(next),
                                                        PinLength(next), 0, CARD_AUTHENTICATE_PIN_PIN, &attempts);
        // The change leaves the minidriver logged in; a token that was
        // not stays so.
        if (rc == 0 && token_->login != Login::kUser) cd->pfnCardDeauthenticate(cd, user, 0);
        // The other programs logged in with the old PIN must not present it.
        if (rc == 0) mark = WritePinMark(token_->serial);
        return rc;
      },
      &result);
  if (rv != CKR_OK) return rv;
  if (result != 0) {
    // A refused change also ends the minidriver's (and the card's) login.
    if (result != SCARD_F_INTERNAL_ERROR && token_->login == Login::kUser) DropLogin();
    return PinOutcome(result, attempts, false);
  }
  // The card holds the new PIN verified. A login goes on with it (and
  // replays the new one); without a login the card forgets it at once.
  token_->pinVerified = true;
  if (token_->login == Login::kUser) {
    if (settings_.keepPin) token_->loginPin = std::move(next);
    token_->loginMark = mark;
  } else {
    ResetCard();
  }
  return PinOutcome(0, attempts, false);
}

CK_RV Slot::InitPin(Session&, std::span<const std::uint8_t> pin) {
  if (token_->login != Login::kSecurityOfficer) return CKR_USER_NOT_LOGGED_IN;
  if (!PinLengthFits(pin)) return CKR_PIN_LEN_RANGE;
  // The code typed on a keypad is not known here, and unblocking needs it.
  if (token_->loginPin.empty()) return CKR_FUNCTION_NOT_SUPPORTED;
  LockedPin next;
  if (!next.Keep(pin)) return CKR_HOST_MEMORY;
  DWORD result = 0;
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        char16_t admin[] = u"admin";
        // Read at the call: a replay after a reset may have ended the login.
        const LockedPin& code = token_->loginPin;
        if (code.empty()) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
        const DWORD rc =
            cd->pfnCardUnblockPin(cd, admin, PinData(code), PinLength(code), PinData(next), PinLength(next), 0, 0);
        if (rc == 0) WritePinMark(token_->serial);
        return rc;
      },
      &result);
  if (rv != CKR_OK) return rv;
  if (result == 0) {
    token_->pinFlags &= ~kUserPinFlags;
    return CKR_OK;
  }
  return PinOutcome(result, kUnknownAttempts, true);
}

}  // namespace vela::pkcs11
