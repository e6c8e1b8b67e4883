// The registry file parser (the Linux module's HKEY_LOCAL_MACHINE, an export
// of the registry editor that an administrator copies to the machine) on any
// bytes, followed by the lookups the settings make.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto file = vela::platform::RegFile::Parse({data, size});
  if (!file) return 0;
  static const char* const kKeys[] = {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\SOFTWARE",
                                      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO",
                                      "hkey_local_machine\\software\\norvantis\\cardminidriverro\\sub"};
  static const char* const kNames[] = {"LogPath", "LogLevel", "usePinPad", "LogAPDU", "CacheMode", "UserPCP", ""};
  std::size_t seen = 0;
  for (const char* key : kKeys) {
    seen += file->HasKey(key);
    for (const char* name : kNames) {
      // A value is read as the settings read it: its bytes, all of them.
      if (const std::vector<std::uint8_t>* value = file->Value(key, name)) {
        for (std::uint8_t b : *value) seen += b;
      }
    }
  }
  return seen == static_cast<std::size_t>(-1) ? 1 : 0;
}
