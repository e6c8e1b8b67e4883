// Runs a command while holding dpkg's frontend lock, as a package manager
// does around the dpkg runs it makes (dpkg's frontend interface: take
// <admindir>/lock-frontend, make sure no dpkg holds <admindir>/lock, and tell
// the dpkg runs with DPKG_FRONTEND_LOCKED that the frontend lock is taken).
// The package test installs, looks, purges and looks again under it, so no
// other dpkg run (apt, or someone removing the package by hand) lands between
// its steps and changes what it sees.
//   pkcs11_dpkg_lock COMMAND [ARGS...]
// The lock stays held through exec: the descriptor is left open in COMMAND.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longer than any install or removal takes; a lock held longer is reported.
constexpr unsigned kWaitSeconds = 120;

// Takes a write lock on the whole file, waiting at most kWaitSeconds.
// Returns false after saying who holds it.
bool Lock(int fd, const char* path) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  alarm(kWaitSeconds);
  const int result = fcntl(fd, F_SETLKW, &lock);
  const int error = errno;
  alarm(0);
  if (result == 0) return true;
  struct flock holder {};
  holder.l_type = F_WRLCK;
  holder.l_whence = SEEK_SET;
  if (error == EINTR && fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) {
    std::fprintf(stderr, "dpkg_lock: %s is still held by process %d after %u s\n", path, holder.l_pid, kWaitSeconds);
  } else {
    std::fprintf(stderr, "dpkg_lock: cannot lock %s: %s\n", path, std::strerror(error));
  }
  return false;
}

int OpenLockFile(const char* path) {
  const int fd = open(path, O_RDWR | O_CREAT, 0640);
  if (fd < 0) std::fprintf(stderr, "dpkg_lock: cannot open %s: %s\n", path, std::strerror(errno));
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  // The wait ends with EINTR instead of the default action of SIGALRM.
  struct sigaction onAlarm {};
  onAlarm.sa_handler = [](int) {};
  sigaction(SIGALRM, &onAlarm, nullptr);

  const char* frontend = "/var/lib/dpkg/lock-frontend";
  const char* database = "/var/lib/dpkg/lock";
  const int frontendFd = OpenLockFile(frontend);
  if (frontendFd < 0 || !Lock(frontendFd, frontend)) return 1;
  // A dpkg started by another frontend holds only the database lock.
  const int databaseFd = OpenLockFile(database);
  if (databaseFd < 0 || !Lock(databaseFd, database)) return 1;
  close(databaseFd);  // dpkg takes it itself

  signal(SIGALRM, SIG_DFL);
  setenv("DPKG_FRONTEND_LOCKED", "1", 1);
  execvp(argv[1], argv + 1);
  std::fprintf(stderr, "dpkg_lock: cannot run %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
