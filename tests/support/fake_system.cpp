// Fixed clock, ids and directories for the unit tests; random bytes are real
// (tests check their properties, not their values).
#include <sys/random.h>

#include <mutex>

#include "fake_system.h"
#include "platform/system.h"

namespace vela::test {

platform::LocalTime fixedTime{2024, 3, 5, 13, 7, 9};
std::uint32_t fixedProcessId = 4711;
std::vector<std::string> createdDirectories;
bool randomFails = false;
std::vector<std::uint8_t> scriptedRandom;

namespace {
// Concurrent acquires reach these from several threads.
std::mutex fakeSystemMutex;
}  // namespace

}  // namespace vela::test

namespace vela::platform {

bool RandomBytes(std::uint8_t* out, std::size_t count) {
  std::lock_guard lock(test::fakeSystemMutex);
  if (test::randomFails) return false;
  std::size_t i = 0;
  for (; i < count && !test::scriptedRandom.empty(); ++i) {
    out[i] = test::scriptedRandom.front();
    test::scriptedRandom.erase(test::scriptedRandom.begin());
  }
  while (i < count) {
    const ssize_t n = getrandom(out + i, count - i, 0);
    if (n <= 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::uint32_t ProcessId() { return test::fixedProcessId; }
std::uint32_t ThreadId() { return 42; }
LocalTime Now() { return test::fixedTime; }
void MakeDirectory(const char* path) {
  std::lock_guard lock(test::fakeSystemMutex);
  test::createdDirectories.emplace_back(path);
}
const char* DefaultLogDirectory() { return "/tmp/"; }
char PathSeparator() { return '/'; }

}  // namespace vela::platform
