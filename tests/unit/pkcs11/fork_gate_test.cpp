// The gate fork() closes: it waits for the threads inside the module, holds
// new calls back until the parent goes on, and a child starts with it open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

}  // namespace
}  // namespace vela::test
