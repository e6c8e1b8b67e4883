// The smart-card database as Windows keeps it: one key per card type under
// HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards, in each registry view.
#include <windows.h>

#include "host/card_database.h"

namespace vela::host {

namespace {

// A value of `type`, or false when it is missing or of another type.
bool ReadValue(HKEY key, const char* name, DWORD type, std::vector<std::uint8_t>* value) {
  DWORD found = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &found, nullptr, &size) != ERROR_SUCCESS || found != type) return false;
  value->resize(size);
  if (RegQueryValueExA(key, name, nullptr, &found, value->data(), &size) != ERROR_SUCCESS || found != type) {
    return false;
  }
  value->resize(size);
  return true;
}

std::string ReadText(HKEY key, const char* name) {
  std::vector<std::uint8_t> bytes;
  if (!ReadValue(key, name, REG_SZ, &bytes)) return {};
  std::string text(bytes.begin(), bytes.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace

std::uint32_t ReadCardDatabase(RegistryView view, std::vector<CardEntry>* entries) {
  entries->clear();
  const REGSAM viewFlag = view == RegistryView::k64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  HKEY cards = nullptr;
  if (LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSmartCardsKey, 0, KEY_READ | viewFlag, &cards);
      rc != ERROR_SUCCESS) {
    return static_cast<std::uint32_t>(rc);
  }
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(cards, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY key = nullptr;
    if (RegOpenKeyExA(cards, name, 0, KEY_READ | viewFlag, &key) != ERROR_SUCCESS) continue;
    CardEntry entry;
    entry.name = name;
    ReadValue(key, "ATR", REG_BINARY, &entry.atr);
    ReadValue(key, "ATRMask", REG_BINARY, &entry.mask);
    entry.module = ReadText(key, kCardModuleValue);
    entry.cryptoProvider = ReadText(key, "Crypto Provider");
    entry.keyStorageProvider = ReadText(key, "Smart Card Key Storage Provider");
    RegCloseKey(key);
    entries->push_back(std::move(entry));
  }
  RegCloseKey(cards);
  return 0;
}

}  // namespace vela::host
