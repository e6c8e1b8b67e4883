// The PKCS#11 module in process: its readers are a rack of emulated cards
// (this file's MakeReaderPort), so every entry point runs down to the
// minidriver and the card's commands. A test puts cards in and takes them
// out; P11Test initialises the module over one card and finalises it again.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulated_card.h"
#include "fake_registry.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::test {

inline constexpr const char* kReader = "Emulated Reader 0";
inline constexpr const char* kUserPin = "123456";
inline constexpr const char* kUnblockCode = "12345678";

class CardRack {
 public:
  static CardRack& Get();
  // No readers at all.
  void Clear();
  void AddReader(const std::string& reader);
  void RemoveReader(const std::string& reader);
  EmulatedCard& Insert(const std::string& reader, emu::Personalisation personalisation = {});
  void Pull(const std::string& reader);
  // Another program resets the card: its PIN state is gone, and every
  // connection to it but the resetting one is told so once.
  void ResetByAnotherProgram(const std::string& reader);
  // Another card takes the place of the one there, and the connections are
  // told of a reset only (a reader that misses the exchange). An empty `atr`
  // is the emulated card's own.
  EmulatedCard& SwapUnderReset(const std::string& reader, emu::Personalisation personalisation,
                               std::vector<std::uint8_t> atr = {});
  EmulatedCard* Card(const std::string& reader);
  std::vector<std::string> Readers();
  // Transactions begun and not yet ended.
  int OpenTransactions();

  // For the links of the rack's port.
  struct Entry {
    std::unique_ptr<EmulatedCard> card;
    std::vector<std::uint8_t> atr;  // what the reader reports for the card
    std::uint64_t insertion = 0;
    std::uint64_t resets = 0;
    // Resets that come while a connection takes the card up again.
    int resetsWhileTakingUp = 0;
    // Resets that come right after a connection is made.
    int resetsAtConnect = 0;
    // Connections refused (SCARD_E_PROTO_MISMATCH), as while another
    // program's reset of the card is under way.
    int refusedConnections = 0;
    // Transactions refused (SCARD_E_NOT_TRANSACTED) with the card still there.
    int refusedTransactions = 0;
    // Cards put in and taken out, as a reader counts them.
    std::uint32_t cardChanges = 0;
  };
  std::mutex mutex;
  std::condition_variable changed;  // a card or reader came or went
  // Looks at the readers' states, and waits for them to change.
  std::atomic<int> statusReads{0};
  std::atomic<int> waits{0};
  std::map<std::string, Entry> entries;
  std::uint64_t insertions = 0;
  int transactions = 0;
};

class P11Test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  CK_FUNCTION_LIST* p11() { return functions_; }
  EmulatedCard& card() { return *CardRack::Get().Card(kReader); }
  CK_SLOT_ID slot() { return 0; }

  CK_SESSION_HANDLE Open(bool readWrite = false);
  void Login(CK_SESSION_HANDLE session, const std::string& pin = kUserPin);
  // Handles of the objects matching the attributes given.
  std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern = {});
  // The object of a class for a container (its CKA_ID), or CK_INVALID_HANDLE.
  CK_OBJECT_HANDLE Object(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, int container);
  std::vector<std::uint8_t> Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

  emu::Personalisation personalisation_;  // of the card SetUp inserts
  bool initialise_ = true;
  std::string cacheHome_;  // XDG_CACHE_HOME of the test: the module's cache goes below

 private:
  RegistryScope registry_;
  CK_FUNCTION_LIST* functions_ = nullptr;
  std::size_t liveBefore_ = 0;
};

}  // namespace vela::test
