// A test winscard.dll for Wine, whose own winscard is a stub: one reader whose
// card is vela-card on 127.0.0.1, port VELA_CARD_PORT. Every message is a
// 2-byte big-endian length and a payload; a 1-byte payload is a power control,
// FF C0 starts an SCardControl, anything else is an APDU.
// The T=1 records are defined here, so winscard.h must not import them.
#define WINSCARDDATA
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

constexpr SCARDCONTEXT kContext = 0x5C0;
constexpr SCARDHANDLE kCard = 0x5CA;
constexpr char kReaderName[] = "VELA TCP Reader 0";
// With VELA_MUTE_READER set, a second reader whose card never answers: a
// connect to it fails as a card without an ATR does.
constexpr char kMuteReaderName[] = "VELA TCP Reader 1";
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kGetAtr = 0x04;

// One card at a time, as the tests use it.
SOCKET g_socket = INVALID_SOCKET;
std::vector<std::uint8_t> g_atr;

bool SendAll(const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const int sent = send(g_socket, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool ReceiveAll(std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const int got = recv(g_socket, reinterpret_cast<char*>(data), static_cast<int>(length), 0);
    if (got <= 0) return false;
    data += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool SendFrame(const std::vector<std::uint8_t>& payload) {
  if (payload.size() > 0xFFFF) return false;
  const std::uint8_t header[2] = {static_cast<std::uint8_t>(payload.size() >> 8),
                                  static_cast<std::uint8_t>(payload.size())};
  return SendAll(header, 2) && SendAll(payload.data(), payload.size());
}

bool ReceiveFrame(std::vector<std::uint8_t>* payload) {
  std::uint8_t header[2];
  if (!ReceiveAll(header, 2)) return false;
  payload->resize(static_cast<std::size_t>(header[0]) << 8 | header[1]);
  return payload->empty() || ReceiveAll(payload->data(), payload->size());
}

bool Exchange(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>* reply) {
  return SendFrame(request) && ReceiveFrame(reply);
}

void CloseCard() {
  if (g_socket != INVALID_SOCKET) closesocket(g_socket);
  g_socket = INVALID_SOCKET;
  g_atr.clear();
}

LONG OpenCard() {
  char port[16] = {};
  const DWORD n = GetEnvironmentVariableA("VELA_CARD_PORT", port, sizeof port);
  if (n == 0 || n >= sizeof port) return SCARD_E_NO_READERS_AVAILABLE;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (g_socket == INVALID_SOCKET) return SCARD_E_NO_SERVICE;
  if (connect(g_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseCard();
    return SCARD_E_NO_SMARTCARD;
  }
  const BOOL noDelay = TRUE;
  setsockopt(g_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  // Power controls other than the ATR request are not answered.
  std::vector<std::uint8_t> atr;
  if (!SendFrame({kPowerOn}) || !Exchange({kGetAtr}, &atr) || atr.empty() || atr.size() > 33) {
    CloseCard();
    return SCARD_W_UNRESPONSIVE_CARD;
  }
  g_atr = atr;
  return SCARD_S_SUCCESS;
}

bool ValidCard(SCARDHANDLE card) { return card == kCard && g_socket != INVALID_SOCKET; }

bool MuteReaderListed() { return GetEnvironmentVariableA("VELA_MUTE_READER", nullptr, 0) > 0; }

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return SCARD_E_NO_SERVICE;
  *context = kContext;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
  if (context != kContext) return SCARD_E_INVALID_HANDLE;
  WSACleanup();
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD, DWORD preferredProtocols, LPSCARDHANDLE card,
                          LPDWORD activeProtocol) {
  if (context != kContext) return SCARD_E_INVALID_HANDLE;
  if (reader == nullptr || card == nullptr || activeProtocol == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (MuteReaderListed() && std::strcmp(reader, kMuteReaderName) == 0) return SCARD_W_UNRESPONSIVE_CARD;
  if (std::strcmp(reader, kReaderName) != 0) return SCARD_E_UNKNOWN_READER;
  if ((preferredProtocols & SCARD_PROTOCOL_T1) == 0) return SCARD_E_PROTO_MISMATCH;
  if (g_socket != INVALID_SOCKET) return SCARD_E_SHARING_VIOLATION;
  if (const LONG rc = OpenCard(); rc != SCARD_S_SUCCESS) return rc;
  *card = kCard;
  *activeProtocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD) {
  if (!ValidCard(card)) return SCARD_E_INVALID_HANDLE;
  CloseCard();
  return SCARD_S_SUCCESS;
}

// Only the ATR, state and protocol; the reader name is not reported.
LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR, LPDWORD readerLength, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength) {
  if (!ValidCard(card)) return SCARD_E_INVALID_HANDLE;
  if (readerLength != nullptr) *readerLength = 0;
  if (state != nullptr) *state = SCARD_SPECIFIC;
  if (protocol != nullptr) *protocol = SCARD_PROTOCOL_T1;
  if (atrLength == nullptr) return SCARD_S_SUCCESS;
  if (atr == nullptr || *atrLength < g_atr.size()) {
    *atrLength = static_cast<DWORD>(g_atr.size());
    return atr == nullptr ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
  }
  std::memcpy(atr, g_atr.data(), g_atr.size());
  *atrLength = static_cast<DWORD>(g_atr.size());
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE send, DWORD sendLength,
                          LPSCARD_IO_REQUEST, LPBYTE receive, LPDWORD receiveLength) {
  if (!ValidCard(card)) return SCARD_E_INVALID_HANDLE;
  // The card offers T=1 only: a caller must hand over the T=1 record.
  if (sendPci == nullptr || sendPci->dwProtocol != SCARD_PROTOCOL_T1) return SCARD_E_PROTO_MISMATCH;
  if (send == nullptr || sendLength < 4 || receive == nullptr || receiveLength == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  // A one-byte command would read as a power control, FF C0 as a control call.
  if (send[0] == 0xFF && send[1] == 0xC0) return SCARD_E_INVALID_PARAMETER;
  std::vector<std::uint8_t> reply;
  if (!Exchange({send, send + sendLength}, &reply)) {
    CloseCard();
    return SCARD_W_REMOVED_CARD;
  }
  if (reply.size() < 2) return SCARD_E_COMM_DATA_LOST;
  if (reply.size() > *receiveLength) return SCARD_E_INSUFFICIENT_BUFFER;
  std::memcpy(receive, reply.data(), reply.size());
  *receiveLength = static_cast<DWORD>(reply.size());
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outSize,
                         LPDWORD returned) {
  if (!ValidCard(card)) return SCARD_E_INVALID_HANDLE;
  if (returned == nullptr || (in == nullptr && inLength > 0)) return SCARD_E_INVALID_PARAMETER;
  std::vector<std::uint8_t> request = {0xFF, 0xC0, static_cast<std::uint8_t>(code >> 24),
                                       static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 8),
                                       static_cast<std::uint8_t>(code)};
  const auto* input = static_cast<const std::uint8_t*>(in);
  if (inLength > 0) request.insert(request.end(), input, input + inLength);
  std::vector<std::uint8_t> reply;
  if (!Exchange(request, &reply)) {
    CloseCard();
    return SCARD_W_REMOVED_CARD;
  }
  if (reply.size() < 4) return SCARD_E_COMM_DATA_LOST;
  const LONG result = static_cast<LONG>(static_cast<DWORD>(reply[0]) << 24 | static_cast<DWORD>(reply[1]) << 16 |
                                        static_cast<DWORD>(reply[2]) << 8 | reply[3]);
  *returned = 0;
  if (result != SCARD_S_SUCCESS) return result;
  const std::size_t outputLength = reply.size() - 4;
  if (outputLength > outSize || (out == nullptr && outputLength > 0)) return SCARD_E_INSUFFICIENT_BUFFER;
  if (outputLength > 0) std::memcpy(out, reply.data() + 4, outputLength);
  *returned = static_cast<DWORD>(outputLength);
  return SCARD_S_SUCCESS;
}

// The reader (and the mute one), as a multi-string (the list is not
// allocated for the caller: SCARD_AUTOALLOCATE is refused).
LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
  if (context != kContext) return SCARD_E_INVALID_HANDLE;
  if (length == nullptr || (readers != nullptr && *length == SCARD_AUTOALLOCATE)) return SCARD_E_INVALID_PARAMETER;
  const bool mute = MuteReaderListed();
  const DWORD needed = sizeof kReaderName + (mute ? sizeof kMuteReaderName : 0) + 1;
  if (readers == nullptr) {
    *length = needed;
    return SCARD_S_SUCCESS;
  }
  if (*length < needed) {
    *length = needed;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  std::memcpy(readers, kReaderName, sizeof kReaderName);
  if (mute) std::memcpy(readers + sizeof kReaderName, kMuteReaderName, sizeof kMuteReaderName);
  readers[needed - 1] = '\0';
  *length = needed;
  return SCARD_S_SUCCESS;
}

// The reader always holds the card; nothing is waited for.
LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD, LPSCARD_READERSTATEA states, DWORD count) {
  if (context != kContext) return SCARD_E_INVALID_HANDLE;
  if (states == nullptr && count > 0) return SCARD_E_INVALID_PARAMETER;
  for (DWORD i = 0; i < count; ++i) {
    const bool ours = states[i].szReader != nullptr && std::strcmp(states[i].szReader, kReaderName) == 0;
    states[i].dwEventState = SCARD_STATE_CHANGED | (ours ? SCARD_STATE_PRESENT : SCARD_STATE_UNKNOWN);
  }
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD, DWORD preferredProtocols, DWORD, LPDWORD activeProtocol) {
  if (!ValidCard(card)) return SCARD_E_INVALID_HANDLE;
  if ((preferredProtocols & SCARD_PROTOCOL_T1) == 0) return SCARD_E_PROTO_MISMATCH;
  if (activeProtocol != nullptr) *activeProtocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}

// One program at a time uses the bridge: a transaction has nobody to keep out.
LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) { return ValidCard(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE; }
LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD) {
  return ValidCard(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

}  // extern "C"
