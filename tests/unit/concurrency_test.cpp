// Eight contexts on eight threads, each thread with its own card and its own
// context, as a provider serves eight readers. Run under ThreadSanitizer
// (preset tsan) this is where shared state without a guard shows up.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <stdlib.h>

#include <algorithm>
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
#include "openssl_reference.h"
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

// Thread i's card: a serial number and keys (hence certificates) of its own.
emu::Personalisation CardOfThread(int i) {
  emu::Personalisation p;
  for (std::size_t b = 0; b < p.serial.size(); ++b) p.serial[b] = static_cast<std::uint8_t>(0x10 * (i + 1) + b);
  p.seed = 1000 + static_cast<std::uint64_t>(i);
  return p;
}

Bytes ReadFile(CARD_DATA* cd, const char* directory, const char* file, DWORD* rc) {
  std::string dir = directory != nullptr ? directory : "";
  std::string name = file;
  BYTE* data = nullptr;
  DWORD length = 0;
  *rc = cd->pfnCardReadFile(cd, directory != nullptr ? dir.data() : nullptr, name.data(), 0, &data, &length);
  Bytes bytes(data, data + (data != nullptr ? length : 0));
  HostRelease(data);
  return bytes;
}

// What a context says about its card is that card's own: the serial number,
// the certificate, a signature that verifies under that certificate, and an
// agreed secret equal to OpenSSL's with that card's key. The user PIN is
// verified. Returns what differs, or an empty string.
std::string OwnCardData(CARD_DATA* cd, EmulatedCard& card, const std::string& tag) {
  DWORD rc = 0;
  const Bytes cardid = ReadFile(cd, nullptr, "cardid", &rc);
  // Six zero bytes, then the serial number.
  Bytes expected(16, 0);
  std::copy(card->personalisation().serial.begin(), card->personalisation().serial.end(), expected.begin() + 6);
  if (rc != 0 || cardid != expected) return "cardid " + ToHex(cardid);
  const Bytes certificate = card->Certificate(0xC000);
  if (ReadFile(cd, "mscp", "ksc00", &rc) != certificate || rc != 0) return "ksc00 is not the card's";

  Bytes hash(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const unsigned char*>(tag.data()), tag.size(), hash.data());
  Bytes data = hash;
  CARD_SIGNING_INFO sign{};
  sign.dwVersion = 2;
  sign.dwKeySpec = AT_ECDSA_P256;
  sign.pbData = data.data();
  sign.cbData = static_cast<DWORD>(data.size());
  rc = cd->pfnCardSignData(cd, &sign);
  const Bytes signature(sign.pbSignedData, sign.pbSignedData + (rc == 0 ? sign.cbSignedData : 0));
  HostRelease(sign.pbSignedData);
  if (rc != 0 || !SignatureVerifies(certificate, hash, signature)) return "signature " + std::to_string(rc);

  const Pkey peer = FreshPeerKey();
  Bytes blob = PeerKeyBlob(peer.get());
  CARD_DH_AGREEMENT_INFO agree{};
  agree.dwVersion = 2;
  agree.bContainerIndex = 4;
  agree.dwPublicKey = static_cast<DWORD>(blob.size());
  agree.pbPublicKey = blob.data();
  if ((rc = cd->pfnCardConstructDHAgreement(cd, &agree)) != 0) return "agreement " + std::to_string(rc);
  // "HASH" with no parameters: SHA-1 of the bare secret.
  Bytes derived(20);
  CARD_DERIVE_KEY derive{};
  derive.dwVersion = 2;
  derive.pwszKDF = u"HASH";
  derive.bSecretAgreementIndex = agree.bSecretAgreementIndex;
  derive.pbDerivedKey = derived.data();
  derive.cbDerivedKey = static_cast<DWORD>(derived.size());
  rc = cd->pfnCardDeriveKey(cd, &derive);
  cd->pfnCardDestroyDHAgreement(cd, agree.bSecretAgreementIndex, 0);
  if (rc != 0 || derived != ReferenceDigest("SHA1", ReferenceAgree(peer.get(), card->Key(0x81)))) {
    return "derived key " + std::to_string(rc);
  }
  return {};
}

// One thread's road, three times: acquire, every operation with what it
// needs, the card's own data, delete. Returns what went wrong, or an empty
// string.
std::string Road(EmulatedCard& card, int thread) {
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
    if (VerifyUserPin(host.get()) != 0) return "verify";
    const std::string tag = "thread " + std::to_string(thread) + " round " + std::to_string(round);
    if (std::string wrong = OwnCardData(host.get(), card, tag); !wrong.empty()) return tag + ": " + wrong;
    if (host->pfnCardDeleteContext(host.get()) != 0) return "delete";
  }
  return {};
}

TEST(Concurrency, EightContextsOnEightThreads) {
  const std::size_t liveBefore = HostHeap::Live();
  std::vector<std::unique_ptr<EmulatedCard>> cards;
  for (int i = 0; i < kThreads; ++i) cards.push_back(std::make_unique<EmulatedCard>(CardOfThread(i)));
  std::vector<std::string> failures(kThreads);
  OnEightThreads([&](int i) { failures[i] = Road(*cards[i], i); });
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[i], "") << "thread " << i;
  EXPECT_EQ(HostHeap::Live(), liveBefore);
}

// Every acquire writes the process-wide log directory and level from the
// registry while the registry changes and other threads write log lines (the
// acquires and deletes their own): the state ends as one of the written
// values and every line in the files is whole.
TEST(Concurrency, AcquiresRaceOnTheLogSettings) {
  RegistryScope registry;
  // A directory of this run's own: two runs on one machine do not meet.
  std::string pattern = (std::filesystem::path(::testing::TempDir()) / "vela-log-race-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path root = pattern;
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
  const std::string directory(LogDirectory().view());
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
