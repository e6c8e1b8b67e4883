// The card profile: PIN references, identifier, and the fixed table of key
// containers, built once at acquire and read-only afterwards.
#pragma once

#include <array>

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

// Entries 0 to 7 of every VELA generation-3 card; 8 to 15 are empty.
extern const std::array<ProfileEntry, 8> kProfileTable;

// Reads the serial number, probes the optional containers and fills `profile`.
// Returns 0, SCARD_F_INTERNAL_ERROR when the serial number cannot be read, or
// SCARD_E_INVALID_PARAMETER without a profile.
DWORD LoadCardProfile(const CARD_DATA* cardData, CardProfile* profile);

}  // namespace vela
