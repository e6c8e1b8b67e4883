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
    *result = call(token_->card());
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
  const unsigned takeUps = token_->takeUps;
  CK_RV rv = OnCard(call, result);
  if (rv != CKR_OK || *result == 0 || token_->login != Login::kUser) return rv;
  rv = Enter();
  if (rv != CKR_OK) return rv;
  // Made again already when a reset came between the refusal and now.
  const bool again = token_->takeUps != takeUps && token_->pinVerified;
  if (again || (token_->login == Login::kUser && !ReadUserPinStatus(*token_->link).verified)) {
    *result = again || LoginAgain() ? call(token_->card()) : static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  }
  Leave();
  return CKR_OK;
}

}  // namespace vela::pkcs11
