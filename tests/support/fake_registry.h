// The unit tests' registry: HKEY_LOCAL_MACHINE in memory, empty unless a test
// fills it. Keys and value names are matched without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::test {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Norvantis\\CardMiniDriverRO";

// A string value as the registry stores it: the characters and a zero.
void SetRegistryString(const std::string& key, const std::string& name, const std::string& text);
// Any other value: exactly these bytes.
void SetRegistryBytes(const std::string& key, const std::string& name, std::vector<std::uint8_t> bytes);
void ClearRegistry();
// RegistryConnectLocalMachine fails while set.
void FailRegistryConnect(bool fail);
// Handles opened and not yet closed.
std::size_t OpenRegistryHandles();

// Empties the registry for one test and again when it ends.
class RegistryScope {
 public:
  RegistryScope() { ClearRegistry(); }
  ~RegistryScope() { ClearRegistry(); }
  RegistryScope(const RegistryScope&) = delete;
  RegistryScope& operator=(const RegistryScope&) = delete;
};

}  // namespace vela::test
