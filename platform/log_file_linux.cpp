#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log_file.h"
#include "platform/unique_fd.h"

namespace vela::platform {

namespace {

constexpr std::size_t kMaxPath = 1024;

// The directory `path` (absolute), opened from "/" one name at a time so that
// a symbolic link at any level is refused, not followed: a link planted
// above the log's folder would lead the writes anywhere. `create` makes a
// missing last level, for this user alone. -1 when anything is in the way.
int OpenDirectoryWithoutLinks(const char* path, std::size_t length, bool create) {
  if (length == 0 || length >= kMaxPath || path[0] != '/') return -1;
  char names[kMaxPath];
  std::memcpy(names, path, length);
  names[length] = '\0';
  UniqueFd current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current) return -1;
  char* name = names;
  while (true) {
    while (*name == '/') ++name;
    if (*name == '\0') break;
    char* end = name;
    while (*end != '\0' && *end != '/') ++end;
    const bool last = *end == '\0' || end[std::strspn(end, "/")] == '\0';
    if (*end != '\0') *end++ = '\0';
    int next = openat(current.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && last && create && mkdirat(current.get(), name, 0700) == 0) {
      next = openat(current.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) return -1;
    current = UniqueFd(next);
    name = end;
  }
  const int directory = current.get();
  current.Release();
  return directory;
}

}  // namespace

bool AppendToLogFile(const char* path, const char* data, std::size_t length) {
  if (path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || slash[1] == '\0') return false;
  UniqueFd directory(OpenDirectoryWithoutLinks(path, static_cast<std::size_t>(slash - path) + 1, false));
  if (!directory) return false;
  // The folder itself is this user's or root's: one another user made first
  // (/tmp/vela3ro-UID before its user logged anything) is that user's to
  // empty or swap, so nothing is written there.
  struct stat folder {};
  if (fstat(directory.get(), &folder) != 0 || (folder.st_uid != geteuid() && folder.st_uid != 0)) return false;
  // O_NOFOLLOW refuses a symbolic link at the name; O_NONBLOCK keeps a FIFO
  // from holding the caller until a reader comes; O_CREAT without O_TRUNC
  // never shortens what is there.
  UniqueFd file(openat(directory.get(), slash + 1,
                       O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
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

bool MakeLogDirectory(const char* path) {
  if (path == nullptr) return false;
  UniqueFd directory(OpenDirectoryWithoutLinks(path, std::strlen(path), true));
  return static_cast<bool>(directory);
}

bool IsAbsolutePath(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace vela::platform
