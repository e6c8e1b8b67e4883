#include "core/settings.h"

#include "core/log.h"
#include "platform/registry.h"

namespace vela {

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Norvantis\\CardMiniDriverRO";
constexpr std::uint32_t kMaxValueBytes = 80;

// Every value is read as a narrow string whatever its registry type, so a
// number stored as a DWORD never looks like a digit character.
struct StringValue {
  bool present = false;
  char text[kMaxValueBytes + 1] = {};
};

StringValue ReadString(platform::RegistryHandle key, const char* name) {
  StringValue value;
  std::uint32_t size = kMaxValueBytes;
  if (platform::RegistryQueryValue(key, name, reinterpret_cast<std::uint8_t*>(value.text), &size) !=
          platform::kRegistrySuccess ||
      size > kMaxValueBytes) {
    return {};
  }
  value.text[size] = '\0';
  value.present = true;
  return value;
}

// The digit's value when the string is exactly one decimal digit, else -1.
int SingleDigit(const StringValue& value) {
  if (!value.present || value.text[0] < '0' || value.text[0] > '9' || value.text[1] != '\0') return -1;
  return value.text[0] - '0';
}

bool IsTrue(const StringValue& value) {
  if (!value.present) return false;
  static const char kTrue[] = "TRUE";
  for (std::size_t i = 0; i < sizeof kTrue; ++i) {
    char c = value.text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kTrue[i]) return false;
  }
  return true;
}

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (open_) platform::RegistryCloseKey(handle_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool ConnectLocalMachine() { return open_ = platform::RegistryConnectLocalMachine(&handle_) == 0; }
  bool Open(const RegistryKey& parent, const char* subKey) {
    return open_ = platform::RegistryOpenKey(parent.handle_, subKey, &handle_) == 0;
  }
  platform::RegistryHandle handle() const { return handle_; }

 private:
  platform::RegistryHandle handle_ = 0;
  bool open_ = false;
};

}  // namespace

void ReadSettings(CardContext* context) {
  if (context == nullptr || context->settingsLoaded) return;
  context->pinPadInUse = false;
  context->settingsLoaded = true;
  context->logApdu = false;
  context->logLevel = 0;
  context->cacheMode = 3;
  context->userPinCachePolicy = 0;
  SetLogLevel(kLogOff);

  RegistryKey machine;
  if (!machine.ConnectLocalMachine()) return;
  RegistryKey key;
  if (!key.Open(machine, kSettingsKey)) return;

  if (const StringValue path = ReadString(key.handle(), "LogPath"); path.present) SetLogDirectory(path.text);
  if (const int digit = SingleDigit(ReadString(key.handle(), "LogLevel")); digit >= 0) {
    context->logLevel = digit;
    SetLogLevel(digit);
    // With logging off nothing, not even the directory, is made on disk.
    if (digit > kLogOff) CreateLogDirectory();
  }
  if (IsTrue(ReadString(key.handle(), "usePinPad"))) context->pinPadInUse = true;
  if (IsTrue(ReadString(key.handle(), "LogAPDU"))) context->logApdu = true;
  const StringValue cacheMode = ReadString(key.handle(), "CacheMode");
  if (cacheMode.present) {
    if (const int digit = SingleDigit(cacheMode); digit >= 0) context->cacheMode = digit;
    // The user PIN's cache policy counts only beside a cache mode.
    if (const int digit = SingleDigit(ReadString(key.handle(), "UserPCP")); digit >= 0 && digit <= 3) {
      context->userPinCachePolicy = static_cast<DWORD>(digit);
    }
  }
}

}  // namespace vela
