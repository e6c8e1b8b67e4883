// The per-card record kept in CARD_DATA.pvVendorSpecific, and the gate every
// working entry passes first.
#pragma once

#include <type_traits>

#include "card/card_profile.h"
#include "core/minidriver_abi.h"

namespace vela {

inline constexpr std::size_t kAgreementSlots = 10;
inline constexpr std::size_t kSessionPinLength = 8;
inline constexpr std::size_t kPinContextStringUnits = 129;

struct AgreementSlot {
  DWORD inUse;         // 0 free, 1 holds a secret
  DWORD secretLength;  // 0 to 32
  BYTE secretBytes[128];
};

struct CardContext {
  CardProfile profile;
  bool pinPadInUse;
  bool settingsLoaded;
  bool logApdu;
  std::int32_t logLevel;
  std::int32_t cacheMode;
  DWORD userPinCachePolicy;
  bool userAuthenticated;
  bool adminAuthenticated;
  HWND parentWindow;
  BYTE sessionPin[kSessionPinLength];  // all zero: none
  WCHAR pinContextString[kPinContextStringUnits];
  AgreementSlot agreements[kAgreementSlots];
};
static_assert(std::is_trivially_copyable_v<CardContext> && std::is_standard_layout_v<CardContext>);
static_assert(offsetof(CardContext, profile) == 0, "the profile heads the record");

// The record of a CARD_DATA, or null.
inline CardContext* ContextOf(const CARD_DATA* cardData) {
  return cardData == nullptr ? nullptr : static_cast<CardContext*>(cardData->pvVendorSpecific);
}

// Validates the record and reselects the card application. Returns 0 or
// SCARD_E_INVALID_PARAMETER, whatever was wrong.
DWORD CheckContext(const CARD_DATA* cardData);

// Called first by nearly every entry; it has no effect.
void TraceHook(const CARD_DATA* cardData);

}  // namespace vela
