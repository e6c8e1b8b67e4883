#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/log_file.h"
#include "platform/system.h"

namespace vela::platform {

bool RandomBytes(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = getrandom(out + done, count - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(getpid()); }
std::uint32_t ThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

LocalTime Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

void MakeDirectory(const char* path) { (void)MakeLogDirectory(path); }

const char* DefaultLogDirectory() { return "/tmp/"; }
char PathSeparator() { return '/'; }

}  // namespace vela::platform
