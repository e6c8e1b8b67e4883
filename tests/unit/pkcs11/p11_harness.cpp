#include "p11_harness.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/minidriver_abi.h"
#include "host/module_host.h"
#include "pkcs11/reader_port.h"

extern "C" vela::DWORD CardAcquireContext(vela::PCARD_DATA, vela::DWORD);

namespace vela::test {
namespace {

class RackLink : public pkcs11::CardLink {
 public:
  RackLink(std::string reader, std::uint64_t insertion, std::uint64_t resets, std::uintptr_t card,
           std::vector<std::uint8_t> atr)
      : reader_(std::move(reader)), insertion_(insertion), resets_(resets), card_(card), atr_(std::move(atr)) {}

  std::uintptr_t context() const override { return 0x5C; }
  // The card the reader holds now: one swapped under a reset answers on the
  // same connection, as a real reader's would.
  std::uintptr_t card() const override {
    CardRack& rack = CardRack::Get();
    std::lock_guard lock(rack.mutex);
    const auto entry = rack.entries.find(reader_);
    if (entry == rack.entries.end() || !entry->second.card || entry->second.insertion != insertion_) return card_;
    return entry->second.card->handle();
  }
  // The ATR of the card as it was when this connection last took it up.
  const std::vector<std::uint8_t>& atr() const override { return atr_; }

  std::uint32_t State() override {
    CardRack& rack = CardRack::Get();
    std::lock_guard lock(rack.mutex);
    const auto entry = rack.entries.find(reader_);
    if (entry == rack.entries.end() || !entry->second.card || entry->second.insertion != insertion_) {
      return SCARD_W_REMOVED_CARD;
    }
    return entry->second.resets != resets_ ? SCARD_W_RESET_CARD : 0;
  }
  std::uint32_t Reconnect() override { return Take(false); }
  std::uint32_t Reset() override { return Take(true); }
  std::uint32_t BeginTransaction() override {
    const std::uint32_t state = State();
    if (state != 0) return state;
    CardRack& rack = CardRack::Get();
    std::lock_guard lock(rack.mutex);
    const auto entry = rack.entries.find(reader_);
    if (entry != rack.entries.end() && entry->second.refusedTransactions > 0) {
      --entry->second.refusedTransactions;
      return SCARD_E_NOT_TRANSACTED;
    }
    ++rack.transactions;
    return 0;
  }
  void EndTransaction() override {
    std::lock_guard lock(CardRack::Get().mutex);
    --CardRack::Get().transactions;
  }
  std::uint32_t Transmit(const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* answer) override {
    const std::uint32_t state = State();
    if (state != 0) return state;
    EmulatedCard* card = CardRack::Get().Card(reader_);
    return card != nullptr ? card->Transmit(command, answer) : SCARD_W_REMOVED_CARD;
  }

 private:
  std::uint32_t Take(bool reset) {
    CardRack& rack = CardRack::Get();
    std::lock_guard lock(rack.mutex);
    const auto entry = rack.entries.find(reader_);
    if (entry == rack.entries.end() || !entry->second.card || entry->second.insertion != insertion_) {
      return SCARD_W_REMOVED_CARD;
    }
    if (reset) {
      (*entry->second.card)->Reset();
      ++entry->second.resets;
    } else if (entry->second.resetsWhileTakingUp > 0) {
      // Another program resets the card again just as this one takes it up.
      --entry->second.resetsWhileTakingUp;
      (*entry->second.card)->Reset();
      ++entry->second.resets;
      return SCARD_W_RESET_CARD;
    }
    resets_ = entry->second.resets;
    atr_ = entry->second.atr;
    return 0;
  }

  std::string reader_;
  std::uint64_t insertion_;
  std::uint64_t resets_;
  std::uintptr_t card_;
  std::vector<std::uint8_t> atr_;
};

// The readers' states under rack.mutex.
std::vector<pkcs11::ReaderStatus> StatusesLocked(const CardRack& rack) {
  std::vector<pkcs11::ReaderStatus> statuses;
  for (const auto& [name, entry] : rack.entries) {
    statuses.push_back({name, entry.card != nullptr, entry.cardChanges, 0});
  }
  return statuses;
}

bool Differ(const std::vector<pkcs11::ReaderStatus>& a, const std::vector<pkcs11::ReaderStatus>& b) {
  if (a.size() != b.size()) return true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].reader != b[i].reader || a[i].cardIn != b[i].cardIn || a[i].cardChanges != b[i].cardChanges) return true;
  }
  return false;
}

