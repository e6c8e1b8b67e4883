#include <windows.h>
#include <bcrypt.h>

#include "platform/log_file.h"
#include "platform/system.h"

namespace vela::platform {

bool RandomBytes(std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    const ULONG chunk = count > 0x10000000u ? 0x10000000u : static_cast<ULONG>(count);
    if (BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return false;
    out += chunk;
    count -= chunk;
  }
  return true;
}

std::uint32_t ProcessId() { return GetCurrentProcessId(); }
std::uint32_t ThreadId() { return GetCurrentThreadId(); }

LocalTime Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void MakeDirectory(const char* path) { (void)MakeLogDirectory(path); }

const char* DefaultLogDirectory() { return "C:\\Windows\\Temp\\"; }
char PathSeparator() { return '\\'; }

}  // namespace vela::platform
