// Container public keys and the container properties.
#include <cstring>
#include <span>
#include <string_view>

#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"
#include "files/virtual_files.h"

namespace vela {

namespace {

constexpr DWORD kContainerInfoVersion = 1;  // CONTAINER_INFO_CURRENT_VERSION
// The DF that SelectApplication leaves current.
constexpr WORD kApplicationDfId = 0xDF02;
constexpr BYTE kPointTag = 0x86;

constexpr std::u16string_view kPropertyContainerInfo = u"Container Info";
constexpr std::u16string_view kPropertyPinIdentifier = u"PIN Identifier";
constexpr std::u16string_view kPropertyAssociatedEcdhKey = u"Associated ECDH Key";

// Exact comparison that reads no further into the host's string than the
// expected name and one more unit.
bool PropertyIs(LPCWSTR name, std::u16string_view expected) {
  for (char16_t c : expected) {
    if (*name++ != c) return false;
  }
  return *name == 0;
}

void PutDword(BYTE* out, DWORD value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

// Selects the entry's public-key file. Entries of the application DF find it
// in the current DF; others are selected by path in their own DF, the file
// the profile's probe looked at.
DWORD SelectPublicKeyFile(const CARD_DATA* cardData, const ProfileEntry& entry) {
  if (entry.dfId == kApplicationDfId) return SelectInCurrentDf(cardData, entry.publicKeyFileId);
  return SelectByPath(cardData, entry.publicKeyFileId, entry.dfId);
}

// Finds the 86 object of a 7F49 public-key template and returns the offset of
// its point-format byte, or 0 when the file is malformed. Nothing past
// `file` is read.
std::size_t FindPoint(std::span<const BYTE> file, std::size_t keyBytes) {
  const std::size_t n = file.size();
  if (n < 3 || file[0] != 0x7F || file[1] != 0x49) return 0;
  std::size_t offset;
  switch (file[2]) {
    case 0x81: offset = 4; break;
    case 0x82: offset = 5; break;
    default:
      if (file[2] >= 0x80) return 0;
      offset = 3;
  }
  // Each inner object: one tag byte, one length byte, the value.
  while (offset < n) {
    if (offset + 1 >= n) return 0;
    const std::size_t valueEnd = offset + 2 + file[offset + 1];
    if (valueEnd > n) return 0;
    if (file[offset] == kPointTag) {
      // The format byte and X and Y, however the object states its length.
      return offset + 3 + 2 * keyBytes <= n ? offset + 2 : 0;
    }
    offset = valueEnd;
  }
  return 0;
}

// Reads the container's public key into a new host blob whose size and
// pointer go to `*blobSize` and `*blob`.
DWORD ReadPublicKey(const CARD_DATA* cardData, std::size_t index, DWORD* blobSize, PBYTE* blob) {
  const ProfileEntry& entry = ContextOf(cardData)->profile.entries[index];
  if (SelectPublicKeyFile(cardData, entry) != 0) return SCARD_F_INTERNAL_ERROR;
  FileContent file;
  if (ReadSelectedFile(cardData, &file) != 0) return SCARD_F_INTERNAL_ERROR;

  const std::size_t keyBytes = entry.keyBytes;
  const std::size_t point = FindPoint({file.bytes.get(), file.length}, keyBytes);
  if (point == 0) return SCARD_E_NO_KEY_CONTAINER;

  DWORD magic;
  if (entry.keyRole == kRoleSignature) {
    magic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  } else if (entry.keyRole == kRoleKeyExchange) {
    magic = BCRYPT_ECDH_PUBLIC_P256_MAGIC;
  } else {
    return SCARD_E_NO_KEY_CONTAINER;
  }
  const DWORD size = static_cast<DWORD>(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * keyBytes);
  *blobSize = size;
  BYTE* out = static_cast<BYTE*>(HostAlloc(cardData, size));
  *blob = out;
  if (out == nullptr) return SCARD_E_NO_MEMORY;
  PutDword(out, magic);
  PutDword(out + 4, static_cast<DWORD>(keyBytes));
  std::memcpy(out + sizeof(BCRYPT_ECCKEY_BLOB), file.bytes.get() + point + 1, 2 * keyBytes);
  return 0;
}

}  // namespace

DWORD VELA_WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                       CONTAINER_INFO* pContainerInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (pContainerInfo == nullptr || dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  if (pContainerInfo->dwVersion > kContainerInfoVersion) return ERROR_REVISION_MISMATCH;
  const CardProfile& profile = ContextOf(pCardData)->profile;
  if (bContainerIndex >= kMaxContainers || profile.containerStatus[bContainerIndex] == kContainerAbsent) {
    return SCARD_E_NO_KEY_CONTAINER;
  }

  pContainerInfo->dwReserved = 0;
  pContainerInfo->cbSigPublicKey = 0;
  pContainerInfo->pbSigPublicKey = nullptr;
  pContainerInfo->cbKeyExPublicKey = 0;
  pContainerInfo->pbKeyExPublicKey = nullptr;
  switch (profile.entries[bContainerIndex].keyRole) {
    case kRoleSignature:
      return ReadPublicKey(pCardData, bContainerIndex, &pContainerInfo->cbSigPublicKey,
                           &pContainerInfo->pbSigPublicKey);
    case kRoleKeyExchange:
      return ReadPublicKey(pCardData, bContainerIndex, &pContainerInfo->cbKeyExPublicKey,
                           &pContainerInfo->pbKeyExPublicKey);
    default:
      return SCARD_E_NO_KEY_CONTAINER;
  }
}

DWORD VELA_WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                           PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0 || bContainerIndex >= kMaxContainers) return SCARD_E_INVALID_PARAMETER;
  const CardProfile& profile = ContextOf(pCardData)->profile;
  if (profile.containerStatus[bContainerIndex] == kContainerAbsent) return SCARD_E_NO_KEY_CONTAINER;
  if (dwFlags != 0 || wszProperty == nullptr || pbData == nullptr || pdwDataLen == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (LogLevel() != kLogOff && (PropertyIs(wszProperty, kPropertyContainerInfo) ||
                                PropertyIs(wszProperty, kPropertyPinIdentifier) ||
                                PropertyIs(wszProperty, kPropertyAssociatedEcdhKey))) {
    AcceptArguments();
  }

  if (PropertyIs(wszProperty, kPropertyContainerInfo)) {
    if (cbData < sizeof(CONTAINER_INFO)) return SCARD_E_INSUFFICIENT_BUFFER;
    // The host's bytes need not be aligned for the record: work on a copy.
    CONTAINER_INFO info;
    std::memcpy(&info, pbData, sizeof(info));
    if (info.dwVersion > kContainerInfoVersion) return SCARD_E_INVALID_PARAMETER;
    *pdwDataLen = sizeof(CONTAINER_INFO);
    const DWORD rc = CardGetContainerInfo(pCardData, bContainerIndex, 0, &info);
    std::memcpy(pbData, &info, sizeof(info));
    return rc == 0 ? 0 : SCARD_F_INTERNAL_ERROR;
  }
  if (PropertyIs(wszProperty, kPropertyPinIdentifier)) {
    if (cbData < sizeof(PIN_ID)) return SCARD_E_INSUFFICIENT_BUFFER;
    *pdwDataLen = sizeof(PIN_ID);
    PutDword(pbData, ROLE_USER);
    return 0;
  }
  if (PropertyIs(wszProperty, kPropertyAssociatedEcdhKey)) {
    if (cbData == 0) return SCARD_E_INSUFFICIENT_BUFFER;
    *pdwDataLen = 1;
    pbData[0] = profile.entries[bContainerIndex].ecdhContainer;
    return 0;
  }
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace vela
