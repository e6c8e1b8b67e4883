// A program that forks while another of its threads is inside the module:
// the child's own C_Initialize and slot listing must never wait for a lock
// the fork copied held (the module's, or libpcsclite's global lock, which a
// thread of the parent held inside PC/SC at that moment).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "p11_client.h"

namespace vela::test {
namespace {

using Clock = std::chrono::steady_clock;

// The child's work: a module state of its own and its first PC/SC context,
// listing the readers. (Not the token: a child that took the card up would
// make pcscd reset it at the child's end, and the parent's busy threads
// would take it up again every time.)
[[noreturn]] void Child(CK_FUNCTION_LIST* p11) {
  CK_ULONG count = 0;
  const bool ok = p11->C_Initialize(nullptr) == CKR_OK && p11->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_OK &&
                  count > 0;
  _exit(ok ? 0 : 1);
}

// The child's exit status, or -1 when it has not ended within `limit` (it is killed).
int WaitAtMost(pid_t child, std::chrono::seconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < end) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

TEST(Fork, ChildrenOfABusyProgramNeverHang) {
  CK_FUNCTION_LIST* p11 = LoadModule();
  ASSERT_NE(p11, nullptr);
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  CardProgram program(p11);
  const CK_SLOT_ID slot = program.WaitForToken(10);
  ASSERT_NE(slot, CK_UNAVAILABLE_INFORMATION);

  // The busy threads list the readers and ask for the token, over and over:
  // each call goes into libpcsclite, and takes the module's locks.
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::vector<std::thread> busy;
  for (int i = 0; i < 2; ++i) {
    busy.emplace_back([&, i] {
      while (!stop) {
        CK_ULONG count = 0;
        p11->C_GetSlotList(i == 0 ? CK_TRUE : CK_FALSE, nullptr, &count);
        if (i == 0) {
          CK_TOKEN_INFO info;
          p11->C_GetTokenInfo(slot, &info);
        }
        ++calls;
      }
    });
  }

  const char* given = std::getenv("VELA_FORKS");
  const int forks = given != nullptr ? std::atoi(given) : 1000;
  int hung = 0, failed = 0;
  Clock::duration forking{};
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < forks; ++i) {
    std::fflush(nullptr);
    const Clock::time_point before = Clock::now();
    const pid_t child = fork();
    if (child == 0) Child(p11);
    if (child < 0) {
      ADD_FAILURE() << "fork() failed";
      break;
    }
    forking += Clock::now() - before;
    const int status = WaitAtMost(child, std::chrono::seconds(10));
    hung += status == -1;
    failed += status > 0;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  for (std::thread& thread : busy) thread.join();
  EXPECT_EQ(hung, 0) << hung << " of " << forks << " children hung";
  EXPECT_EQ(failed, 0) << failed << " of " << forks << " children found no reader";
  EXPECT_GT(calls.load(), 0);
  std::printf("%d forks in %.1f s (%.1f s in fork() itself) beside %ld calls of the busy threads\n", forks, seconds,
              std::chrono::duration<double>(forking).count(), calls.load());
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

}  // namespace
}  // namespace vela::test
