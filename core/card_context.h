// The per-card record kept in CARD_DATA.pvVendorSpecific: the card profile
// built at acquire (PIN references, identifier, the fixed table of key
// containers, read-only afterwards), the settings, the PIN state and the
// agreement table.
#pragma once

#include <type_traits>

#include "core/minidriver_abi.h"

namespace vela {

inline constexpr std::size_t kMaxContainers = 16;
inline constexpr WORD kProfileVersion = 1;
inline constexpr WORD kProfileMagic = 0x7315;
inline constexpr WORD kMasterFileId = 0x3F00;
inline constexpr std::size_t kSerialNumberLength = 10;

// containerStatus values
inline constexpr BYTE kContainerAbsent = 0;
inline constexpr BYTE kContainerPresent = 1;
inline constexpr BYTE kContainerDefault = 3;

// keyRole values
inline constexpr BYTE kRoleKeyExchange = 1;
inline constexpr BYTE kRoleSignature = 2;

struct ProfileEntry {
  BYTE entryClass;
  BYTE keyRef;
  BYTE entryAttribute;
  BYTE probeOnCard;
  BYTE keySpec;
  BYTE keyBytes;
  BYTE keyRole;
  BYTE ecdhContainer;
  WORD dfId;
  WORD certFileId;
  WORD publicKeyFileId;
};

struct CardProfile {
  WORD profileVersion;
  WORD profileMagic;
  BYTE reserved1;  // 1 after a build; consulted by nothing
  BYTE reserved2;
  BYTE userPinRef;
  BYTE adminPinRef;
  // Six 00 bytes, then the ten-byte serial number.
  BYTE cardIdentifier[16];
  BYTE cacheFileImage[6];
  BYTE containerStatus[kMaxContainers];
  ProfileEntry entries[kMaxContainers];

  const BYTE* serialNumber() const { return cardIdentifier + 6; }
  BYTE* serialNumber() { return cardIdentifier + 6; }
  bool present(std::size_t index) const { return index < kMaxContainers && (containerStatus[index] & 1) != 0; }
};


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

}  // namespace vela
