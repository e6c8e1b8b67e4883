#include "pkcs11/pin_mark.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/unique_fd.h"

namespace vela::pkcs11 {
namespace {

// A folder of the effective user's that nobody else may write to, opened
// without following a link; -1 otherwise.
int OpenOwnFolder(const std::string& path) {
  if (path.empty() || path[0] != '/') return -1;
  return platform::OpenOwnDirectory(AT_FDCWD, path.c_str(), false, S_IWGRP | S_IWOTH);
}

int MarkFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  int folder = OpenOwnFolder(runtime != nullptr ? runtime : "");
  if (folder >= 0) return folder;
  const std::string own = "/tmp/vela3ro-" + std::to_string(geteuid());
  mkdir(own.c_str(), 0700);
  return OpenOwnFolder(own);
}

std::string MarkName(const std::array<std::uint8_t, 10>& serial) {
  std::string name = "vela3ro-pin-";
  char digits[3];
  for (const std::uint8_t b : serial) {
    std::snprintf(digits, sizeof(digits), "%02X", b);
    name += digits;
  }
  return name;
}

// The mark file opened as `flags` says, when it is a regular file of the
// effective user; -1 otherwise.
int OpenMark(const std::array<std::uint8_t, 10>& serial, int flags) {
  const int folder = MarkFolder();
  if (folder < 0) return -1;
  const int file = openat(folder, MarkName(serial).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  close(folder);
  if (file < 0) return -1;
  struct stat info {};
  if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    close(file);
    return -1;
  }
  return file;
}

}  // namespace

PinMark ReadPinMark(const std::array<std::uint8_t, 10>& serial) {
  PinMark mark{};
  const int file = OpenMark(serial, O_RDONLY);
  if (file < 0) return mark;
  if (pread(file, mark.data(), mark.size(), 0) != static_cast<ssize_t>(mark.size())) mark = {};
  close(file);
  return mark;
}

PinMark WritePinMark(const std::array<std::uint8_t, 10>& serial) {
  PinMark mark{};
  if (getrandom(mark.data(), mark.size(), 0) != static_cast<ssize_t>(mark.size())) {
    // Unique is enough: the token guards nothing.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long values[] = {static_cast<long long>(now.tv_sec) ^ getpid(), now.tv_nsec};
    static_assert(sizeof(values) == sizeof(mark));
    std::memcpy(mark.data(), values, sizeof(values));
  }
  mark[0] |= 1;  // never all zero
  const int file = OpenMark(serial, O_WRONLY | O_CREAT);
  if (file < 0) return {};
  const bool written = pwrite(file, mark.data(), mark.size(), 0) == static_cast<ssize_t>(mark.size());
  close(file);
  return written ? mark : PinMark{};
}

}  // namespace vela::pkcs11
