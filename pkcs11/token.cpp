#include "pkcs11/token.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/minidriver_abi.h"
#include "core/secure_wipe.h"
#include "core/settings.h"

namespace vela::pkcs11 {
namespace {

using host::HostPtr;

constexpr CK_OBJECT_HANDLE kSessionObjectOffset = 0x8000;
constexpr std::size_t kContainers = 16;
constexpr std::size_t kMapRecordBytes = sizeof(CONTAINER_MAP_RECORD);
constexpr std::size_t kBlobHeader = sizeof(BCRYPT_ECCKEY_BLOB);
constexpr std::size_t kPointBytes = 64;  // X and Y of P-256

std::uint16_t Le16(const BYTE* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

Token::Token(std::unique_ptr<CardLink> cardLink, host::AcquireFunction acquireFunction, CK_OBJECT_HANDLE base)
    : link(std::move(cardLink)),
      acquire(acquireFunction),
      host(std::make_unique<host::CardHost>(acquire, link->context(), link->card(), link->atr())),
      atr(link->atr()),
      handleBase(base),
      nextSessionObject(base + kSessionObjectOffset) {
  ReadSettings(&commandSettings);
}

Token::~Token() {
  loginPin.Clear();
  for (Object& object : sessionObjects) WipeValue(object);
}

void Token::RenewHost() {
  host->Delete();
  host = std::make_unique<host::CardHost>(acquire, link->context(), link->card(), link->atr());
}

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

DWORD ReadSerial(CARD_DATA* cd, std::array<std::uint8_t, 10>* serial) {
  // The property is the card identifier: six bytes, then the serial number.
  BYTE identifier[16] = {};
  DWORD length = 0;
  const DWORD rc = cd->pfnCardGetProperty(cd, u"Card Serial Number", identifier, sizeof(identifier), &length, 0);
  if (rc != 0) return rc;
  std::memcpy(serial->data(), identifier + 6, serial->size());
  // The minidriver leaves the number zero where the card did not give it
  // (a read met a reset under way): no card carries that one.
  if (std::all_of(serial->begin(), serial->end(), [](std::uint8_t b) { return b == 0; })) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

DWORD ReadPinPad(CARD_DATA* cd, bool* pinPad) {
  PIN_INFO pin{};
  pin.dwVersion = 6;
  DWORD length = 0;
  const DWORD rc =
      cd->pfnCardGetProperty(cd, u"PIN Information", reinterpret_cast<BYTE*>(&pin), sizeof(pin), &length, ROLE_USER);
  if (rc == 0) *pinPad = pin.PinType == ExternalPinType;
  return rc;
}

DWORD ReadContainers(CARD_DATA* cd, std::vector<ContainerData>* containers, const ProvenContainer& proven) {
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
    ContainerData known;
    known.index = static_cast<int>(i);
    known.signature = signature;
    if (proven && proven(&known)) {
      containers->push_back(std::move(known));
      continue;
    }

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
    if (blob == nullptr || blobLength != kBlobHeader + kPointBytes) continue;
    BCRYPT_ECCKEY_BLOB header;
    std::memcpy(&header, blob, kBlobHeader);
    const DWORD magic = signature ? BCRYPT_ECDSA_PUBLIC_P256_MAGIC : BCRYPT_ECDH_PUBLIC_P256_MAGIC;
    if (header.dwMagic != magic || header.cbKey != kPointBytes / 2) continue;

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

void WipeValue(Object& object) {
  const auto value = object.attributes.find(CKA_VALUE);
  if (value != object.attributes.end() && !value->second.empty()) {
    SecureWipe(value->second.data(), value->second.size());
  }
}

}  // namespace vela::pkcs11
