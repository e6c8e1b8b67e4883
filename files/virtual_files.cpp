// The host's file entries over the read-only virtual directory.
#include "files/virtual_files.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "core/host_services.h"
#include "core/log.h"

namespace vela {

namespace {

constexpr DWORD kFileInfoVersion = 1;  // CARD_FILE_INFO_CURRENT_VERSION
constexpr std::size_t kMaxFileNameLength = 8;
constexpr BYTE kApplicationList[8] = {'m', 's', 'c', 'p', 0, 0, 0, 0};

// ASCII case-insensitive equality with a known lower-case name.
bool NameIs(const char* name, const char* expected) {
  for (; *expected != 0; ++name, ++expected) {
    char c = *name;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *expected) return false;
  }
  return *name == 0;
}

bool IsAppDirectory(const char* directory) { return NameIs(directory, "mscp"); }

// A name the caller may leave out is valid when absent.
bool IsValidOptionalName(const char* name) { return name == nullptr || IsValidFileName(name); }

void SetFileInfo(CARD_FILE_INFO* info, DWORD size, CARD_FILE_ACCESS_CONDITION access) {
  info->cbFileSize = size;
  info->AccessCondition = access;
}

// The content of a file of the mscp directory other than cmapfile: a
// certificate, when the name fits a present entry of that key role.
bool ReadCertificateContent(const CARD_DATA* cardData, const char* fileName, FileContent* content) {
  const BYTE index = CertificateIndexFromName(fileName);
  if (index >= kMaxContainers) return false;
  const CardProfile& profile = ContextOf(cardData)->profile;
  if (profile.containerStatus[index] == kContainerAbsent) return false;
  const BYTE role = profile.entries[index].keyRole;
  const bool signatureName = fileName[1] == 's';
  if (!(signatureName ? role == kRoleSignature : role == kRoleKeyExchange)) return false;
  return ReadCertificateFile(cardData, index, content) == 0;
}

}  // namespace

bool FileNameList::Append(const char* name) {
  if (name == nullptr || *name == 0) return true;
  const std::size_t length = std::strlen(name);
  // Room for the name, its zero and the final zero of Finish.
  if (length + 2 > buffer_.size() - length_) return false;
  std::copy_n(name, length + 1, buffer_.data() + length_);
  length_ += length + 1;
  return true;
}

std::size_t FileNameList::Finish() {
  if (length_ == 0) return 0;
  buffer_[length_++] = 0;
  return length_;
}

bool IsValidFileName(const char* name) {
  if (name == nullptr || *name == 0) return false;
  for (std::size_t i = 0; name[i] != 0; ++i) {
    if (i == kMaxFileNameLength) return false;
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || std::strchr("\"*/:<>?\\|", c) != nullptr) return false;
  }
  return true;
}

BYTE CertificateIndexFromName(const char* name) {
  if (name == nullptr || std::strlen(name) != 5) return kNoEntry;
  if (std::strncmp(name, "ksc", 3) != 0 && std::strncmp(name, "kxc", 3) != 0) return kNoEntry;
  // Hex digits of either case; other characters are read by the same rule.
  const auto nibble = [](char c) {
    const unsigned v = static_cast<unsigned char>(c);
    return static_cast<BYTE>(((v & 0x40) != 0 ? v + 9 : v) & 0x0F);
  };
  return static_cast<BYTE>(nibble(name[3]) << 4 | nibble(name[4]));
}

DWORD VELA_WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames,
                                PDWORD pdwcbFileName, DWORD dwFlags) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (dwFlags != 0 || pdwcbFileName == nullptr || pmszFileNames == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (!IsValidOptionalName(pszDirectoryName)) return SCARD_E_INVALID_PARAMETER;
  AcceptArguments();

  FileNameList list;
  if (pszDirectoryName == nullptr) {
    list.Append("cardapps");
    list.Append("cardcf");
    list.Append("cardid");
  } else if (IsAppDirectory(pszDirectoryName)) {
    if (ListCertificateFiles(pCardData, &list) != 0) return SCARD_F_INTERNAL_ERROR;
    list.Append("cmapfile");
  }
  const std::size_t length = list.Finish();
  if (length == 0) {
    *pmszFileNames = nullptr;
    *pdwcbFileName = 0;
    return SCARD_E_DIR_NOT_FOUND;
  }

  char* names = static_cast<char*>(HostAlloc(pCardData, length + 1));
  *pmszFileNames = names;
  if (names == nullptr) return SCARD_E_NO_MEMORY;
  std::copy_n(list.bytes(), length, names);
  names[length] = 0;
  *pdwcbFileName = static_cast<DWORD>(length);
  return 0;
}

