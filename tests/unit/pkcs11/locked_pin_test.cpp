// The PIN kept for a login: in a page of its own that the kernel keeps out of
// swap and core dumps, and that a forked child sees as zeros.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "pkcs11/locked_pin.h"

namespace vela::test {
namespace {

// The kernel's flags of the mapping that holds `address` (VmFlags in smaps).
std::string MappingFlags(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    unsigned long begin = 0, end = 0;
    // A mapping's first line is its address range; its fields follow.
    if (std::sscanf(line.c_str(), "%lx-%lx ", &begin, &end) == 2) inside = target >= begin && target < end;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line.substr(8) + " ";
  }
  return "";
}

bool HasFlag(const std::string& flags, const char* flag) {
  return flags.find(std::string(" ") + flag + " ") != std::string::npos;
}

TEST(LockedPin, KeptInAPageLockedLeftOutOfDumpsAndWipedInAChild) {
  const std::string pin = "123456";
  pkcs11::LockedPin kept;
  ASSERT_TRUE(kept.Keep({reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()}));
  ASSERT_EQ(std::string(kept.bytes().begin(), kept.bytes().end()), pin);

  const std::string flags = MappingFlags(kept.bytes().data());
  ASSERT_FALSE(flags.empty()) << "no mapping found for the PIN";
  EXPECT_TRUE(HasFlag(flags, "dd")) << "not left out of core dumps:" << flags;
  EXPECT_TRUE(HasFlag(flags, "wf")) << "not wiped on fork:" << flags;
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur >= static_cast<rlim_t>(sysconf(_SC_PAGESIZE))) {
    EXPECT_TRUE(HasFlag(flags, "lo")) << "not locked against swapping:" << flags;
  }

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child's copy of the page is zeros.
    for (const std::uint8_t b : kept.bytes()) {
      if (b != 0) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw the PIN";

  kept.Clear();
  EXPECT_TRUE(kept.empty());
  const std::string tooLong(pkcs11::LockedPin::kCapacity + 1, '1');
  EXPECT_FALSE(kept.Keep({reinterpret_cast<const std::uint8_t*>(tooLong.data()), tooLong.size()}));
  EXPECT_TRUE(kept.empty());
}

}  // namespace
}  // namespace vela::test
