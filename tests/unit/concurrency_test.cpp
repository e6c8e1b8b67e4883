// Eight contexts on eight threads, each thread with its own card and its own
// context, as a provider serves eight readers. Run under ThreadSanitizer
// (preset tsan) this is where shared state without a guard shows up.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "emulated_card.h"
#include "fake_registry.h"
#include "host_operations.h"
#include "platform/system.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 3;

// Starts `body(i)` on kThreads threads at once and waits for them all.
template <class Body>
void OnEightThreads(Body body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      body(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

// One thread's road: acquire, every operation with what it needs, delete.
// Returns what went wrong, or an empty string.
std::string Road(EmulatedCard& card) {
  for (int round = 0; round < kRounds; ++round) {
    TestHost host(card.handle());
    if (const DWORD rc = host.Acquire(); rc != 0) return "acquire: " + std::to_string(rc);
    for (const HostOperation& op : HostOperations()) {
      if (Prepare(host.get(), op.needs) != 0) return std::string("prepare ") + op.name;
      if (const DWORD rc = op.run(host.get()); rc != 0) return std::string(op.name) + ": " + std::to_string(rc);
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
  OnEightThreads([&](int i) { failures[i] = Road(*cards[i]); });
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[i], "") << "thread " << i;
  EXPECT_EQ(HostHeap::Live(), liveBefore);
}

// Every acquire writes the process-wide log directory and level from the
// registry while the registry changes and other threads write log lines (the
// acquires and deletes their own): the state ends as one of the written
// values and every line in the files is whole.
TEST(Concurrency, AcquiresRaceOnTheLogSettings) {
  RegistryScope registry;
  const std::filesystem::path root = std::filesystem::path(::testing::TempDir()) / "vela-log-race";
  const std::string directories[2] = {(root / "a").string(), (root / "b").string()};
  for (const std::string& d : directories) std::filesystem::create_directories(d);
  SetRegistryString(kSettingsKey, "LogPath", directories[0]);
  SetRegistryString(kSettingsKey, "LogLevel", "3");
  std::vector<std::unique_ptr<EmulatedCard>> cards;
  for (int i = 0; i < kThreads; ++i) cards.push_back(std::make_unique<EmulatedCard>());
  std::vector<int> failures(kThreads, 0);

  OnEightThreads([&](int i) {
    for (int round = 0; round < 20; ++round) {
      if (i == 0) {
        SetRegistryString(kSettingsKey, "LogPath", directories[round % 2]);
        SetRegistryString(kSettingsKey, "LogLevel", round % 2 ? "5" : "3");
      }
      TestHost host(cards[i]->handle());
      failures[i] += host.Acquire() != 0;
      WriteLogLine(kLogInfo, __FILE__, __LINE__, false, "thread %d round %d", i, round);
      host.Release();
    }
  });

  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[i], 0) << "thread " << i;
  const std::string directory = LogDirectory();
  EXPECT_TRUE(directory == directories[0] + "/" || directory == directories[1] + "/") << directory;
  EXPECT_TRUE(LogLevel() == 3 || LogLevel() == 5) << LogLevel();
  const std::regex whole(R"(\d\d:\d\d:\d\d 4711/42 \[(INF|DBG)\] [a-z_]+\.cpp:\d{4,} \S.*)");
  std::size_t lines = 0;
  for (const auto& file : std::filesystem::recursive_directory_iterator(root)) {
    if (!file.is_regular_file()) continue;
    std::ifstream in(file.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find("\r\n", at);
      ASSERT_NE(end, std::string::npos) << "a line cut short in " << file.path();
      const std::string line = text.substr(at, end - at);
      at = end + 2;
      if (line.empty()) continue;  // the blank line before an acquire's first
      EXPECT_TRUE(std::regex_match(line, whole)) << line;
      lines += line.find(" [INF] concurrency_test.cpp:") != std::string::npos;
    }
  }
  // Each line goes to the directory of its moment. An acquire sets the level
  // to 0 before it reads the registry, so a line written just then is dropped.
  EXPECT_GT(lines, 0u);
  EXPECT_LE(lines, static_cast<std::size_t>(kThreads * 20));
  std::filesystem::remove_all(root);
  // The log state outlives the test: put back what a process starts with.
  SetLogDirectory(platform::DefaultLogDirectory());
  SetLogLevel(kLogOff);
}

}  // namespace
}  // namespace vela::test
