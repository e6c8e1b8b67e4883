#include "tool/settings_file.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/reg_file.h"

namespace vela::host {

namespace {

constexpr const char* kSettingsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO";
constexpr const char* kSettingNames[] = {"LogPath", "LogLevel", "usePinPad", "LogAPDU", "CacheMode", "UserPCP"};

// A registry value as the module reads it: a string up to its first zero, or
// the raw bytes of any other value.
Value RegistryText(const std::vector<std::uint8_t>& bytes) {
  const auto zero = std::find(bytes.begin(), bytes.end(), 0);
  if (zero != bytes.end() && zero + 1 == bytes.end()) return std::string(bytes.begin(), zero);
  return "bytes " + HexBytes(bytes.data(), bytes.size());
}

const char* Found(platform::RegFileStatus status) {
  switch (status) {
    case platform::RegFileStatus::kRead: return "missing: defaults apply";
    case platform::RegFileStatus::kAbsent: return "no registry file: defaults apply";
    case platform::RegFileStatus::kUnreadable: return "registry file unreadable: defaults apply";
    case platform::RegFileStatus::kNotRegular: return "registry file is not a regular file, ignored: defaults apply";
    case platform::RegFileStatus::kTooLarge: return "registry file over 1 MiB, ignored: defaults apply";
    case platform::RegFileStatus::kNotAnExport: return "registry file is no registry export: defaults apply";
  }
  return "defaults apply";
}

}  // namespace

Value RegistryFileSettings(const char* path) {
  Value s = Value::Object();
  s.Set("registryFile", path);
  const platform::LoadedRegFile loaded = platform::ReadRegFile(path);
  if (!loaded.file || !loaded.file->HasKey(kSettingsKey)) {
    s.Set("registryKey", Found(loaded.status));
    return s;
  }
  s.Set("registryKey", "present");
  Value& configured = s.Set("configured", Value::Object());
  for (const char* name : kSettingNames) {
    const std::vector<std::uint8_t>* value = loaded.file->Value(kSettingsKey, name);
    configured.Set(name, value == nullptr ? Value() : RegistryText(*value));
  }
  return s;
}

}  // namespace vela::host
