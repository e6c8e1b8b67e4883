#include "pkcs11/slot.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/minidriver_abi.h"
#include "core/secure_wipe.h"

namespace vela::pkcs11 {
namespace {

using host::HostPtr;

constexpr CK_OBJECT_HANDLE kHandleRange = 0x10000;
constexpr CK_OBJECT_HANDLE kSessionObjectOffset = 0x8000;
constexpr std::size_t kContainers = 16;
constexpr std::size_t kMapRecordBytes = sizeof(CONTAINER_MAP_RECORD);
constexpr std::size_t kBlobHeader = sizeof(BCRYPT_ECCKEY_BLOB);
constexpr DWORD kUnknownAttempts = 0xFFFFFFFF;
// The minidriver's derivation takes at most 512 bytes of appended data; the
// KDF's counter takes four of them.
constexpr std::size_t kMaxSharedData = 512 - 4;
constexpr CK_ULONG kMaxDerivedBytes = 1024;
constexpr CK_FLAGS kUserPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
constexpr CK_FLAGS kSoPinFlags = CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;

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

// What a refusal of the minidriver means to a PKCS#11 caller.
CK_RV CardResult(DWORD code) {
  switch (code) {
    case 0: return CKR_OK;
    case SCARD_E_NO_MEMORY: return CKR_HOST_MEMORY;
    case SCARD_W_SECURITY_VIOLATION: return CKR_USER_NOT_LOGGED_IN;
    case SCARD_W_WRONG_CHV: return CKR_PIN_INCORRECT;
    case SCARD_W_CHV_BLOCKED: return CKR_PIN_LOCKED;
    default: return CKR_DEVICE_ERROR;
  }
}

// Serial number and PIN entry, read when the card is taken as a token.
DWORD ReadTokenFacts(Token& token) {
  CARD_DATA* cd = token.host.data();
  BYTE identifier[16] = {};
  DWORD length = 0;
  DWORD rc = cd->pfnCardGetProperty(cd, u"Card Serial Number", identifier, sizeof(identifier), &length, 0);
  if (rc != 0) return rc;
  std::memcpy(token.serial.data(), identifier + 6, token.serial.size());
  PIN_INFO pin{};
  pin.dwVersion = 6;
  rc = cd->pfnCardGetProperty(cd, u"PIN Information", reinterpret_cast<BYTE*>(&pin), sizeof(pin), &length, ROLE_USER);
  if (rc != 0) return rc;
  token.pinPad = pin.PinType == ExternalPinType;
  return 0;
}

// A derived key's value is wiped before its memory goes back to the heap.
void WipeValue(Object& object) {
  const auto value = object.attributes.find(CKA_VALUE);
  if (value != object.attributes.end() && !value->second.empty()) {
    SecureWipe(value->second.data(), value->second.size());
  }
}

// Drops the session objects `drop` picks, each wiped first.
template <class Predicate>
void DropSessionObjects(std::vector<Object>& objects, Predicate drop) {
  for (Object& object : objects) {
    if (drop(object)) WipeValue(object);
  }
  std::erase_if(objects, drop);
}

std::uint16_t Le16(const BYTE* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Every present container's key and certificate: the container map once,
// then per container its public key and its certificate file.
DWORD ReadContainers(CARD_DATA* cd, std::vector<ContainerData>* containers) {
  char mscp[] = "mscp";
  char cmapfile[] = "cmapfile";
  BYTE* map = nullptr;
  DWORD mapLength = 0;
  DWORD rc = cd->pfnCardReadFile(cd, mscp, cmapfile, 0, &map, &mapLength);
  HostPtr<BYTE> ownedMap(map);
  if (rc != 0) return rc;
  if (map == nullptr || mapLength < kContainers * kMapRecordBytes) return SCARD_F_INTERNAL_ERROR;
  for (std::size_t i = 0; i < kContainers; ++i) {
    const BYTE* record = map + i * kMapRecordBytes;
    if ((record[offsetof(CONTAINER_MAP_RECORD, bFlags)] & CONTAINER_MAP_VALID_CONTAINER) == 0) continue;
    const bool signature = Le16(record + offsetof(CONTAINER_MAP_RECORD, wSigKeySizeBits)) != 0;

    CONTAINER_INFO info{};
    info.dwVersion = 1;
    rc = cd->pfnCardGetContainerInfo(cd, static_cast<BYTE>(i), 0, &info);
    HostPtr<BYTE> signatureKey(info.pbSigPublicKey);
    HostPtr<BYTE> exchangeKey(info.pbKeyExPublicKey);
    // A key file that holds no key is no container; a card that does not
    // answer is an error of the whole read.
    if (rc == SCARD_E_NO_KEY_CONTAINER) continue;
    if (rc != 0) return rc;
    const BYTE* blob = signature ? signatureKey.get() : exchangeKey.get();
    const DWORD blobLength = signature ? info.cbSigPublicKey : info.cbKeyExPublicKey;
    if (blob == nullptr || blobLength != kBlobHeader + 2 * kKeyBytes) continue;
    BCRYPT_ECCKEY_BLOB header;
    std::memcpy(&header, blob, kBlobHeader);
    const DWORD magic = signature ? BCRYPT_ECDSA_PUBLIC_P256_MAGIC : BCRYPT_ECDH_PUBLIC_P256_MAGIC;
    if (header.dwMagic != magic || header.cbKey != kKeyBytes) continue;

    ContainerData& container = containers->emplace_back();
    container.index = static_cast<int>(i);
    container.signature = signature;
    container.point = {0x04};
    container.point.insert(container.point.end(), blob + kBlobHeader, blob + blobLength);

    char name[8];
    std::snprintf(name, sizeof(name), "%s%02zX", signature ? "ksc" : "kxc", i);
    BYTE* file = nullptr;
    DWORD fileLength = 0;
    rc = cd->pfnCardReadFile(cd, mscp, name, 0, &file, &fileLength);
    HostPtr<BYTE> ownedFile(file);
    if (rc == 0 && file != nullptr) container.certificateFile.assign(file, file + fileLength);
  }
  return 0;
}

}  // namespace

CK_OBJECT_HANDLE NextHandleBase() { return nextHandleBase.fetch_add(kHandleRange); }

Token::Token(std::unique_ptr<CardLink> cardLink, host::AcquireFunction acquire, CK_OBJECT_HANDLE base)
    : link(std::move(cardLink)),
      host(acquire, link->context(), link->card(), link->atr()),
      handleBase(base),
      nextSessionObject(base + kSessionObjectOffset) {}

Token::~Token() {
  if (!soPin.empty()) SecureWipe(soPin.data(), soPin.size());
  for (Object& object : sessionObjects) WipeValue(object);
}

Slot::Slot(CK_SLOT_ID id, std::string reader, ReaderPort& port) : id_(id), reader_(std::move(reader)), port_(port) {}

Slot::~Slot() = default;

// ---- Token presence ---------------------------------------------------------

CK_RV Slot::Refresh() {
  if (token_) CheckCard();
  if (token_) return CKR_OK;
  if (refused_) {
    if (refused_->State() == 0) return CKR_OK;
    refused_.reset();
  }
  bool present = false;
  if (port_.CardPresent(reader_, &present) != 0 || !present) return CKR_OK;
  MakeToken();
  return CKR_OK;
}

void Slot::MakeToken() {
  std::unique_ptr<CardLink> link;
  if (port_.Connect(reader_, &link) != 0) return;
  auto token = std::make_unique<Token>(std::move(link), port_.acquire(), NextHandleBase());
  if (token->link->BeginTransaction() != 0) return;
  DWORD rc = token->host.Acquire();
  if (rc == 0) rc = ReadTokenFacts(*token);
  if (rc != 0) token->host.Delete();
  token->link->EndTransaction();
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
  token_->host.Delete();
  if (transaction) link.EndTransaction();
  if (there && resetCard && token_->pinVerified) link.Reset();
  token_.reset();
}

CK_RV Slot::CheckCard() {
  if (!token_) return CKR_DEVICE_REMOVED;
  const std::uint32_t state = token_->link->State();
  if (state == 0) return CKR_OK;
  if (state == SCARD_W_RESET_CARD && token_->link->Reconnect() == 0) {
    // Another program reset the card, which forgot every PIN: the login
    // ends here as well.
    token_->pinVerified = false;
    ForgetLogin();
    return token_ ? CKR_OK : CKR_DEVICE_REMOVED;
  }
  DropToken(false);
  return CKR_DEVICE_REMOVED;
}

template <class Call>
CK_RV Slot::OnCard(Call call, DWORD* result) {
  if (!token_) return CKR_DEVICE_REMOVED;
  if (token_->link->BeginTransaction() != 0) {
    const CK_RV rv = CheckCard();
    if (rv != CKR_OK) return rv;
    if (token_->link->BeginTransaction() != 0) return CKR_DEVICE_ERROR;
  }
  *result = call(token_->host.data());
  token_->link->EndTransaction();
  if (*result != 0 && token_->link->State() != 0) return CheckCard();
  return CKR_OK;
}

bool Slot::TokenPresent() {
  Refresh();
  return token_ != nullptr;
}

CK_RV Slot::MechanismsAvailable() { return TokenPresent() ? CKR_OK : CKR_TOKEN_NOT_PRESENT; }

CK_RV Slot::GetSlotInfo(CK_SLOT_INFO* info) {
  const bool present = TokenPresent();
  std::memset(info, 0, sizeof(*info));
  Pad(info->slotDescription, sizeof(info->slotDescription), reader_);
  Pad(info->manufacturerID, sizeof(info->manufacturerID), "vela3ro");
  info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (present ? CKF_TOKEN_PRESENT : 0);
  return CKR_OK;
}

CK_RV Slot::GetTokenInfo(CK_TOKEN_INFO* info) {
  if (!TokenPresent()) return CKR_TOKEN_NOT_PRESENT;
  const Token& t = *token_;
  const std::string serial = Hex(t.serial);
  std::memset(info, 0, sizeof(*info));
  Pad(info->label, sizeof(info->label), "VELA G3 " + serial);
  Pad(info->manufacturerID, sizeof(info->manufacturerID), "vela3ro");
  Pad(info->model, sizeof(info->model), "VELA G3");
  // Sixteen characters: the last sixteen of the twenty hexadecimal digits.
  Pad(info->serialNumber, sizeof(info->serialNumber), serial.substr(serial.size() - sizeof(info->serialNumber)));
  info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_WRITE_PROTECTED |
                (t.pinPad ? CKF_PROTECTED_AUTHENTICATION_PATH : 0) | t.pinFlags;
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

// ---- Sessions ---------------------------------------------------------------

CK_RV Slot::OpenSession(CK_FLAGS flags, CK_SESSION_HANDLE handle) {
  if (!TokenPresent()) return CKR_TOKEN_NOT_PRESENT;
  const bool readWrite = (flags & CKF_RW_SESSION) != 0;
  if (!readWrite && token_->login == Login::kSecurityOfficer) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  Session& session = sessions_[handle];
  session.handle = handle;
  session.readWrite = readWrite;
  return CKR_OK;
}

CK_RV Slot::CloseSession(CK_SESSION_HANDLE handle) {
  if (sessions_.erase(handle) == 0) return CKR_SESSION_HANDLE_INVALID;
  if (token_) {
    DropSessionObjects(token_->sessionObjects, [&](const Object& object) { return object.owner == handle; });
    // The last session ends the login.
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

// ---- Login and PINs ---------------------------------------------------------

void Slot::ForgetLogin() {
  Token& t = *token_;
  const bool wasLoggedIn = t.login != Login::kPublic;
  t.login = Login::kPublic;
  if (!t.soPin.empty()) SecureWipe(t.soPin.data(), t.soPin.size());
  t.soPin.clear();
  if (!wasLoggedIn) return;
  DWORD ignored = 0;
  OnCard([](CARD_DATA* cd) { return cd->pfnCardDeauthenticateEx(cd, 0x2 | 0x4, 0); }, &ignored);
}

CK_RV Slot::EndLogin() {
  if (!token_ || token_->login == Login::kPublic) return CKR_OK;
  ForgetLogin();
  if (!token_) return CKR_DEVICE_REMOVED;
  // The minidriver forgets the login, the card does not: a reset makes the
  // card forget the PIN too, so no other program finds it verified.
  if (token_->pinVerified && token_->link->Reset() == 0) token_->pinVerified = false;
  return CKR_OK;
}

CK_RV Slot::PinOutcome(DWORD code, DWORD attempts, bool securityOfficer) {
  CK_FLAGS& flags = token_->pinFlags;
  const CK_FLAGS countLow = securityOfficer ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW;
  const CK_FLAGS finalTry = securityOfficer ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
  const CK_FLAGS locked = securityOfficer ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
  // A card whose counter starts above three reports 63Cx as it is.
  if ((code & 0xFFF0) == 0x63C0 && code <= 0xFFFF) {
    attempts = code & 0x0F;
    code = attempts == 0 ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV;
  }
  switch (code) {
    case 0:
      flags &= ~(securityOfficer ? kSoPinFlags : kUserPinFlags);
      return CKR_OK;
    case SCARD_W_WRONG_CHV:
      flags = (flags & ~finalTry) | countLow | (attempts == 1 ? finalTry : 0);
      return CKR_PIN_INCORRECT;
    case SCARD_W_CHV_BLOCKED:
      flags = (flags & ~finalTry) | countLow | locked;
      return CKR_PIN_LOCKED;
    default:
      return CardResult(code);
  }
}

CK_RV Slot::Login(Session& session, CK_USER_TYPE user, std::span<const std::uint8_t> pin, bool pinGiven) {
  Token& t = *token_;
  if (user != CKU_USER && user != CKU_SO && user != CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
  if (user == CKU_CONTEXT_SPECIFIC) {
    // No key asks for it; allowed as a fresh verification during an operation.
    if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (t.login != Login::kUser) return CKR_USER_NOT_LOGGED_IN;
  } else if (t.login == Login::kUser) {
    return user == CKU_USER ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  } else if (t.login == Login::kSecurityOfficer) {
    return user == CKU_SO ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  }
  if (user == CKU_SO) {
    for (const auto& [handle, other] : sessions_) {
      if (!other.readWrite) return CKR_SESSION_READ_ONLY_EXISTS;
    }
  }
  // On a keypad reader the reader collects the PIN; one given is not used.
  if (!t.pinPad) {
    if (!pinGiven) return CKR_ARGUMENTS_BAD;
    if (pin.size() < kMinPinBytes || pin.size() > kMaxPinBytes) return CKR_PIN_LEN_RANGE;
  }
  const bool securityOfficer = user == CKU_SO;
  Bytes bytes(pin.begin(), pin.end());
  const bool usePad = t.pinPad;
  DWORD attempts = kUnknownAttempts;
  DWORD result = 0;
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        return cd->pfnCardAuthenticateEx(cd, securityOfficer ? ROLE_ADMIN : ROLE_USER, 0,
                                         usePad ? nullptr : bytes.data(), usePad ? 0 : static_cast<DWORD>(bytes.size()),
                                         nullptr, nullptr, &attempts);
      },
      &result);
  if (rv != CKR_OK) {
    SecureWipe(bytes.data(), bytes.size());
    return rv;
  }
  const CK_RV outcome = PinOutcome(result, attempts, securityOfficer);
  if (outcome == CKR_OK) {
    token_->pinVerified = true;
    token_->login = securityOfficer ? Login::kSecurityOfficer : Login::kUser;
    // Unblocking needs the code again (C_InitPIN); it is kept until logout.
    if (securityOfficer && !usePad) token_->soPin = bytes;
  }
  SecureWipe(bytes.data(), bytes.size());
  return outcome;
}

CK_RV Slot::Logout() {
  if (token_->login == Login::kPublic) return CKR_USER_NOT_LOGGED_IN;
  return EndLogin();
}

CK_RV Slot::SetPin(Session& session, std::span<const std::uint8_t> oldPin, std::span<const std::uint8_t> newPin) {
  if (!session.readWrite) return CKR_SESSION_READ_ONLY;
  // The unblocking code cannot be changed on the card.
  if (token_->login == Login::kSecurityOfficer) return CKR_TOKEN_WRITE_PROTECTED;
  for (const auto& pin : {oldPin, newPin}) {
    if (pin.size() < kMinPinBytes || pin.size() > kMaxPinBytes) return CKR_PIN_LEN_RANGE;
  }
  Bytes current(oldPin.begin(), oldPin.end());
  Bytes next(newPin.begin(), newPin.end());
  DWORD attempts = kUnknownAttempts;
  DWORD result = 0;
  const bool loggedIn = token_->login == Login::kUser;
  CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        char16_t user[] = u"user";
        DWORD rc = cd->pfnCardChangeAuthenticator(cd, user, current.data(), static_cast<DWORD>(current.size()),
                                                  next.data(), static_cast<DWORD>(next.size()), 0,
                                                  CARD_AUTHENTICATE_PIN_PIN, &attempts);
        // The change leaves the minidriver logged in; a session that was
        // not stays so.
        if (rc == 0 && !loggedIn) cd->pfnCardDeauthenticate(cd, user, 0);
        return rc;
      },
      &result);
  SecureWipe(current.data(), current.size());
  SecureWipe(next.data(), next.size());
  if (rv != CKR_OK) return rv;
  if (result == 0) {
    token_->pinVerified = true;
    return PinOutcome(0, attempts, false);
  }
  // A refused change also ends the minidriver's (and the card's) login.
  if (result != SCARD_F_INTERNAL_ERROR && token_->login == Login::kUser) token_->login = Login::kPublic;
  return PinOutcome(result, attempts, false);
}

CK_RV Slot::InitPin(Session&, std::span<const std::uint8_t> pin) {
  if (token_->login != Login::kSecurityOfficer) return CKR_USER_NOT_LOGGED_IN;
  if (pin.size() < kMinPinBytes || pin.size() > kMaxPinBytes) return CKR_PIN_LEN_RANGE;
  // The code typed on a keypad is not known here, and unblocking needs it.
  if (token_->soPin.empty()) return CKR_FUNCTION_NOT_SUPPORTED;
  Bytes code = token_->soPin;
  Bytes next(pin.begin(), pin.end());
  DWORD result = 0;
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        char16_t admin[] = u"admin";
        return cd->pfnCardUnblockPin(cd, admin, code.data(), static_cast<DWORD>(code.size()), next.data(),
                                     static_cast<DWORD>(next.size()), 0, 0);
      },
      &result);
  SecureWipe(code.data(), code.size());
  SecureWipe(next.data(), next.size());
  if (rv != CKR_OK) return rv;
  if (result == 0) {
    token_->pinFlags &= ~kUserPinFlags;
    return CKR_OK;
  }
  return PinOutcome(result, kUnknownAttempts, true);
}

