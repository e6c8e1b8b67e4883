// The readers of pcscd and libvela3ro.so, found beside this library (in the
// build tree, or one folder up when installed under .../pkcs11/).
#include <dlfcn.h>
#include <pthread.h>

#include <filesystem>
#include <mutex>

#include "host/pcsc_connection.h"
#include "pkcs11/fork_gate.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {
namespace {

constexpr std::uint32_t kNoService = 0x8010001D;         // SCARD_E_NO_SERVICE
constexpr std::uint32_t kInvalidHandle = 0x80100003;     // SCARD_E_INVALID_HANDLE
constexpr std::uint32_t kNoReaders = 0x8010002E;         // SCARD_E_NO_READERS_AVAILABLE
constexpr std::uint32_t kServiceStopped = 0x8010001E;    // SCARD_E_SERVICE_STOPPED
constexpr std::uint32_t kUnknownReader = 0x80100009;     // SCARD_E_UNKNOWN_READER

class PcscLink : public CardLink {
 public:
  explicit PcscLink(std::unique_ptr<host::PcscConnection> connection) : connection_(std::move(connection)) {}
  std::uintptr_t context() const override { return connection_->context(); }
  std::uintptr_t card() const override { return connection_->card(); }
  const std::vector<std::uint8_t>& atr() const override { return connection_->atr(); }
  std::uint32_t State() override { return connection_->CardState(); }
  std::uint32_t Reconnect() override { return connection_->Reconnect(false); }
  std::uint32_t Reset() override { return connection_->Reconnect(true); }
  std::uint32_t BeginTransaction() override { return connection_->BeginTransaction(); }
  void EndTransaction() override { connection_->EndTransaction(); }
  std::uint32_t Transmit(const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* answer) override {
    return connection_->Transmit(command, answer);
  }

 private:
  std::unique_ptr<host::PcscConnection> connection_;
};

class PcscWatch : public ReaderWatch {
 public:
  explicit PcscWatch(std::unique_ptr<host::PcscConnection> connection) : connection_(std::move(connection)) {}
  std::uint32_t Wait(const std::vector<ReaderStatus>& known) override {
    std::vector<std::string> readers;
    std::vector<std::uint32_t> words;
    for (const ReaderStatus& status : known) {
      readers.push_back(status.reader);
      words.push_back(status.word);
    }
    return connection_->WaitForChange(readers, words);
  }
  void Cancel() override { connection_->Cancel(); }

 private:
  std::unique_ptr<host::PcscConnection> connection_;
};

class PcscPort : public ReaderPort {
 public:
  explicit PcscPort(std::unique_ptr<host::Module> module) : module_(std::move(module)) {}

  std::uint32_t ListReaders(std::vector<std::string>* readers) override {
    std::lock_guard lock(mutex_);
    readers->clear();
    std::uint32_t rc = Ready();
    if (rc == 0) rc = listing_.ListReaders(readers);
    if (ServiceLost(rc)) {
      listing_.Release();
      rc = Ready();
      if (rc == 0) rc = listing_.ListReaders(readers);
    }
    if (rc == kNoReaders || rc == kNoService || rc == kServiceStopped) {
      readers->clear();
      return 0;
    }
    return rc;
  }

  std::uint32_t CardPresent(const std::string& reader, bool* present) override {
    std::lock_guard lock(mutex_);
    *present = false;
    std::uint32_t rc = Ready();
    if (rc == 0) rc = listing_.ReaderHasCard(reader, present);
    if (ServiceLost(rc)) {
      listing_.Release();
      rc = Ready();
      if (rc == 0) rc = listing_.ReaderHasCard(reader, present);
    }
    return rc == kUnknownReader ? 0 : rc;
  }

  std::uint32_t Connect(const std::string& reader, std::unique_ptr<CardLink>* link) override {
    // A connection of its own per card: the card's calls never wait on the
    // context that lists the readers.
    auto connection = std::make_unique<host::PcscConnection>();
    std::uint32_t rc = connection->Establish();
    if (rc == 0) rc = connection->Connect(reader);
    if (rc != 0) return rc;
    *link = std::make_unique<PcscLink>(std::move(connection));
    return 0;
  }

  std::uint32_t Statuses(std::vector<ReaderStatus>* statuses) override {
    statuses->clear();
    std::vector<std::string> readers;
    std::uint32_t rc = ListReaders(&readers);
    std::vector<std::uint32_t> words;
    if (rc == 0) {
      std::lock_guard lock(mutex_);
      rc = Ready();
      if (rc == 0) rc = listing_.ReaderStates(readers, &words);
    }
    if (rc == kNoService || rc == kServiceStopped) return 0;
    if (rc != 0) return rc;
    for (std::size_t i = 0; i < readers.size() && i < words.size(); ++i) {
      if (host::StateReaderGone(words[i])) continue;
      statuses->push_back({readers[i], host::StateHasCard(words[i]), host::StateCardChanges(words[i]), words[i]});
    }
    return 0;
  }

  std::uint32_t Watch(std::unique_ptr<ReaderWatch>* watch) override {
    // A context of its own: the one that lists the readers is never blocked,
    // and a cancel ends this waiter only.
    auto connection = std::make_unique<host::PcscConnection>();
    const std::uint32_t rc = connection->Establish();
    if (rc != 0) return rc;
    *watch = std::make_unique<PcscWatch>(std::move(connection));
    return 0;
  }

  host::AcquireFunction acquire() const override { return module_->acquire(); }

 private:
  std::uint32_t Ready() { return listing_.Establish(); }
  // pcscd restarted (or stopped) since the context was made: worth one more
  // try with a new one.
  static bool ServiceLost(std::uint32_t rc) {
    return rc == kNoService || rc == kInvalidHandle || rc == kServiceStopped;
  }

  std::unique_ptr<host::Module> module_;
  std::mutex mutex_;
  host::PcscConnection listing_;
};

// This library's own folder.
std::string OwnDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&MakeReaderPort), &info) == 0 || info.dli_fname == nullptr) return ".";
  return std::filesystem::path(info.dli_fname).parent_path().string();
}

}  // namespace

std::unique_ptr<ReaderPort> MakeReaderPort(std::string* error) {
  // Once per load of this library: glibc drops the handlers when it is unloaded.
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { pthread_atfork(ForkGate::Prepare, ForkGate::Parent, ForkGate::Child); });
  auto module = host::Module::Load(host::ModulePathNear(OwnDirectory()), error);
  if (!module) return nullptr;
  return std::make_unique<PcscPort>(std::move(module));
}

}  // namespace vela::pkcs11
