// The Linux registry: HKEY_LOCAL_MACHINE is an export of the Windows registry
// editor at a fixed path, read afresh at every connect so that a changed file
// takes effect at the next acquire, as registry changes do on Windows.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/reg_file.h"
#include "platform/registry.h"

namespace vela::platform {

namespace {

constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::uint32_t kOutOfMemory = 14;

// What a handle points to: the registry as read at connect and a key path.
struct OpenKey {
  std::shared_ptr<const RegFile> file;  // null: no readable registry file
  std::string path;
};

std::shared_ptr<const RegFile> LoadRegistryFile() {
  LoadedRegFile loaded = ReadRegFile(kLinuxRegistryFile);
  if (!loaded.file) return nullptr;
  return std::make_shared<const RegFile>(std::move(*loaded.file));
}

OpenKey* FromHandle(RegistryHandle handle) { return reinterpret_cast<OpenKey*>(handle); }

}  // namespace

std::uint32_t RegistryConnectLocalMachine(RegistryHandle* machine) {
  try {
    *machine = reinterpret_cast<RegistryHandle>(new OpenKey{LoadRegistryFile(), kLocalMachine});
    return kRegistrySuccess;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

std::uint32_t RegistryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* key) {
  const OpenKey* from = FromHandle(parent);
  if (from == nullptr || subKey == nullptr) return kRegistryNotFound;
  try {
    std::string path = from->path;
    if (*subKey != '\0') path += std::string("\\") + subKey;
    if (from->file == nullptr || !from->file->HasKey(path)) return kRegistryNotFound;
    *key = reinterpret_cast<RegistryHandle>(new OpenKey{from->file, std::move(path)});
    return kRegistrySuccess;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

std::uint32_t RegistryQueryValue(RegistryHandle key, const char* name, std::uint8_t* data, std::uint32_t* size) {
  const OpenKey* from = FromHandle(key);
  if (from == nullptr || from->file == nullptr || size == nullptr) return kRegistryNotFound;
  try {
    const std::vector<std::uint8_t>* value = from->file->Value(from->path, name == nullptr ? "" : name);
    if (value == nullptr) return kRegistryNotFound;
    const std::uint32_t room = *size;
    *size = static_cast<std::uint32_t>(value->size());
    if (data == nullptr) return kRegistrySuccess;
    if (value->size() > room) return kRegistryMoreData;
    if (!value->empty()) std::memcpy(data, value->data(), value->size());
    return kRegistrySuccess;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

void RegistryCloseKey(RegistryHandle key) { delete FromHandle(key); }

}  // namespace vela::platform
