#include "card/card_profile.h"

#include <cstring>

#include "card/card_commands.h"

namespace vela {

const std::array<ProfileEntry, 8> kProfileTable = {{
    {0x03, 0x80, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0xC000, 0x4531},
    {0x03, 0x80, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0x4331, 0x4531},
    {0x03, 0x82, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0xC500, 0x4571},
    {0x03, 0x82, 0x1F, 0, AT_ECDSA_P256, 32, kRoleSignature, 4, 0xDF02, 0x4371, 0x4571},
    {0x03, 0x81, 0x1F, 0, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0xC200, 0x45B1},
    {0x03, 0x81, 0x1F, 0, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0x43B1, 0x45B1},
    {0x03, 0x85, 0x1F, 1, AT_ECDHE_P256, 32, kRoleKeyExchange, 0, 0xDF02, 0xC201, 0x45B2},
    {0x81, 0x84, 0x1F, 1, AT_ECDSA_P256, 32, kRoleSignature, 0, 0xDF01, 0xC001, 0x45B2},
}};

namespace {

bool ProbeEntry(const CARD_DATA* cardData, const ProfileEntry& entry) {
  const DWORD selected = entry.dfId == kMasterFileId ? SelectInCurrentDf(cardData, entry.publicKeyFileId)
                                                     : SelectByPath(cardData, entry.publicKeyFileId, entry.dfId);
  return selected == 0 && ProbeKeyFile(cardData) == 0;
}

}  // namespace

DWORD LoadCardProfile(const CARD_DATA* cardData, CardProfile* profile) {
  if (profile == nullptr) return SCARD_E_INVALID_PARAMETER;
  std::memset(profile, 0, sizeof(*profile));
  profile->profileVersion = kProfileVersion;
  profile->profileMagic = kProfileMagic;
  profile->reserved1 = 1;
  profile->userPinRef = 0x03;
  profile->adminPinRef = 0x04;

  BYTE serial[kSerialNumberLength] = {};
  DWORD serialLength = sizeof(serial);
  if (ReadSerialNumber(cardData, serial, &serialLength) != 0) return SCARD_F_INTERNAL_ERROR;
  std::memcpy(profile->serialNumber(), serial, serialLength <= kSerialNumberLength ? serialLength : 0);

  for (std::size_t i = 0; i < kProfileTable.size(); ++i) profile->entries[i] = kProfileTable[i];

  bool defaultChosen = false;
  for (std::size_t i = 0; i < kMaxContainers; ++i) {
    const ProfileEntry& entry = profile->entries[i];
    if (entry.dfId == 0 || entry.certFileId == 0) continue;
    if (entry.probeOnCard != 0 && !ProbeEntry(cardData, entry)) continue;
    profile->containerStatus[i] = kContainerPresent;
    if (i == 0 && !defaultChosen) {
      profile->containerStatus[i] = kContainerDefault;
      defaultChosen = true;
    }
  }
  return 0;
}

}  // namespace vela