// Like PC/SC's: a cancel ends a wait in progress only.
class RackWatch : public pkcs11::ReaderWatch {
 public:
  std::uint32_t Wait(const std::vector<pkcs11::ReaderStatus>& known) override {
    CardRack& rack = CardRack::Get();
    ++rack.waits;
    std::unique_lock lock(rack.mutex);
    waiting_ = true;
    cancelled_ = false;
    rack.changed.wait(lock, [&] { return cancelled_ || Differ(StatusesLocked(rack), known); });
    waiting_ = false;
    return cancelled_ ? SCARD_E_CANCELLED : 0;
  }
  void Cancel() override {
    CardRack& rack = CardRack::Get();
    {
      std::lock_guard lock(rack.mutex);
      if (waiting_) cancelled_ = true;
    }
    rack.changed.notify_all();
  }

 private:
  bool waiting_ = false;
  bool cancelled_ = false;
};

class RackPort : public pkcs11::ReaderPort {
 public:
  std::uint32_t ListReaders(std::vector<std::string>* readers) override {
    *readers = CardRack::Get().Readers();
    return 0;
  }
  std::uint32_t CardPresent(const std::string& reader, bool* present) override {
    *present = CardRack::Get().Card(reader) != nullptr;
    return 0;
  }
  std::uint32_t Connect(const std::string& reader, std::unique_ptr<pkcs11::CardLink>* link) override {
    CardRack& rack = CardRack::Get();
    std::lock_guard lock(rack.mutex);
    const auto entry = rack.entries.find(reader);
    if (entry == rack.entries.end() || !entry->second.card) return SCARD_E_NO_SMARTCARD;
    if (entry->second.refusedConnections > 0) {
      --entry->second.refusedConnections;
      return SCARD_E_PROTO_MISMATCH;
    }
    *link = std::make_unique<RackLink>(reader, entry->second.insertion, entry->second.resets,
                                       entry->second.card->handle(), entry->second.atr);
    if (entry->second.resetsAtConnect > 0) {
      --entry->second.resetsAtConnect;
      (*entry->second.card)->Reset();
      ++entry->second.resets;
    }
    return 0;
  }
  std::uint32_t Statuses(std::vector<pkcs11::ReaderStatus>* statuses) override {
    CardRack& rack = CardRack::Get();
    ++rack.statusReads;
    std::lock_guard lock(rack.mutex);
    *statuses = StatusesLocked(rack);
    return 0;
  }
  std::uint32_t Watch(std::unique_ptr<pkcs11::ReaderWatch>* watch) override {
    *watch = std::make_unique<RackWatch>();
    return 0;
  }
  host::AcquireFunction acquire() const override { return CardAcquireContext; }
};

}  // namespace

CardRack& CardRack::Get() {
  static CardRack rack;
  return rack;
}

void CardRack::Clear() {
  {
    std::lock_guard lock(mutex);
    entries.clear();
    transactions = 0;
  }
  changed.notify_all();
}

void CardRack::AddReader(const std::string& reader) {
  {
    std::lock_guard lock(mutex);
    entries[reader];
  }
  changed.notify_all();
}

void CardRack::RemoveReader(const std::string& reader) {
  {
    std::lock_guard lock(mutex);
    entries.erase(reader);
  }
  changed.notify_all();
}

EmulatedCard& CardRack::Insert(const std::string& reader, emu::Personalisation personalisation) {
  EmulatedCard* card;
  {
    std::lock_guard lock(mutex);
    Entry& entry = entries[reader];
    if (entry.card) ++entry.cardChanges;  // the one there taken out first
    entry.card = std::make_unique<EmulatedCard>(std::move(personalisation));
    entry.insertion = ++insertions;
    entry.atr = (*entry.card)->AnswerToReset();
    entry.resets = 0;
    ++entry.cardChanges;
    card = entry.card.get();
  }
  changed.notify_all();
  return *card;
}

void CardRack::Pull(const std::string& reader) {
  {
    std::lock_guard lock(mutex);
    Entry& entry = entries[reader];
    if (entry.card) ++entry.cardChanges;
    entry.card.reset();
  }
  changed.notify_all();
}

void CardRack::ResetByAnotherProgram(const std::string& reader) {
  std::lock_guard lock(mutex);
  Entry& entry = entries.at(reader);
  (*entry.card)->Reset();
  ++entry.resets;
}

