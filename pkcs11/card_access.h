// Slot::OnCard, which the files of each concern use for their card calls;
// the rest of the card access is in card_access.cpp.
#pragma once

#include "pkcs11/pin_status.h"
#include "pkcs11/slot.h"

namespace vela::pkcs11 {

template <class Call>
CK_RV Slot::OnCard(Call call, DWORD* result) {
  for (int attempt = 0;; ++attempt) {
    const CK_RV rv = Enter();
    if (rv != CKR_OK) return rv;
    *result = AcquireMinidriver();
    if (*result == 0) *result = call(token_->card());
    Leave();
    // Within the transaction nobody else reaches the card; a failure the
    // card's state explains came from a reset or a removal before it.
    if (*result == 0 || token_->link->State() == 0) return CKR_OK;
    const CK_RV again = CheckCard();
    if (again != CKR_OK || attempt > 0) return again;
  }
}

template <class Call>
CK_RV Slot::OnCardLoggedIn(Call call, DWORD* result) {
  CK_RV rv = OnCard(call, result);
  if (rv != CKR_OK || *result == 0 || token_->login != Login::kUser) return rv;
  const unsigned takeUps = token_->takeUps;
  rv = Enter();
  if (rv != CKR_OK) return rv;
  constexpr DWORD kLoginEnded = SCARD_W_SECURITY_VIOLATION;
  if (token_->login != Login::kUser) {
    // Ended meanwhile: a reset came, and the login could not be made again.
    *result = kLoginEnded;
  } else if (token_->takeUps != takeUps) {
    // A reset came, and the login was made again.
    *result = call(token_->card());
  } else if (const PinStatus status = ReadUserPinStatus(*token_->link); status.answered && !status.verified) {
    *result = LoginAgain(&status) ? call(token_->card()) : kLoginEnded;
  }
  Leave();
  return CKR_OK;
}

}  // namespace vela::pkcs11
