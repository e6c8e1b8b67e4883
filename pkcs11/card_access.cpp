// Every card call of a token goes through here. On a shared desktop other
// programs use the same card: one that resets it (a logout elsewhere does)
// makes the card forget every verified PIN, and pcscd tells each other
// connection so once. That is not a removal: the connection is taken up
// again, the minidriver context made anew on the same card, and a login
// the application typed its PIN for is made again with the PIN kept for it,
// so the application notices nothing. The card also forgets a verified PIN
// without a reset when another program presents a wrong one; a logged-in
// operation the card refuses is therefore followed by a question to the
// card, and the login made again the same way.
//
// A kept PIN is presented again only where it cannot block the card: the
// card's counter (asked first, at no cost) shows two tries or more, and no
// PIN change was marked for the card since the login (pin_mark.h). Where it
// is not, or fails, or was typed on a keypad, or is the unblocking code
// (never presented again), the login ends and the application may log in
// again. A card that has gone, or another card, ends the token.

#include "core/minidriver_abi.h"
#include "pkcs11/card_access.h"
#include "pkcs11/pin_status.h"

namespace vela::pkcs11 {
namespace {

// A kept PIN is presented again only while the card has this many tries
// left: a stale one then never leaves the card with fewer than one.
constexpr int kReplayTries = 2;

}  // namespace

CK_RV Slot::Enter() {
  // Each reset is a program logging out elsewhere, and each is taken up at
  // once; a run of them is waited out for kResetsWaitedOut.
  const auto end = std::chrono::steady_clock::now() + kResetsWaitedOut;
  for (bool first = true; first || std::chrono::steady_clock::now() < end; first = false) {
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

DWORD Slot::AcquireMinidriver() {
  host::CardHost& host = *token_->host;
  // A failed acquire leaves no context; the next call tries again.
  return host.acquired() ? 0 : host.Acquire();
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
  ++t.takeUps;
  LoginAgain();
  return CKR_OK;
}

bool Slot::LoginAgain(const PinStatus* known) {
  Token& t = *token_;
  t.pinVerified = false;
  if (t.login == Login::kPublic) return false;
  if (t.login == Login::kSecurityOfficer || !settings_.keepPin || t.loginPin.empty()) {
    DropLogin();
    return false;
  }
  const PinStatus status = known != nullptr ? *known : ReadUserPinStatus(*t.link);
  const bool safe = status.answered && (status.verified || status.tries >= kReplayTries);
  if (!safe || ReadPinMark(t.serial) != t.loginMark) {
    DropLogin();
    return false;
  }
  const std::span<const std::uint8_t> pin = t.loginPin.bytes();
  DWORD attempts = 0;
  CARD_DATA* cd = t.card();
  const DWORD rc = cd->pfnCardAuthenticateEx(cd, ROLE_USER, 0, const_cast<BYTE*>(pin.data()),
                                             static_cast<DWORD>(pin.size()), nullptr, nullptr, &attempts);
  if (rc == 0) {
    t.pinVerified = true;
    return true;
  }
  // Changed behind the module's back: the other programs of the user learn
  // it from the mark and do not try their own copy, so the card loses one
  // try in all.
  if (PinOutcome(rc, attempts, false) == CKR_PIN_INCORRECT) WritePinMark(t.serial);
  DropLogin();
  return false;
}

void Slot::ResetCard() {
  if (!token_) return;
  // A PIN verified by nobody here that still holds a login (a program
  // killed while logged in, which pcscd does not reset while others hold
  // the card) goes too.
  bool reset = token_->pinVerified;
  if (!reset && Enter() == CKR_OK) {
    reset = ReadUserPinStatus(*token_->link).verified;
    Leave();
  }
  if (!token_) return;
  if (reset && token_->link->Reset() == 0) token_->pinVerified = false;
  token_->useEnded = sessions_.empty();
}

}  // namespace vela::pkcs11
