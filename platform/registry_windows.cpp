// The Windows registry, through the narrow ("A") calls.
#include <windows.h>

#include "platform/registry.h"

namespace vela::platform {

namespace {

HKEY ToKey(RegistryHandle handle) { return reinterpret_cast<HKEY>(handle); }

}  // namespace

std::uint32_t RegistryConnectLocalMachine(RegistryHandle* machine) {
  HKEY key = nullptr;
  const LONG rc = RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &key);
  if (rc != ERROR_SUCCESS) return static_cast<std::uint32_t>(rc);
  *machine = reinterpret_cast<RegistryHandle>(key);
  return kRegistrySuccess;
}

// The 64-bit view on 64-bit Windows, so the x86 module in a 32-bit process
// reads the same settings key as the x64 module, not its WOW6432Node twin;
// 32-bit Windows ignores the flag.
std::uint32_t RegistryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* key) {
  HKEY opened = nullptr;
  const LONG rc = RegOpenKeyExA(ToKey(parent), subKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
  if (rc != ERROR_SUCCESS) return static_cast<std::uint32_t>(rc);
  *key = reinterpret_cast<RegistryHandle>(opened);
  return kRegistrySuccess;
}

std::uint32_t RegistryQueryValue(RegistryHandle key, const char* name, std::uint8_t* data, std::uint32_t* size) {
  DWORD length = *size;
  const LONG rc = RegQueryValueExA(ToKey(key), name, nullptr, nullptr, data, &length);
  *size = static_cast<std::uint32_t>(length);
  return static_cast<std::uint32_t>(rc);
}

void RegistryCloseKey(RegistryHandle key) { (void)RegCloseKey(ToKey(key)); }

}  // namespace vela::platform
