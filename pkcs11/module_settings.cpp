#include "pkcs11/module_settings.h"

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace vela::pkcs11 {
namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Norvantis\\CardMiniDriverRO";

// The value as text, or empty when it is missing or longer than any switch.
std::string ReadText(platform::RegistryHandle key, const char* name) {
  char text[16] = {};
  std::uint32_t size = sizeof(text) - 1;
  if (platform::RegistryQueryValue(key, name, reinterpret_cast<std::uint8_t*>(text), &size) !=
          platform::kRegistrySuccess ||
      size >= sizeof(text)) {
    return {};
  }
  std::string value(text, size);
  while (!value.empty() && value.back() == '\0') value.pop_back();
  for (char& c : value) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return value;
}

// A switch that is on unless set to "FALSE" (in any case).
bool SwitchOn(platform::RegistryHandle key, const char* name) { return ReadText(key, name) != "FALSE"; }

}  // namespace

ModuleSettings ReadModuleSettings() {
  ModuleSettings settings;
  platform::RegistryHandle machine = 0;
  if (platform::RegistryConnectLocalMachine(&machine) != platform::kRegistrySuccess) return settings;
  platform::RegistryHandle key = 0;
  if (platform::RegistryOpenKey(machine, kSettingsKey, &key) == platform::kRegistrySuccess) {
    settings.keepPin = SwitchOn(key, "Pkcs11KeepPin");
    settings.objectCache = SwitchOn(key, "Pkcs11Cache");
    platform::RegistryCloseKey(key);
  }
  platform::RegistryCloseKey(machine);
  return settings;
}

}  // namespace vela::pkcs11
