// The mscp directory's content: the container map and the certificate files.
#include <algorithm>
#include <cstring>

#include "card/card_commands.h"
#include "card/check_context.h"
#include "core/card_context.h"
#include "files/virtual_files.h"

namespace vela {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kContainerNameLength = 30;  // 20 serial digits, "-DFID-CERT"

void PutWord(BYTE* out, WORD value) {
  out[0] = static_cast<BYTE>(value & 0xFF);
  out[1] = static_cast<BYTE>(value >> 8);
}

char* PutHex(char* out, const BYTE* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0x0F];
  }
  return out;
}

char* PutHexWord(char* out, WORD value) {
  const BYTE bytes[2] = {static_cast<BYTE>(value >> 8), static_cast<BYTE>(value & 0xFF)};
  return PutHex(out, bytes, 2);
}

}  // namespace

DWORD ReadSelectedFile(const CARD_DATA* cardData, FileContent* content) {
  HeapArray<BYTE> staging = AllocateArray<BYTE>(kMaxFileLength);
  if (!staging) return SCARD_E_NO_MEMORY;
  DWORD length = 0;
  if (const DWORD rc = ReadWholeFile(cardData, {staging.get(), kMaxFileLength}, &length); rc != 0) return rc;
  HeapArray<BYTE> exact = AllocateArray<BYTE>(length);
  if (!exact) return SCARD_E_NO_MEMORY;
  std::copy_n(staging.get(), length, exact.get());
  content->bytes = std::move(exact);
  content->length = length;
  return 0;
}

DWORD BuildContainerMap(const CardProfile& profile, BYTE* out, std::size_t size) {
  if (out == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (size < kContainerMapLength) {
    std::memset(out, 0, size);
    return SCARD_E_INVALID_PARAMETER;
  }
  char serialDigits[2 * kSerialNumberLength];
  PutHex(serialDigits, profile.serialNumber(), kSerialNumberLength);

  std::memset(out, 0, kContainerMapLength);
  for (std::size_t i = 0; i < kMaxContainers; ++i) {
    const BYTE status = profile.containerStatus[i];
    if (status == kContainerAbsent) continue;
    const ProfileEntry& entry = profile.entries[i];
    BYTE* record = out + i * kContainerMapRecordLength;

    char name[kContainerNameLength];
    char* p = std::copy(std::begin(serialDigits), std::end(serialDigits), name);
    *p++ = '-';
    p = PutHexWord(p, entry.dfId);
    *p++ = '-';
    PutHexWord(p, entry.certFileId);
    // Widened to UTF-16LE; the terminating zero unit is already there.
    for (std::size_t c = 0; c < kContainerNameLength; ++c) PutWord(record + 2 * c, static_cast<BYTE>(name[c]));

    record[offsetof(CONTAINER_MAP_RECORD, bFlags)] = status;
    record[offsetof(CONTAINER_MAP_RECORD, bReserved)] = 0;
    const WORD bits = static_cast<WORD>(entry.keyBytes * 8);
    const bool signature = entry.keyRole == kRoleSignature;
    PutWord(record + offsetof(CONTAINER_MAP_RECORD, wSigKeySizeBits), signature ? bits : 0);
    PutWord(record + offsetof(CONTAINER_MAP_RECORD, wKeyExchangeKeySizeBits), signature ? 0 : bits);
  }
  return 0;
}

DWORD ListCertificateFiles(const CARD_DATA* cardData, FileNameList* list) {
  if (CheckContext(cardData) != 0 || list == nullptr) return SCARD_E_INVALID_PARAMETER;
  const CardProfile& profile = ContextOf(cardData)->profile;

  // The DF the card was last seen in; the first file of a DF is selected by
  // path, its neighbours by id alone.
  WORD currentDf = kMasterFileId;
  for (std::size_t i = 0; i < kMaxContainers; ++i) {
    const ProfileEntry& entry = profile.entries[i];
    if (entry.dfId == 0 || entry.certFileId == 0) continue;
    if (entry.dfId == currentDf) {
      if (SelectInCurrentDf(cardData, entry.certFileId) != 0) continue;
    } else {
      if (SelectByPath(cardData, entry.certFileId, entry.dfId) != 0) continue;
      currentDf = entry.dfId;
    }
    char name[6] = {'k', entry.keyRole == kRoleSignature ? 's' : 'x', 'c', kHexDigits[i >> 4], kHexDigits[i & 0x0F], 0};
    if (!list->Append(name)) return SCARD_F_INTERNAL_ERROR;
  }
  return 0;
}

DWORD ReadCertificateFile(const CARD_DATA* cardData, std::size_t index, FileContent* content) {
  const CardContext* context = ContextOf(cardData);
  if (context == nullptr || content == nullptr || index >= kMaxContainers) return SCARD_E_INVALID_PARAMETER;
  const ProfileEntry& entry = context->profile.entries[index];
  if (SelectByPath(cardData, entry.certFileId, entry.dfId) != 0) return SCARD_F_INTERNAL_ERROR;
  FileContent read;
  // A file the card would not let us read (no data before an error status)
  // holds no certificate.
  if (ReadSelectedFile(cardData, &read) != 0 || read.length == 0) return SCARD_F_INTERNAL_ERROR;
  *content = std::move(read);
  return 0;
}

}  // namespace vela