DWORD VELA_WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                  CARD_FILE_INFO* pCardFileInfo) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (pCardFileInfo == nullptr || !IsValidOptionalName(pszFileName) || !IsValidOptionalName(pszDirectoryName)) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (pCardFileInfo->dwVersion > kFileInfoVersion) return ERROR_REVISION_MISMATCH;
  AcceptArguments();

  if (pszDirectoryName != nullptr) {
    if (!IsAppDirectory(pszDirectoryName)) return SCARD_E_DIR_NOT_FOUND;
    if (pszFileName == nullptr) {
      SetFileInfo(pCardFileInfo, 0, EveryoneReadUserWriteAc);
      return SCARD_E_FILE_NOT_FOUND;
    }
    if (!NameIs(pszFileName, "cmapfile")) return SCARD_E_FILE_NOT_FOUND;
    SetFileInfo(pCardFileInfo, kContainerMapLength, EveryoneReadUserWriteAc);
    return 0;
  }
  if (pszFileName == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (NameIs(pszFileName, "cardcf")) {
    SetFileInfo(pCardFileInfo, sizeof(CardProfile::cacheFileImage), EveryoneReadUserWriteAc);
  } else if (NameIs(pszFileName, "cardid")) {
    SetFileInfo(pCardFileInfo, sizeof(CardProfile::cardIdentifier), EveryoneReadAdminWriteAc);
  } else if (NameIs(pszFileName, "cardapps")) {
    SetFileInfo(pCardFileInfo, sizeof(kApplicationList), EveryoneReadUserWriteAc);
  } else {
    return SCARD_E_FILE_NOT_FOUND;
  }
  return 0;
}

DWORD VELA_WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                               PBYTE* ppbData, PDWORD pcbData) {
  TraceHook(pCardData);
  if (CheckContext(pCardData) != 0) return SCARD_E_INVALID_PARAMETER;
  if (dwFlags != 0 || ppbData == nullptr || pcbData == nullptr || !IsValidFileName(pszFileName) ||
      !IsValidOptionalName(pszDirectoryName)) {
    return SCARD_E_INVALID_PARAMETER;
  }
  AcceptArguments();
  *ppbData = nullptr;
  *pcbData = 0;

  const CardProfile& profile = ContextOf(pCardData)->profile;
  std::array<BYTE, kContainerMapLength> containerMap;
  FileContent certificate;
  std::span<const BYTE> content;
  bool found = true;
  if (pszDirectoryName != nullptr) {
    if (!IsAppDirectory(pszDirectoryName)) return SCARD_E_DIR_NOT_FOUND;
    if (NameIs(pszFileName, "cmapfile")) {
      BuildContainerMap(profile, containerMap.data(), containerMap.size());
      content = containerMap;
    } else if ((found = ReadCertificateContent(pCardData, pszFileName, &certificate))) {
      content = {certificate.bytes.get(), certificate.length};
    }
  } else if (NameIs(pszFileName, "cardcf")) {
    content = profile.cacheFileImage;
  } else if (NameIs(pszFileName, "cardid")) {
    content = profile.cardIdentifier;
  } else if (NameIs(pszFileName, "cardapps")) {
    content = kApplicationList;
  } else {
    found = false;
  }
  if (!found) return SCARD_E_FILE_NOT_FOUND;

  BYTE* data = static_cast<BYTE*>(HostAlloc(pCardData, content.size()));
  if (data == nullptr) return SCARD_E_NO_MEMORY;
  std::copy(content.begin(), content.end(), data);
  *ppbData = data;
  *pcbData = static_cast<DWORD>(content.size());
  return 0;
}

}  // namespace vela
