#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// The process's user's alone (0700): the log may show what a user's programs did.
void MakeDirectory(const char* path) { (void)MakeLogDirectory(path); }

// A folder of each user's own, /tmp/vela3ro-UID/, so that a user's programs
// (a browser, ssh) and root's log alike when logging is on, and no user's log
// goes where another user may look: the first of them creates it 0700.
const char* DefaultLogDirectory() {
  // Trivially destructible: a line logged at the program's end still finds it.
  struct Name {
    char text[32];
  };
  static const Name directory = [] {
    Name name{};
    std::snprintf(name.text, sizeof name.text, "/tmp/vela3ro-%u/", static_cast<unsigned>(geteuid()));
    return name;
  }();
  return directory.text;
}
char PathSeparator() { return '/'; }

}  // namespace vela::platform
