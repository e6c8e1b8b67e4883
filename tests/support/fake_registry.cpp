#include "fake_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/registry.h"

namespace vela::test {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::map<std::string, std::vector<std::uint8_t>>> keys;  // upper-case
  std::map<platform::RegistryHandle, std::string> handles;                       // open handle -> key path
  platform::RegistryHandle nextHandle = 0x500;
  bool failConnect = false;
};

Registry& registry() {
  static Registry r;
  return r;
}

constexpr const char* kMachine = "HKLM";

}  // namespace

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  SetRegistryBytes(key, name, std::move(bytes));
}

void SetRegistryBytes(const std::string& key, const std::string& name, std::vector<std::uint8_t> bytes) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.keys[Upper(std::string(kMachine) + "\\" + key)][Upper(name)] = std::move(bytes);
}

void ClearRegistry() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.keys.clear();
  r.failConnect = false;
}

void FailRegistryConnect(bool fail) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.failConnect = fail;
}

std::size_t OpenRegistryHandles() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.handles.size();
}

}  // namespace vela::test

namespace vela::platform {

using test::registry;

std::uint32_t RegistryConnectLocalMachine(RegistryHandle* machine) {
  test::Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.failConnect) return 53;  // the network path was not found
  *machine = r.nextHandle++;
  r.handles[*machine] = test::kMachine;
  return kRegistrySuccess;
}

std::uint32_t RegistryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* key) {
  test::Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const auto from = r.handles.find(parent);
  if (from == r.handles.end()) return 6;  // invalid handle
  const std::string path = test::Upper(from->second + "\\" + subKey);
  if (r.keys.find(path) == r.keys.end()) return kRegistryNotFound;
  *key = r.nextHandle++;
  r.handles[*key] = path;
  return kRegistrySuccess;
}

std::uint32_t RegistryQueryValue(RegistryHandle key, const char* name, std::uint8_t* data, std::uint32_t* size) {
  test::Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const auto from = r.handles.find(key);
  if (from == r.handles.end()) return 6;
  const auto values = r.keys.find(from->second);
  if (values == r.keys.end()) return kRegistryNotFound;
  const auto value = values->second.find(test::Upper(name));
  if (value == values->second.end()) return kRegistryNotFound;
  const std::uint32_t room = *size;
  *size = static_cast<std::uint32_t>(value->second.size());
  if (data == nullptr) return kRegistrySuccess;
  if (value->second.size() > room) return kRegistryMoreData;
  if (!value->second.empty()) std::memcpy(data, value->second.data(), value->second.size());
  return kRegistrySuccess;
}

void RegistryCloseKey(RegistryHandle key) {
  test::Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.handles.erase(key) == 0) ADD_FAILURE() << "registry handle closed twice or never opened";
}

}  // namespace vela::platform
