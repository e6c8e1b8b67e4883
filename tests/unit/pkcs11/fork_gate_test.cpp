// The gate fork() closes: it waits for the threads inside the module, holds
// new calls back until the parent goes on, and a child starts with it open.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "pkcs11/fork_gate.h"

namespace vela::test {
namespace {

using pkcs11::ForkGate;
using namespace std::chrono_literals;

TEST(ForkGate, ForkWaitsForCallsAndHoldsNewOnesBack) {
  std::atomic<bool> leave{false}, prepared{false}, entered{false};
  std::thread inside([&] {
    const ForkGate::Inside gate;
    while (!leave) std::this_thread::sleep_for(1ms);
  });
  std::this_thread::sleep_for(20ms);
  std::thread forker([&] {
    ForkGate::Prepare();
    prepared = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(prepared) << "fork() went on while a thread was inside";
  leave = true;
  inside.join();
  forker.join();
  EXPECT_TRUE(prepared);

  std::thread late([&] {
    const ForkGate::Inside gate;
    entered = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(entered) << "a call went in during fork()";
  ForkGate::Parent();
  late.join();
  EXPECT_TRUE(entered);
}

TEST(ForkGate, CallsFromInsideAndTheChildPass) {
  {
    const ForkGate::Inside outer;
    // The module's own nested entry, and a fork() made from inside it.
    ForkGate::Prepare();
    const ForkGate::Inside nested;
    ForkGate::Parent();
  }
  // The child's gate is open whatever the parent's was.
  ForkGate::Prepare();
  ForkGate::Child();
  std::atomic<bool> entered{false};
  std::thread call([&] {
    const ForkGate::Inside gate;
    entered = true;
  });
  call.join();
  EXPECT_TRUE(entered);
}

// The exit status of a child, or -1 when it has not ended within `limit`
// (it is killed): a child stuck at the gate must not hold the tier.
int WaitAtMost(pid_t child, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(2ms);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// `body` in a child process that exits with what it returns; the child's
// status as WaitAtMost gives it. Through the gate, fork() runs the handlers
// as pthread_atfork runs them.
template <class Body>
int InChild(bool throughGate, std::chrono::seconds limit, Body body) {
  std::fflush(nullptr);  // nothing buffered is written twice
  if (throughGate) ForkGate::Prepare();
  const pid_t child = fork();
  if (child == 0) {
    if (throughGate) ForkGate::Child();
    _exit(body());
  }
  if (throughGate) ForkGate::Parent();
  return child < 0 ? -2 : WaitAtMost(child, limit);
}

// A program may fork from inside a call (a callback, a signal handler): the
// child is still inside that call, and its gate counts it, so its own
// fork() goes on, from inside the call and after the call has ended. Each
// program runs in a process of its own, so that no gate of this test's
// process is closed, and each is given a bound (the inner ones shorter).
TEST(ForkGate, ChildForksAgainFromInsideACallAndAfterIt) {
  using std::chrono::seconds;
  constexpr int kHung = 10, kGrandchildFailed = 11;
  for (const bool fromInside : {true, false}) {
    SCOPED_TRACE(fromInside ? "forked from inside a call" : "forked outside any call");
    const int status = InChild(false, seconds(60), [&] {
      std::optional<ForkGate::Inside> call;
      if (fromInside) call.emplace();
      const int child = InChild(true, seconds(20), [&] {
        if (!call) call.emplace();  // a call of the child's own
        if (InChild(true, seconds(10), [] { return 0; }) != 0) return 1;
        call.reset();
        return InChild(true, seconds(10), [] { return 0; }) != 0 ? 2 : 0;
      });
      return child == 0 ? 0 : child == -1 ? kHung : kGrandchildFailed;
    });
    EXPECT_EQ(status, 0) << (status == kHung  ? "the child hung at its own fork()"
                             : status == -1 ? "the program hung at its fork()"
                                            : "the child's own child failed");
  }
}

}  // namespace
}  // namespace vela::test
