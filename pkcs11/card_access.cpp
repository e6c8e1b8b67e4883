// Every card call of a token goes through here. On a shared desktop other
// programs use the same card: one that resets it (a logout elsewhere does)
// makes the card forget every verified PIN, and pcscd tells each other
// connection so once. That is not a removal: the connection is taken up
// again, the minidriver context made anew on the same card, and a login
// the application typed its PIN for is made again with the PIN kept for it,
// so the application notices nothing. A keypad login cannot be replayed: it
// ends, and the application may log in again. A card that has gone, or
// another card, ends the token.

#include "core/minidriver_abi.h"
#include "pkcs11/card_access.h"

namespace vela::pkcs11 {
namespace {

// Resets by other programs in a row that one call waits out before it
// gives up: each is a program logging out, and each is taken up at once.
constexpr int kTakeUpRounds = 4;

}  // namespace

CK_RV Slot::Enter() {
  for (int round = 0; round < kTakeUpRounds; ++round) {
    if (!token_) return CKR_DEVICE_REMOVED;
    CardLink& link = *token_->link;
    const std::uint32_t rc = link.BeginTransaction();
    if (rc == 0) {
      if (!token_->stale) return CKR_OK;
      const CK_RV rv = TakeUpAgain();
      if (rv == CKR_OK) return CKR_OK;
      Leave();
      if (rv == CKR_DEVICE_REMOVED) DropToken(false);
      return rv;
    }
    if (rc == SCARD_W_RESET_CARD) {
      // A reset that comes while the connection is taken up is one more round.
      const std::uint32_t again = link.Reconnect();
      if (again == 0 || again == SCARD_W_RESET_CARD) {
        token_->stale = true;
        continue;
      }
    }
    // Refused for another reason while the card is still there: no token is lost.
    if (rc != SCARD_W_RESET_CARD && link.State() == 0) return CKR_DEVICE_ERROR;
    DropToken(false);
    return CKR_DEVICE_REMOVED;
  }
  return CKR_DEVICE_ERROR;
}

void Slot::Leave() {
  if (token_) token_->link->EndTransaction();
}

CK_RV Slot::CheckCard() {
  if (!token_) return CKR_DEVICE_REMOVED;
  if (!token_->stale && token_->link->State() == 0) return CKR_OK;
  const CK_RV rv = Enter();
  if (rv == CKR_OK) Leave();
  return rv;
}

CK_RV Slot::TakeUpAgain() {
  Token& t = *token_;
  // The same card, or a new token: its ATR, then its serial number through
  // a new minidriver context (the old one holds a login the card forgot).
  if (t.link->atr() != t.atr) return CKR_DEVICE_REMOVED;
  t.RenewHost();
  std::array<std::uint8_t, 10> serial{};
  DWORD rc = t.host->Acquire();
  if (rc == 0) rc = ReadSerial(t.card(), &serial);
  if (rc != 0 || serial != t.serial) return CKR_DEVICE_REMOVED;
  t.stale = false;
  t.pinVerified = false;
  if (t.login == Login::kPublic) return CKR_OK;
  if (!settings_.keepPin || t.loginPin.empty()) {
    DropLogin();
    return CKR_OK;
  }
  const bool securityOfficer = t.login == Login::kSecurityOfficer;
  const std::span<const std::uint8_t> pin = t.loginPin.bytes();
  DWORD attempts = 0;
  CARD_DATA* cd = t.card();
  rc = cd->pfnCardAuthenticateEx(cd, securityOfficer ? ROLE_ADMIN : ROLE_USER, 0, const_cast<BYTE*>(pin.data()),
                                 static_cast<DWORD>(pin.size()), nullptr, nullptr, &attempts);
  if (rc == 0) {
    t.pinVerified = true;
    return CKR_OK;
  }
  // Changed by another program meanwhile: the login ends here and the PIN
  // kept is not tried again, so a replay costs the card one try at most.
  PinOutcome(rc, attempts, securityOfficer);
  DropLogin();
  return CKR_OK;
}

void Slot::ResetCard() {
  if (token_ && token_->pinVerified && token_->link->Reset() == 0) token_->pinVerified = false;
}

}  // namespace vela::pkcs11
