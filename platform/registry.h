// The four registry calls the settings use, with the meaning of their
// Windows counterparts (RegConnectRegistryA, RegOpenKeyExA with KEY_READ in the
// 64-bit view, RegQueryValueExA, RegCloseKey). Results are Windows error
// codes: 0 success, 2 not found, 234 more data.
#pragma once

#include <cstdint>

namespace vela::platform {

using RegistryHandle = std::uintptr_t;

inline constexpr std::uint32_t kRegistrySuccess = 0;
inline constexpr std::uint32_t kRegistryNotFound = 2;
inline constexpr std::uint32_t kRegistryMoreData = 234;

// HKEY_LOCAL_MACHINE of the local machine.
std::uint32_t RegistryConnectLocalMachine(RegistryHandle* machine);
std::uint32_t RegistryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* key);
// `*size` is the room in `data` on entry and the value's size on return; a
// value larger than the room gives kRegistryMoreData. The type is not
// reported: every value comes back as its raw bytes.
std::uint32_t RegistryQueryValue(RegistryHandle key, const char* name, std::uint8_t* data, std::uint32_t* size);
void RegistryCloseKey(RegistryHandle key);

}  // namespace vela::platform
