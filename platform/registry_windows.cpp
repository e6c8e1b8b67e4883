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

std::uint32_t RegistryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* key) {
  HKEY opened = nullptr;
  const LONG rc = RegOpenKeyExA(ToKey(parent), subKey, 0, KEY_READ, &opened);
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
