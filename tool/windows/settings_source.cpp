#include <windows.h>

#include <string>
#include <vector>

#include "tool/settings_source.h"

namespace vela::tool {

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Norvantis\\CardMiniDriverRO";
constexpr const char* kSettingNames[] = {"LogPath", "LogLevel", "usePinPad", "LogAPDU", "CacheMode", "UserPCP"};
// The module fetches at most this much of a value (a longer one counts as missing).
constexpr DWORD kMaxValueBytes = 80;

}  // namespace

host::Value ConfiguredSettings() {
  using host::Value;
  Value s = Value::Object();
  const std::string shown = std::string("HKLM\\") + kSettingsKey + " (64-bit view)";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    s.Set("registryKey", shown + ": missing: defaults apply");
    return s;
  }
  s.Set("registryKey", shown + ": present");
  Value& configured = s.Set("configured", Value::Object());
  for (const char* name : kSettingNames) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      configured.Set(name, Value());
      continue;
    }
    std::vector<BYTE> data(size + 1, 0);
    RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    if (size > kMaxValueBytes) {
      configured.Set(name, "over " + std::to_string(kMaxValueBytes) + " bytes: ignored");
    } else if (type == REG_SZ) {
      configured.Set(name, std::string(reinterpret_cast<const char*>(data.data())));
    } else {
      configured.Set(name, "not a string (type " + std::to_string(type) + "): ignored");
    }
  }
  RegCloseKey(key);
  return s;
}

}  // namespace vela::tool