EmulatedCard& CardRack::SwapUnderReset(const std::string& reader, emu::Personalisation personalisation,
                                       std::vector<std::uint8_t> atr) {
  std::lock_guard lock(mutex);
  Entry& entry = entries.at(reader);
  entry.card = std::make_unique<EmulatedCard>(std::move(personalisation));
  entry.atr = atr.empty() ? emu::VelaCard::Atr() : std::move(atr);
  ++entry.resets;
  return *entry.card;
}

EmulatedCard* CardRack::Card(const std::string& reader) {
  std::lock_guard lock(mutex);
  const auto entry = entries.find(reader);
  return entry == entries.end() ? nullptr : entry->second.card.get();
}

std::vector<std::string> CardRack::Readers() {
  std::lock_guard lock(mutex);
  std::vector<std::string> readers;
  for (const auto& [name, entry] : entries) readers.push_back(name);
  return readers;
}

int CardRack::OpenTransactions() {
  std::lock_guard lock(mutex);
  return transactions;
}

void P11Test::SetUp() {
  liveBefore_ = host::HostHeap::Live();
  // A cache of the card's objects of this test's own, empty at the start.
  char folder[] = "/tmp/vela-p11-cache-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  cacheHome_ = folder;
  setenv("XDG_CACHE_HOME", folder, 1);
  // The marks PIN changes leave for other programs go there too.
  setenv("XDG_RUNTIME_DIR", folder, 1);
  CardRack::Get().Clear();
  CardRack::Get().Insert(kReader, personalisation_);
  ASSERT_EQ(C_GetFunctionList(&functions_), CKR_OK);
  if (initialise_) {
    ASSERT_EQ(functions_->C_Initialize(nullptr), CKR_OK);
  }
}

void P11Test::TearDown() {
  if (initialise_) {
    const CK_RV rv = functions_->C_Finalize(nullptr);
    EXPECT_TRUE(rv == CKR_OK || rv == CKR_CRYPTOKI_NOT_INITIALIZED) << rv;
  }
  EXPECT_EQ(CardRack::Get().OpenTransactions(), 0) << "a transaction was left open";
  CardRack::Get().Clear();
  EXPECT_EQ(host::HostHeap::Live(), liveBefore_) << "host blocks left over";
  unsetenv("XDG_CACHE_HOME");
  unsetenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  if (!cacheHome_.empty()) std::filesystem::remove_all(cacheHome_, ignored);
}

CK_SESSION_HANDLE P11Test::Open(bool readWrite) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  EXPECT_EQ(functions_->C_OpenSession(slot(), flags, nullptr, nullptr, &session), CKR_OK);
  return session;
}

void P11Test::Login(CK_SESSION_HANDLE session, const std::string& pin) {
  std::string bytes = pin;
  ASSERT_EQ(functions_->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(bytes.data()), bytes.size()),
            CKR_OK);
}

std::vector<CK_OBJECT_HANDLE> P11Test::Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern) {
  std::vector<CK_OBJECT_HANDLE> found;
  EXPECT_EQ(functions_->C_FindObjectsInit(session, pattern.data(), pattern.size()), CKR_OK);
  CK_OBJECT_HANDLE handles[5];
  CK_ULONG count = 0;
  do {
    EXPECT_EQ(functions_->C_FindObjects(session, handles, 5, &count), CKR_OK);
    found.insert(found.end(), handles, handles + count);
  } while (count == 5);
  EXPECT_EQ(functions_->C_FindObjectsFinal(session), CKR_OK);
  return found;
}

CK_OBJECT_HANDLE P11Test::Object(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, int container) {
  CK_BYTE id = static_cast<CK_BYTE>(container);
  const std::vector<CK_OBJECT_HANDLE> found =
      Find(session, {{CKA_CLASS, &objectClass, sizeof(objectClass)}, {CKA_ID, &id, 1}});
  return found.size() == 1 ? found.front() : CK_INVALID_HANDLE;
}

std::vector<std::uint8_t> P11Test::Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                             CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (functions_->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  std::vector<std::uint8_t> value(attribute.ulValueLen);
  attribute.pValue = value.data();
  EXPECT_EQ(functions_->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
  return value;
}

}  // namespace vela::test

namespace vela::pkcs11 {

std::unique_ptr<ReaderPort> MakeReaderPort(std::string*) { return std::make_unique<test::RackPort>(); }

}  // namespace vela::pkcs11
