// The slot, its token and its sessions: a card noticed when it comes and
// goes, taken as a token when the minidriver accepts it, and the sessions
// on it opened and closed.
#include "pkcs11/slot.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/minidriver_abi.h"
#include "pkcs11/card_access.h"
#include "pkcs11/card_proof.h"
#include "pkcs11/pin_status.h"

namespace vela::pkcs11 {
namespace {

constexpr CK_OBJECT_HANDLE kHandleRange = 0x10000;
// Refusals while a reset is under way that taking up a card waits out,
// and the pause before each new try.
constexpr int kRefusalRounds = 6;
constexpr std::chrono::milliseconds kRefusalPause{20};

std::atomic<CK_OBJECT_HANDLE> nextHandleBase{kHandleRange};

void Pad(unsigned char* field, std::size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char digits[3];
  for (const std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X", b);
    out += digits;
  }
  return out;
}

// A card whose objects the cache holds is taken without the minidriver: its
// serial number, read from the card, finds the file, and the minidriver is
// acquired when a call first needs it. Any other card is acquired now, and
// the minidriver gives its serial number. Inside a transaction.
DWORD TakeCard(Token& token, bool useCache) {
  if (useCache) {
    const ObjectCache cache(ObjectCache::DefaultHome());
    std::array<std::uint8_t, 10> serial{};
    if (cache.HoldsCardWith(token.atr) && ReadCardSerial(*token.link, &serial)) {
      token.cached = cache.Load(serial, token.atr);
      if (token.cached) {
        token.serial = serial;
        return 0;
      }
    }
  }
  const DWORD rc = token.host->Acquire();
  return rc != 0 ? rc : ReadSerial(token.card(), &token.serial);
}

}  // namespace

CK_OBJECT_HANDLE NextHandleBase() { return nextHandleBase.fetch_add(kHandleRange); }

Slot::Slot(CK_SLOT_ID id, std::string reader, ReaderPort& port, ModuleSettings settings)
    : id_(id), reader_(std::move(reader)), port_(port), settings_(settings) {}

Slot::~Slot() = default;

std::string Slot::reader() const {
  std::lock_guard lock(readerMutex_);
  return reader_;
}

bool Slot::TakeReader(const std::string& reader) {
  std::lock_guard lock(readerMutex_);
  if (!reader_.empty() || reader.empty()) return false;
  reader_ = reader;
  return true;
}

// ---- Token presence ---------------------------------------------------------

CK_RV Slot::Refresh() {
  if (token_) CheckCard();
  if (token_) return CKR_OK;
  if (refused_) {
    if (refused_->State() == 0) return CKR_OK;
    refused_.reset();
  }
  const std::string name = reader();
  bool present = false;
  if (name.empty() || port_.CardPresent(name, &present) != 0 || !present) return CKR_OK;
  MakeToken();
  return CKR_OK;
}

void Slot::MakeToken() {
  const std::string name = reader();
  std::unique_ptr<CardLink> link;
  // Another program's reset may come at any step of taking a card up, as
  // of any later call: each is waited out, and only a card the minidriver
  // refuses for itself is kept as refused. While a reset is under way the
  // card may also refuse a connection, a reconnection or a command: a few
  // such refusals are waited out too, with a pause before each new try.
  const auto end = std::chrono::steady_clock::now() + kResetsWaitedOut;
  int refusals = 0;
  const auto refusalWaitedOut = [&] {
    bool present = false;
    if (++refusals >= kRefusalRounds || port_.CardPresent(name, &present) != 0 || !present) return false;
    std::this_thread::sleep_for(kRefusalPause);
    return true;
  };
  DWORD rc = port_.Connect(name, &link);
  for (; rc != 0; rc = port_.Connect(name, &link)) {
    // A reset between connecting and reading the card's ATR.
    if (rc == SCARD_W_RESET_CARD ? std::chrono::steady_clock::now() >= end : !refusalWaitedOut()) return;
  }
  auto token = std::make_unique<Token>(std::move(link), port_.acquire(), NextHandleBase());
  for (bool first = true; first || std::chrono::steady_clock::now() < end; first = false) {
    CardLink& cardLink = *token->link;
    rc = cardLink.BeginTransaction();
    if (rc == 0) {
      rc = TakeCard(*token, settings_.objectCache);
      if (rc != 0) token->host->Delete();
      const bool reset = rc != 0 && cardLink.State() == SCARD_W_RESET_CARD;
      cardLink.EndTransaction();
      if (rc == 0 || (!reset && !refusalWaitedOut())) break;
      token->RenewHost();
    } else if (rc != SCARD_W_RESET_CARD) {
      return;
    }
    rc = cardLink.Reconnect();
    if (rc != 0 && rc != SCARD_W_RESET_CARD && !refusalWaitedOut()) return;
    rc = SCARD_W_RESET_CARD;
  }
  if (rc == SCARD_W_RESET_CARD) return;
  if (rc != 0) {
    refused_ = std::move(token->link);
    return;
  }
  token_ = std::move(token);
}

void Slot::DropToken(bool resetCard) {
  sessions_.clear();
  if (!token_) return;
  CardLink& link = *token_->link;
  const bool there = link.State() == 0;
  // Deleting the context selects the application; inside a transaction that
  // cannot come between another program's commands.
  const bool transaction = there && link.BeginTransaction() == 0;
  token_->host->Delete();
  if (transaction) link.EndTransaction();
  // The end of this program's use of the card: a PIN verified here goes,
  // and one verified by a program that ended without a reset.
  if (resetCard && (token_->pinVerified ? there : !token_->useEnded && UserPinVerified(link))) link.Reset();
  token_.reset();
}

bool Slot::TokenPresent() {
  Refresh();
  return token_ != nullptr;
}

bool Slot::MayHoldToken() {
  if (TokenPresent()) return true;
  const std::string name = reader();
  bool present = false;
  return !refused_ && !name.empty() && port_.CardPresent(name, &present) == 0 && present;
}

CK_RV Slot::MechanismsAvailable() { return TokenPresent() ? CKR_OK : CKR_TOKEN_NOT_PRESENT; }

CK_RV Slot::GetSlotInfo(CK_SLOT_INFO* info) {
  const bool present = TokenPresent();
  std::memset(info, 0, sizeof(*info));
  const std::string name = reader();
  Pad(info->slotDescription, sizeof(info->slotDescription), name.empty() ? "no reader yet" : name);
  Pad(info->manufacturerID, sizeof(info->manufacturerID), "vela3ro");
  info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (present ? CKF_TOKEN_PRESENT : 0);
  return CKR_OK;
}

CK_RV Slot::GetTokenInfo(CK_TOKEN_INFO* info) {
  if (!TokenPresent()) return CKR_TOKEN_NOT_PRESENT;
  bool pinPad = false;
  if (PinPad(&pinPad) != CKR_OK) return token_ ? CKR_DEVICE_ERROR : CKR_TOKEN_NOT_PRESENT;
  const Token& t = *token_;
  const std::string serial = Hex(t.serial);
  std::memset(info, 0, sizeof(*info));
  Pad(info->label, sizeof(info->label), "VELA G3 " + serial);
  Pad(info->manufacturerID, sizeof(info->manufacturerID), "vela3ro");
  Pad(info->model, sizeof(info->model), "VELA G3");
  // Sixteen characters: the last sixteen of the twenty hexadecimal digits.
  Pad(info->serialNumber, sizeof(info->serialNumber), serial.substr(serial.size() - sizeof(info->serialNumber)));
  info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_WRITE_PROTECTED |
                (pinPad ? CKF_PROTECTED_AUTHENTICATION_PATH : 0) | t.pinFlags;
  CK_ULONG readWrite = 0;
  for (const auto& [handle, session] : sessions_) readWrite += session.readWrite ? 1 : 0;
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = sessions_.size();
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulRwSessionCount = readWrite;
  info->ulMaxPinLen = kMaxPinBytes;
  info->ulMinPinLen = kMinPinBytes;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  std::memset(info->utcTime, ' ', sizeof(info->utcTime));
  return CKR_OK;
}

CK_RV Slot::PinPad(bool* pinPad) {
  if (!token_->pinPad) {
    bool typedOnPad = false;
    DWORD result = 0;
    const CK_RV rv = OnCard([&](CARD_DATA* cd) { return ReadPinPad(cd, &typedOnPad); }, &result);
    if (rv != CKR_OK) return rv;
    if (result != 0) return CardResult(result);
    token_->pinPad = typedOnPad;
  }
  *pinPad = *token_->pinPad;
  return CKR_OK;
}

// ---- Sessions ---------------------------------------------------------------

CK_RV Slot::OpenSession(CK_FLAGS flags, CK_SESSION_HANDLE handle) {
  if (!TokenPresent()) return CKR_TOKEN_NOT_PRESENT;
  const bool readWrite = (flags & CKF_RW_SESSION) != 0;
  if (!readWrite && token_->login == Login::kSecurityOfficer) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  token_->useEnded = false;
  Session& session = sessions_[handle];
  session.handle = handle;
  session.readWrite = readWrite;
  return CKR_OK;
}

CK_RV Slot::CloseSession(CK_SESSION_HANDLE handle) {
  if (sessions_.erase(handle) == 0) return CKR_SESSION_HANDLE_INVALID;
  if (token_) {
    DropSessionObjects(token_->sessionObjects, [&](const Object& object) { return object.owner == handle; });
    // The last session ends the login, and the card forgets any PIN
    // verified here.
    if (sessions_.empty()) EndLogin();
  }
  return CKR_OK;
}

CK_RV Slot::CloseAllSessions() {
  sessions_.clear();
  if (token_) {
    DropSessionObjects(token_->sessionObjects, [](const Object&) { return true; });
    EndLogin();
  }
  return CKR_OK;
}

std::vector<CK_SESSION_HANDLE> Slot::SessionHandles() const {
  std::vector<CK_SESSION_HANDLE> handles;
  for (const auto& [handle, session] : sessions_) handles.push_back(handle);
  return handles;
}

CK_RV Slot::CheckSession(CK_SESSION_HANDLE handle, Session** session) {
  const auto found = sessions_.find(handle);
  if (found == sessions_.end()) return CKR_SESSION_HANDLE_INVALID;
  const CK_RV rv = CheckCard();
  if (rv != CKR_OK) return rv;
  *session = &sessions_.at(handle);
  return CKR_OK;
}

CK_RV Slot::GetSessionInfo(const Session& session, CK_SESSION_INFO* info) const {
  info->slotID = id_;
  info->flags = CKF_SERIAL_SESSION | (session.readWrite ? CKF_RW_SESSION : 0);
  info->ulDeviceError = 0;
  switch (token_->login) {
    case Login::kPublic: info->state = session.readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION; break;
    case Login::kUser: info->state = session.readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS; break;
    case Login::kSecurityOfficer: info->state = CKS_RW_SO_FUNCTIONS; break;
  }
  return CKR_OK;
}

void Slot::Shutdown() {
  DropToken(true);
  refused_.reset();
}

void Slot::AbandonAtExit() {
  sessions_.clear();
  refused_.reset();
  if (!token_) return;
  // The minidriver context and what it holds are left to the process's end:
  // the minidriver may already be on its way out.
  Token* token = token_.release();
  token->loginPin.Clear();
  for (Object& object : token->sessionObjects) WipeValue(object);
  if (token->pinVerified || UserPinVerified(*token->link)) token->link->Reset();
  token->link.reset();
}

}  // namespace vela::pkcs11
