// A host's PC/SC connection: context, reader list, one card handle. pcsclite's
// headers stay in pcsc_connection.cpp: their DWORD is 8 bytes, the module's 4.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::host {

class PcscConnection {
 public:
  PcscConnection() = default;
  ~PcscConnection();
  PcscConnection(const PcscConnection&) = delete;
  PcscConnection& operator=(const PcscConnection&) = delete;

  // Each returns 0 or the PC/SC result code.
  std::uint32_t Establish();
  std::uint32_t ListReaders(std::vector<std::string>* readers);
  // Connects shared, T=1 only, and reads the card's ATR. A previous card
  // handle is disconnected first.
  std::uint32_t Connect(const std::string& reader);
  // Leaves the card as it is; a no-op without a card handle.
  void Disconnect();
  // Disconnects and releases the context (a service that restarted makes
  // the old one useless); Establish makes a new one.
  void Release();

  // Whether a card sits in `reader`, without connecting to it.
  std::uint32_t ReaderHasCard(const std::string& reader, bool* present);
  // The state word of each reader now (SCARD_STATE_* bits, and in the high
  // half the count of cards the reader has seen come and go), without
  // waiting. A reader gone since it was listed has SCARD_STATE_UNKNOWN.
  std::uint32_t ReaderStates(const std::vector<std::string>& readers, std::vector<std::uint32_t>* states);
  // Blocks until a reader's state differs from the words ReaderStates gave,
  // or a reader comes or goes, or Cancel ends it (SCARD_E_CANCELLED).
  std::uint32_t WaitForChange(const std::vector<std::string>& readers, const std::vector<std::uint32_t>& states);
  // From another thread: ends a WaitForChange blocked on this context. One
  // that has not yet begun is not affected.
  void Cancel();
  // 0 while the connected card is still the one connected to; otherwise the
  // PC/SC code that says why not (SCARD_W_REMOVED_CARD, SCARD_W_RESET_CARD).
  std::uint32_t CardState();
  // SCardReconnect on the card handle, resetting the card or leaving it;
  // the ATR is read again.
  std::uint32_t Reconnect(bool reset);
  // One command APDU over T=1 and the card's whole answer.
  std::uint32_t Transmit(const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* answer);
  // Keeps other programs off the card between the two calls.
  std::uint32_t BeginTransaction();
  void EndTransaction();

  // The handles as the minidriver interface carries them (8 bytes each).
  std::uintptr_t context() const { return context_; }
  std::uintptr_t card() const { return card_; }
  const std::vector<std::uint8_t>& atr() const { return atr_; }

 private:
  std::uint32_t ReadAtr();

  std::uintptr_t context_ = 0;
  std::uintptr_t card_ = 0;
  bool established_ = false;
  bool connected_ = false;
  std::vector<std::uint8_t> atr_;
};

// Whether a state word from ReaderStates shows a card that answered, and the
// reader's count of cards come and gone.
bool StateHasCard(std::uint32_t state);
std::uint32_t StateCardChanges(std::uint32_t state);
bool StateReaderGone(std::uint32_t state);

// The reader's PC/SC part 10 feature list for a connected card handle:
// 6-byte entries (tag, length, control code big-endian). 0 or the PC/SC code.
std::uint32_t ReaderFeatureList(std::uintptr_t card, std::vector<std::uint8_t>* reply);

}  // namespace vela::host
