#include "card/card_profile.h"

#include <cstring>

#include "card/card_commands.h"

namespace vela {

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