// ---- Objects ----------------------------------------------------------------

CK_RV Slot::LoadObjects() {
  if (token_->objectsLoaded) return CKR_OK;
  std::vector<ContainerData> containers;
  DWORD result = 0;
  const CK_RV rv = OnCard([&](CARD_DATA* cd) { return ReadContainers(cd, &containers); }, &result);
  if (rv != CKR_OK) return rv;
  if (result != 0) return CardResult(result);
  Token& t = *token_;
  for (const ContainerData& container : containers) {
    for (Object& object : ContainerObjects(container)) {
      object.handle = t.handleBase + 1 + t.objects.size();
      t.objects.push_back(std::move(object));
    }
  }
  t.objectsLoaded = true;
  return CKR_OK;
}

bool Slot::Visible(const Object& object) const { return !object.isPrivate || token_->login == Login::kUser; }

Object* Slot::FindObject(CK_OBJECT_HANDLE handle) {
  for (auto* list : {&token_->objects, &token_->sessionObjects}) {
    for (Object& object : *list) {
      if (object.handle == handle) return Visible(object) ? &object : nullptr;
    }
  }
  return nullptr;
}

CK_RV Slot::FindInit(Session& session, std::span<const CK_ATTRIBUTE> pattern) {
  if (session.finding) return CKR_OPERATION_ACTIVE;
  const CK_SESSION_HANDLE handle = session.handle;
  const CK_RV rv = LoadObjects();
  if (rv != CKR_OK) return rv;
  Session& current = sessions_.at(handle);
  current.found.clear();
  for (const auto* list : {&token_->objects, &token_->sessionObjects}) {
    for (const Object& object : *list) {
      if (Visible(object) && Matches(object, pattern)) current.found.push_back(object.handle);
    }
  }
  current.nextFound = 0;
  current.finding = true;
  return CKR_OK;
}

