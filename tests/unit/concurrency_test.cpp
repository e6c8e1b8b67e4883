// Eight contexts on eight threads, each thread with its own card and its own
// context, as a provider serves eight readers. Run under ThreadSanitizer
// (preset tsan) this is where shared state without a guard shows up.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "emulated_card.h"
#include "host_operations.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 3;

// One thread's road: acquire, every operation with what it needs, delete.
// Returns what went wrong, or an empty string.
std::string Road(EmulatedCard& card) {
  for (int round = 0; round < kRounds; ++round) {
    TestHost host(card.handle());
    if (const DWORD rc = host.Acquire(); rc != 0) return "acquire: " + std::to_string(rc);
    for (const HostOperation& op : HostOperations()) {
      if (const DWORD rc = Prepare(host.get(), op.needs); rc != 0) {
        if (NotBuiltYet(rc)) continue;
        return std::string("prepare ") + op.name;
      }
      if (const DWORD rc = op.run(host.get()); rc != 0 && !NotBuiltYet(rc)) {
        return std::string(op.name) + ": " + std::to_string(rc);
      }
      if (op.undo != nullptr) op.undo(host.get());
      // Leave no agreement behind: the next row may need slot 0.
      if (op.needs == Needs::kAgreement) host->pfnCardDestroyDHAgreement(host.get(), 0, 0);
    }
    if (host->pfnCardDeleteContext(host.get()) != 0) return "delete";
  }
  return {};
}

TEST(Concurrency, EightContextsOnEightThreads) {
  const std::size_t liveBefore = HostHeap::Live();
  std::vector<std::unique_ptr<EmulatedCard>> cards;
  for (int i = 0; i < kThreads; ++i) cards.push_back(std::make_unique<EmulatedCard>());
  std::vector<std::string> failures(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // Start together, so the roads overlap.
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      failures[i] = Road(*cards[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[i], "") << "thread " << i;
  EXPECT_EQ(HostHeap::Live(), liveBefore);
}

}  // namespace
}  // namespace vela::test
