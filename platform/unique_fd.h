// A POSIX file descriptor that is closed on every way out of its scope, and
// opening a directory only when it is the effective user's own.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vela::platform {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  // Gives up the descriptor without closing it.
  void Release() { fd_ = -1; }

  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A descriptor of `path` (relative to `at`, or AT_FDCWD) when it is a
// directory of the effective user whose mode has none of the `forbidden`
// bits, or -1. A symbolic link at the last name is followed only when
// `followLink`.
inline int OpenOwnDirectory(int at, const char* path, bool followLink, mode_t forbidden) {
  const int fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & forbidden) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace vela::platform
