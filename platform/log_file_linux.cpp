#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log_file.h"
#include "platform/unique_fd.h"

namespace vela::platform {

bool AppendToLogFile(const char* path, const char* data, std::size_t length) {
  if (path == nullptr) return false;
  // O_NOFOLLOW refuses a symbolic link at the name; O_NONBLOCK keeps a FIFO
  // from holding the caller until a reader comes; O_CREAT without O_TRUNC
  // never shortens what is there.
  UniqueFd file(open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
  if (!file) return false;
  struct stat info {};
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != geteuid()) {
    return false;
  }
  // One write per line keeps the lines of concurrent writers whole.
  while (length > 0) {
    const ssize_t written = write(file.get(), data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool IsAbsolutePath(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace vela::platform
