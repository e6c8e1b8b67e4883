// What the PKCS#11 module needs from below: the readers, a connection to the
// card in one of them, and the minidriver's entry. The module built for
// programs gets them from pcscd and libvela3ro.so (reader_port_pcsc.cpp); the
// unit tests link their own MakeReaderPort over emulated cards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/module_host.h"

namespace vela::pkcs11 {

// One connection to the card in a reader. Codes are PC/SC result codes.
class CardLink {
 public:
  virtual ~CardLink() = default;
  virtual std::uintptr_t context() const = 0;
  virtual std::uintptr_t card() const = 0;
  virtual const std::vector<std::uint8_t>& atr() const = 0;
  // 0 while the card connected to is still there and untouched;
  // SCARD_W_RESET_CARD after another program reset it; another code (as a
  // rule SCARD_W_REMOVED_CARD) when it has gone.
  virtual std::uint32_t State() = 0;
  // Takes up the connection again after someone else reset the card.
  virtual std::uint32_t Reconnect() = 0;
  // Resets the card, which forgets every PIN verified on it.
  virtual std::uint32_t Reset() = 0;
  virtual std::uint32_t BeginTransaction() = 0;
  virtual void EndTransaction() = 0;
  // One command to the card and its whole answer, status word included.
  virtual std::uint32_t Transmit(const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* answer) = 0;
};

// A reader and its card as the port sees them now.
struct ReaderStatus {
  std::string reader;
  bool cardIn = false;
  // The cards the reader has seen come and go: a card pulled and put back
  // between two looks still shows.
  std::uint32_t cardChanges = 0;
  // The port's own record of the state, for ReaderWatch::Wait.
  std::uint32_t word = 0;
};

// One waiter's watch on the readers, with a context of its own.
class ReaderWatch {
 public:
  virtual ~ReaderWatch() = default;
  // Blocks, holding nothing of the module, until the readers or their cards
  // differ from `known` (0: something may have changed), or Cancel ends it
  // (SCARD_E_CANCELLED), or another PC/SC code.
  virtual std::uint32_t Wait(const std::vector<ReaderStatus>& known) = 0;
  // From another thread: ends a Wait in progress. A Wait that has not yet
  // begun is not affected, as with PC/SC's own cancel.
  virtual void Cancel() = 0;
};

class ReaderPort {
 public:
  virtual ~ReaderPort() = default;
  // The readers there are now (none when the PC/SC service is not running).
  virtual std::uint32_t ListReaders(std::vector<std::string>* readers) = 0;
  virtual std::uint32_t CardPresent(const std::string& reader, bool* present) = 0;
  virtual std::uint32_t Connect(const std::string& reader, std::unique_ptr<CardLink>* link) = 0;
  // Every reader there is now and its card, without waiting.
  virtual std::uint32_t Statuses(std::vector<ReaderStatus>* statuses) = 0;
  virtual std::uint32_t Watch(std::unique_ptr<ReaderWatch>* watch) = 0;
  virtual host::AcquireFunction acquire() const = 0;
};

// Null, with the reason in `error`, when the minidriver cannot be loaded.
std::unique_ptr<ReaderPort> MakeReaderPort(std::string* error);

}  // namespace vela::pkcs11
