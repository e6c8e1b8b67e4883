// The registry file parser (the Linux module's HKEY_LOCAL_MACHINE, an export
// of the registry editor that an administrator copies to the machine) on any
// bytes, followed by the lookups the settings make.
#include "reg_file_road.h"

#include <string>
#include <vector>

#include "platform/reg_file.h"

namespace vela::fuzz {

void DriveRegFileRoad(const std::uint8_t* data, std::size_t size) {
  const auto file = platform::RegFile::Parse({data, size});
  if (!file) return;
  static const char* const kKeys[] = {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\SOFTWARE",
                                      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO",
                                      "hkey_local_machine\\software\\norvantis\\cardminidriverro\\sub"};
  static const char* const kNames[] = {"LogPath", "LogLevel", "usePinPad", "LogAPDU", "CacheMode", "UserPCP", ""};
  // Every byte of every value is read, as the settings read them.
  volatile std::size_t seen = 0;
  for (const char* key : kKeys) {
    seen = seen + file->HasKey(key);
    for (const char* name : kNames) {
      if (const std::vector<std::uint8_t>* value = file->Value(key, name)) {
        for (std::uint8_t b : *value) seen = seen + b;
      }
    }
  }
}

}  // namespace vela::fuzz