CK_RV Slot::FindNext(Session& session, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* count) {
  if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
  *count = 0;
  while (*count < max && session.nextFound < session.found.size()) {
    handles[(*count)++] = session.found[session.nextFound++];
  }
  return CKR_OK;
}

CK_RV Slot::FindFinal(Session& session) {
  if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
  session.finding = false;
  session.found.clear();
  return CKR_OK;
}

CK_RV Slot::GetAttributes(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  return pkcs11::GetAttributes(*object, attributes, count);
}

CK_RV Slot::ObjectSize(CK_OBJECT_HANDLE handle, CK_ULONG* size) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  *size = 0;
  for (const auto& [type, value] : object->attributes) *size += value.size();
  return CKR_OK;
}

CK_RV Slot::RefuseChange(Session& session, CK_OBJECT_HANDLE handle) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (object->owner != CK_INVALID_HANDLE) return CKR_ATTRIBUTE_READ_ONLY;
  return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
}

CK_RV Slot::DestroyObject(Session& session, CK_OBJECT_HANDLE handle) {
  const Object* object = FindObject(handle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (object->owner == CK_INVALID_HANDLE) return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
  DropSessionObjects(token_->sessionObjects, [&](const Object& candidate) { return candidate.handle == handle; });
  return CKR_OK;
}

// ---- Signing ----------------------------------------------------------------

CK_RV Slot::SignInit(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
  if (session.sign) return CKR_OPERATION_ACTIVE;
  const Mechanism* found = FindMechanism(mechanism.mechanism);
  if (found == nullptr || (found->flags & CKF_SIGN) == 0) return CKR_MECHANISM_INVALID;
  if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
  const Object* object = FindObject(key);
  if (object == nullptr || object->objectClass == CKO_CERTIFICATE) return CKR_KEY_HANDLE_INVALID;
  if (object->objectClass == CKO_SECRET_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (!object->canSign) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  session.sign.emplace(*found, key, object->container);
  session.signParts = false;
  return CKR_OK;
}

CK_RV Slot::SignBlock(Session& session, std::span<const std::uint8_t> callerHash, CK_BYTE_PTR signature,
                      CK_ULONG* length) {
  // Asked for the size, or given too little room: the operation goes on.
  if (signature == nullptr) {
    *length = kSignatureBytes;
    return CKR_OK;
  }
  if (*length < kSignatureBytes) {
    *length = kSignatureBytes;
    return CKR_BUFFER_TOO_SMALL;
  }
  SignOperation operation = std::move(*session.sign);
  session.sign.reset();
  operation.Update(callerHash);
  Bytes block = operation.Block(callerHash);
  CARD_SIGNING_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = static_cast<BYTE>(operation.container());
  info.dwKeySpec = AT_ECDSA_P256;
  info.pbData = block.data();
  info.cbData = static_cast<DWORD>(block.size());
  DWORD result = 0;
  const CK_RV rv = OnCard([&](CARD_DATA* cd) { return cd->pfnCardSignData(cd, &info); }, &result);
  HostPtr<BYTE> owned(info.pbSignedData);
  if (rv != CKR_OK) return rv;
  if (result != 0) return CardResult(result);
  if (owned == nullptr || info.cbSignedData != kSignatureBytes) return CKR_DEVICE_ERROR;
  std::memcpy(signature, owned.get(), kSignatureBytes);
  *length = kSignatureBytes;
  return CKR_OK;
}

CK_RV Slot::Sign(Session& session, std::span<const std::uint8_t> data, CK_BYTE_PTR signature, CK_ULONG* length) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  if (session.signParts) return CKR_OPERATION_ACTIVE;
  if (!session.sign->hashes() && data.empty()) {
    session.sign.reset();
    return CKR_DATA_LEN_RANGE;
  }
  return SignBlock(session, data, signature, length);
}

CK_RV Slot::SignUpdate(Session& session, std::span<const std::uint8_t> data) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  // CKM_ECDSA signs a hash the caller made: it has no parts.
  if (!session.sign->hashes()) {
    session.sign.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  session.sign->Update(data);
  session.signParts = true;
  return CKR_OK;
}

CK_RV Slot::SignFinal(Session& session, CK_BYTE_PTR signature, CK_ULONG* length) {
  if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
  if (!session.sign->hashes()) {
    session.sign.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return SignBlock(session, {}, signature, length);
}

// ---- Derivation -------------------------------------------------------------

CK_RV Slot::DeriveBytes(int container, const Bytes& point, const KdfHash& hash, std::span<const std::uint8_t> shared,
                        std::size_t length, Bytes* out) {
  // The peer's key as a key-agreement blob: "ECK1", the key size, X, Y.
  Bytes blob(kBlobHeader);
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDH_PUBLIC_P256_MAGIC, kKeyBytes};
  std::memcpy(blob.data(), &header, kBlobHeader);
  blob.insert(blob.end(), point.begin() + 1, point.end());
  // Room for the whole key at once: a vector that grew would free the
  // blocks made so far unwiped.
  out->reserve(length);
  DWORD result = 0;
  const CK_RV rv = OnCard(
      [&](CARD_DATA* cd) {
        CARD_DH_AGREEMENT_INFO agreement{};
        agreement.dwVersion = 2;
        agreement.bContainerIndex = static_cast<BYTE>(container);
        agreement.dwPublicKey = static_cast<DWORD>(blob.size());
        agreement.pbPublicKey = blob.data();
        DWORD rc = cd->pfnCardConstructDHAgreement(cd, &agreement);
        if (rc != 0) return rc;
        std::u16string hashName = hash.name;
        // X9.63: block i is the hash of the secret, the counter i and the shared data.
        for (std::uint32_t counter = 1; out->size() < length; ++counter) {
          Bytes append = KdfAppend(counter, shared);
          BCryptBuffer buffers[] = {
              {static_cast<ULONG>((hashName.size() + 1) * sizeof(char16_t)), KDF_HASH_ALGORITHM, hashName.data()},
              {static_cast<ULONG>(append.size()), KDF_SECRET_APPEND, append.data()},
          };
          BCryptBufferDesc parameters{0, 2, buffers};
          BYTE block[kShaMaxHashSize];
          CARD_DERIVE_KEY derive{};
          derive.dwVersion = 2;
          derive.pwszKDF = u"HASH";
          derive.bSecretAgreementIndex = agreement.bSecretAgreementIndex;
          derive.pParameterList = &parameters;
          derive.pbDerivedKey = block;
          derive.cbDerivedKey = sizeof(block);
          rc = cd->pfnCardDeriveKey(cd, &derive);
          if (rc == 0 && derive.cbDerivedKey != hash.size) rc = SCARD_F_INTERNAL_ERROR;
          if (rc == 0) out->insert(out->end(), block, block + std::min(hash.size, length - out->size()));
          SecureWipe(block, sizeof(block));
          if (rc != 0) break;
        }
        const DWORD destroyed = cd->pfnCardDestroyDHAgreement(cd, agreement.bSecretAgreementIndex, 0);
        return rc != 0 ? rc : destroyed;
      },
      &result);
  if (rv == CKR_OK && result == 0) return CKR_OK;
  if (!out->empty()) SecureWipe(out->data(), out->size());
  out->clear();
  return rv != CKR_OK ? rv : CardResult(result);
}

CK_RV Slot::Derive(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE base,
                   std::span<const CK_ATTRIBUTE> pattern, CK_OBJECT_HANDLE* key) {
  if (mechanism.mechanism != CKM_ECDH1_DERIVE) return CKR_MECHANISM_INVALID;
  if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_ECDH1_DERIVE_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto& params = *static_cast<const CK_ECDH1_DERIVE_PARAMS*>(mechanism.pParameter);
  // CKD_NULL would hand out the raw secret, which the minidriver keeps.
  const std::optional<KdfHash> hash = KdfHashFor(params.kdf);
  if (!hash) return CKR_MECHANISM_PARAM_INVALID;
  if ((params.ulSharedDataLen != 0 && params.pSharedData == nullptr) || params.ulSharedDataLen > kMaxSharedData ||
      params.pPublicData == nullptr) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const std::optional<Bytes> point = PeerPoint({params.pPublicData, params.ulPublicDataLen});
  if (!point) return CKR_MECHANISM_PARAM_INVALID;

  const Object* baseKey = FindObject(base);
  if (baseKey == nullptr || baseKey->objectClass == CKO_CERTIFICATE) return CKR_KEY_HANDLE_INVALID;
  if (baseKey->objectClass != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (!baseKey->canDerive) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  const int container = baseKey->container;

  // The new key's template: a secret key of the session, with its length.
  CK_ULONG keyType = CK_UNAVAILABLE_INFORMATION;
  CK_ULONG valueLength = 0;
  bool sensitive = false, extractable = true, isPrivate = false;
  Object derived;
  derived.objectClass = CKO_SECRET_KEY;
  for (const CK_ATTRIBUTE& attribute : pattern) {
    CK_ULONG number = 0;
    bool flag = false;
    CK_RV check = CKR_OK;
    switch (attribute.type) {
      case CKA_CLASS:
        check = ReadUlong(attribute, &number);
        if (check == CKR_OK && number != CKO_SECRET_KEY) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_KEY_TYPE:
        check = ReadUlong(attribute, &keyType);
        if (check == CKR_OK && keyType != CKK_GENERIC_SECRET && keyType != CKK_AES) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_VALUE_LEN:
        check = ReadUlong(attribute, &valueLength);
        break;
      case CKA_TOKEN:
        check = ReadBool(attribute, &flag);
        if (check == CKR_OK && flag) return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
        break;
      case CKA_PRIVATE:
        check = ReadBool(attribute, &isPrivate);
        break;
      case CKA_SENSITIVE:
        check = ReadBool(attribute, &sensitive);
        break;
      case CKA_EXTRACTABLE:
        check = ReadBool(attribute, &extractable);
        break;
      case CKA_ENCRYPT:
      case CKA_DECRYPT:
      case CKA_SIGN:
      case CKA_VERIFY:
      case CKA_WRAP:
      case CKA_UNWRAP:
      case CKA_DERIVE:
      case CKA_MODIFIABLE:
        check = ReadBool(attribute, &flag);
        if (check == CKR_OK) derived.attributes[attribute.type] = BoolValue(flag);
        break;
      case CKA_LABEL:
      case CKA_ID:
        if (attribute.pValue == nullptr && attribute.ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        derived.attributes[attribute.type] = Bytes(static_cast<const std::uint8_t*>(attribute.pValue),
                                                   static_cast<const std::uint8_t*>(attribute.pValue) +
                                                       attribute.ulValueLen);
        break;
      case CKA_VALUE:
        return CKR_ATTRIBUTE_READ_ONLY;
      default:
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (check != CKR_OK) return check;
  }
  if (keyType == CK_UNAVAILABLE_INFORMATION || valueLength == 0) return CKR_TEMPLATE_INCOMPLETE;
  if (valueLength > kMaxDerivedBytes ||
      (keyType == CKK_AES && valueLength != 16 && valueLength != 24 && valueLength != 32)) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }

  const CK_SESSION_HANDLE owner = session.handle;
  Bytes value;
  const CK_RV rv = DeriveBytes(container, *point, *hash, {params.pSharedData, params.ulSharedDataLen}, valueLength,
                               &value);
  if (rv != CKR_OK) return rv;

  derived.isPrivate = isPrivate;
  derived.owner = owner;
  derived.handle = token_->nextSessionObject++;
  auto& a = derived.attributes;
  a[CKA_CLASS] = UlongValue(CKO_SECRET_KEY);
  a[CKA_KEY_TYPE] = UlongValue(keyType);
  a[CKA_VALUE_LEN] = UlongValue(valueLength);
  a[CKA_TOKEN] = BoolValue(false);
  a[CKA_PRIVATE] = BoolValue(isPrivate);
  a[CKA_SENSITIVE] = BoolValue(sensitive);
  a[CKA_EXTRACTABLE] = BoolValue(extractable);
  a[CKA_ALWAYS_SENSITIVE] = BoolValue(sensitive);
  a[CKA_NEVER_EXTRACTABLE] = BoolValue(!extractable);
  a[CKA_LOCAL] = BoolValue(false);
  a[CKA_KEY_GEN_MECHANISM] = UlongValue(CKM_ECDH1_DERIVE);
  a[CKA_MODIFIABLE] = BoolValue(false);
  a.try_emplace(CKA_LABEL);
  a.try_emplace(CKA_ID);
  for (const CK_ATTRIBUTE_TYPE usage : {CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP, CKA_UNWRAP,
                                        CKA_DERIVE}) {
    a.try_emplace(usage, BoolValue(false));
  }
  a[CKA_VALUE] = std::move(value);
  if (sensitive || !extractable) derived.sensitive[CKA_VALUE] = true;
  *key = derived.handle;
  token_->sessionObjects.push_back(std::move(derived));
  return CKR_OK;
}

}  // namespace vela::pkcs11
