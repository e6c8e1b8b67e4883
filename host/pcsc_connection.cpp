#include "host/pcsc_connection.h"

#include "pcsc_api.h"  // the platform's PC/SC header, from host/linux or host/windows

#include <algorithm>

namespace vela::host {

namespace {

std::uint32_t Code(LONG rc) { return static_cast<std::uint32_t>(rc); }

// pcsclite's handles are `long`; the interface carries them as 8-byte integers.
SCARDCONTEXT AsContext(std::uintptr_t value) { return static_cast<SCARDCONTEXT>(value); }
SCARDHANDLE AsCard(std::uintptr_t value) { return static_cast<SCARDHANDLE>(value); }

}  // namespace

PcscConnection::~PcscConnection() { Release(); }

void PcscConnection::Release() {
  Disconnect();
  if (established_) SCardReleaseContext(AsContext(context_));
  established_ = false;
  context_ = 0;
}

std::uint32_t PcscConnection::Establish() {
  if (established_) return 0;
  SCARDCONTEXT context = 0;
  const LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  context_ = static_cast<std::uintptr_t>(context);
  established_ = true;
  return 0;
}

std::uint32_t PcscConnection::ListReaders(std::vector<std::string>* readers) {
  readers->clear();
  DWORD length = 0;
  LONG rc = SCardListReaders(AsContext(context_), nullptr, nullptr, &length);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  std::string multiString(length, '\0');
  rc = SCardListReaders(AsContext(context_), nullptr, multiString.data(), &length);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  multiString.resize(length);
  // A multi-string: names ended by a zero, the list by an empty name.
  std::size_t start = 0;
  while (start < multiString.size()) {
    const std::size_t end = multiString.find('\0', start);
    const std::size_t stop = end == std::string::npos ? multiString.size() : end;
    if (stop == start) break;
    readers->emplace_back(multiString, start, stop - start);
    start = stop + 1;
  }
  return 0;
}

std::uint32_t PcscConnection::Connect(const std::string& reader) {
  Disconnect();
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  const LONG rc = SCardConnect(AsContext(context_), reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                               &protocol);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  card_ = static_cast<std::uintptr_t>(card);
  connected_ = true;
  const std::uint32_t read = ReadAtr();
  if (read != 0) Disconnect();
  return read;
}

std::uint32_t PcscConnection::ReadAtr() {
  BYTE atr[kMaxAtrSize];
  DWORD atrLength = sizeof(atr);
  DWORD state = 0;
  DWORD protocol = 0;
  DWORD readerLength = 0;
  const LONG rc = SCardStatus(AsCard(card_), nullptr, &readerLength, &state, &protocol, atr, &atrLength);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  atr_.assign(atr, atr + atrLength);
  return 0;
}

void PcscConnection::Disconnect() {
  if (!connected_) return;
  SCardDisconnect(AsCard(card_), SCARD_LEAVE_CARD);
  connected_ = false;
  card_ = 0;
  atr_.clear();
}

std::uint32_t PcscConnection::ReaderHasCard(const std::string& reader, bool* present) {
  *present = false;
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const LONG rc = SCardGetStatusChange(AsContext(context_), 0, &state, 1);
  // A zero timeout answers at once; the time-out code only says nothing changed.
  if (rc != SCARD_S_SUCCESS && rc != static_cast<LONG>(SCARD_E_TIMEOUT)) return Code(rc);
  *present = (state.dwEventState & SCARD_STATE_PRESENT) != 0 && (state.dwEventState & SCARD_STATE_MUTE) == 0;
  return 0;
}

std::uint32_t PcscConnection::ReaderStates(const std::vector<std::string>& readers,
                                           std::vector<std::uint32_t>* states) {
  states->clear();
  if (readers.empty()) return 0;
  std::vector<SCARD_READERSTATE> asked(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    asked[i].szReader = readers[i].c_str();
    asked[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  const LONG rc = SCardGetStatusChange(AsContext(context_), 0, asked.data(), static_cast<DWORD>(asked.size()));
  if (rc != SCARD_S_SUCCESS && rc != static_cast<LONG>(SCARD_E_TIMEOUT)) return Code(rc);
  for (const SCARD_READERSTATE& state : asked) {
    states->push_back(static_cast<std::uint32_t>(state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)));
  }
  return 0;
}

std::uint32_t PcscConnection::WaitForChange(const std::vector<std::string>& readers,
                                            const std::vector<std::uint32_t>& states) {
  // The readers as last seen, and the reader list, whose entry carries the
  // number of readers in its high half.
  static const char kReaderList[] = "\\\\?PnP?\\Notification";
  std::vector<SCARD_READERSTATE> watched(readers.size() + 1);
  for (std::size_t i = 0; i < readers.size(); ++i) {
    watched[i].szReader = readers[i].c_str();
    watched[i].dwCurrentState = i < states.size() ? states[i] : SCARD_STATE_UNAWARE;
  }
  watched.back().szReader = kReaderList;
  watched.back().dwCurrentState = static_cast<DWORD>(readers.size() << 16);
  return Code(SCardGetStatusChange(AsContext(context_), INFINITE, watched.data(), static_cast<DWORD>(watched.size())));
}

void PcscConnection::Cancel() {
  if (established_) SCardCancel(AsContext(context_));
}

bool StateHasCard(std::uint32_t state) {
  return (state & SCARD_STATE_PRESENT) != 0 && (state & SCARD_STATE_MUTE) == 0;
}
std::uint32_t StateCardChanges(std::uint32_t state) { return state >> 16; }
bool StateReaderGone(std::uint32_t state) { return (state & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0; }

std::uint32_t PcscConnection::CardState() {
  if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
  DWORD readerLength = 0;
  DWORD state = 0;
  DWORD protocol = 0;
  BYTE atr[kMaxAtrSize];
  DWORD atrLength = sizeof(atr);
  return Code(SCardStatus(AsCard(card_), nullptr, &readerLength, &state, &protocol, atr, &atrLength));
}

std::uint32_t PcscConnection::Reconnect(bool reset) {
  if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
  DWORD protocol = 0;
  const LONG rc = SCardReconnect(AsCard(card_), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                                 reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD, &protocol);
  if (rc != SCARD_S_SUCCESS) return Code(rc);
  // The card answered the reset anew: another card may stand behind it.
  return ReadAtr();
}

std::uint32_t PcscConnection::Transmit(const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* answer) {
  if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
  constexpr std::size_t kShortAnswerBytes = 256 + 2;  // a short APDU's data and its status word
  answer->assign(kShortAnswerBytes, 0);
  DWORD length = static_cast<DWORD>(answer->size());
  const LONG rc = SCardTransmit(AsCard(card_), SCARD_PCI_T1, command.data(), static_cast<DWORD>(command.size()),
                                nullptr, answer->data(), &length);
  answer->resize(rc == SCARD_S_SUCCESS ? std::min<std::size_t>(length, answer->size()) : 0);
  return Code(rc);
}

std::uint32_t PcscConnection::BeginTransaction() {
  if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
  return Code(SCardBeginTransaction(AsCard(card_)));
}

void PcscConnection::EndTransaction() {
  if (connected_) SCardEndTransaction(AsCard(card_), SCARD_LEAVE_CARD);
}

std::uint32_t ReaderFeatureList(std::uintptr_t card, std::vector<std::uint8_t>* reply) {
  reply->assign(1024, 0);
  DWORD returned = 0;
  const LONG rc = SCardControl(AsCard(card), CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, reply->data(),
                               static_cast<DWORD>(reply->size()), &returned);
  reply->resize(rc == SCARD_S_SUCCESS ? std::min<std::size_t>(returned, reply->size()) : 0);
  return Code(rc);
}

}  // namespace vela::host
