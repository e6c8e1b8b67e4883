#include <windows.h>
#include <aclapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/log_file.h"

namespace vela::platform {

namespace {

// A handle closed on every way out of its scope.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (valid()) CloseHandle(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The path in UTF-16, from the ANSI code page the registry value came in.
bool WidePath(const char* path, std::wstring* wide) {
  const int units = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (units <= 0) return false;
  wide->assign(static_cast<std::size_t>(units), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide->data(), units) != units) return false;
  wide->pop_back();  // the terminator, which c_str() adds again
  return true;
}

// The process's own identity: its user, and the owner its new objects get
// (the token's default owner: the user, or Administrators for a service
// running as SYSTEM and for an elevated administrator).
struct ProcessIdentity {
  std::vector<std::uint8_t> user;
  std::vector<std::uint8_t> defaultOwner;
};

std::vector<std::uint8_t> CopySid(PSID sid) {
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
}

bool TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<std::uint8_t>* sid) {
  DWORD size = 0;
  (void)GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) return false;
  // TOKEN_USER and TOKEN_OWNER both begin with the SID's pointer.
  PSID found = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                 : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  if (found == nullptr || !IsValidSid(found)) return false;
  *sid = CopySid(found);
  return true;
}

bool ReadProcessIdentity(ProcessIdentity* identity) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  UniqueHandle owned(token);
  return TokenSid(token, TokenUser, &identity->user) && TokenSid(token, TokenOwner, &identity->defaultOwner);
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, std::vector<std::uint8_t>* sid) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  sid->assign(size, 0);
  if (!CreateWellKnownSid(type, nullptr, sid->data(), &size)) return false;
  sid->resize(size);
  return true;
}

// A new log file's descriptor: full access for the process's user, SYSTEM
// and Administrators, nothing inherited from the directory (which may let
// every user read, as C:\Windows\Temp does). The owner is left to the
// token's default.
class LogFileSecurity {
 public:
  bool Build(const ProcessIdentity& identity) {
    std::vector<std::uint8_t> system, administrators;
    if (!WellKnownSid(WinLocalSystemSid, &system) || !WellKnownSid(WinBuiltinAdministratorsSid, &administrators)) {
      return false;
    }
    sids_ = {identity.user, system, administrators};
    DWORD aclSize = sizeof(ACL);
    for (const auto& sid : sids_) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
    acl_.assign(aclSize, 0);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return false;
    for (auto& sid : sids_) {
      if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid.data())) return false;
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return false;
    }
    attributes_ = {sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
    return true;
  }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<std::vector<std::uint8_t>> sids_;
  std::vector<std::uint8_t> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Whether the open file belongs to this process: owned by its user, or by
// the owner its own new files get.
bool OwnedByProcess(HANDLE file, const ProcessIdentity& identity) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool ours = owner != nullptr && IsValidSid(owner) &&
                    (EqualSid(owner, const_cast<std::uint8_t*>(identity.user.data())) ||
                     EqualSid(owner, const_cast<std::uint8_t*>(identity.defaultOwner.data())));
  LocalFree(descriptor);
  return ours;
}

// The folders of a path from the drive's root (or a share's) down, each
// opened as itself (a junction or symbolic link is opened, not followed)
// and held without delete sharing, so that none can be renamed or replaced
// by a link while the log's file is made beneath them. Fails at a reparse
// point, at anything that is not a folder, and where the system's final
// path of a folder is not the one walked (a link the file system follows
// without showing a reparse point, a substituted drive, a short name).
class HeldFolders {
 public:
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  ~HeldFolders() {
    for (HANDLE handle : handles_) CloseHandle(handle);
  }

  // Opens every folder of `path` up to `end` (exclusive), which ends at a separator or the string's end.
  bool Open(const std::wstring& path, std::size_t end) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::size_t at = 0;
    std::wstring walked;  // the folders so far, one backslash between names
    if (path.size() > 2 && path[1] == L':' && separator(path[2])) {
      at = 3;  // "C:\"
      walked = path.substr(0, 2);
    } else if (path.size() > 2 && separator(path[0]) && separator(path[1])) {
      // "\\server\share\": the share is where the walk starts.
      at = 2;
      walked = L"\\";
      for (int names = 0; names < 2; ++names) {
        const std::size_t name = at;
        while (at < path.size() && !separator(path[at])) ++at;
        walked += L"\\" + path.substr(name, at - name);
        if (at < path.size()) ++at;
      }
    } else {
      return false;
    }
    while (at < end) {
      std::size_t next = at;
      while (next < end && !separator(path[next])) ++next;
      if (next > at) {
        walked += L"\\" + path.substr(at, next - at);
        if (!OpenOne(walked)) return false;
      }
      at = next + 1;
    }
    return true;
  }

 private:
  bool OpenOne(const std::wstring& folder) {
    HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handles_.push_back(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && FinalPathIs(handle, folder);
  }

  static bool FinalPathIs(HANDLE handle, const std::wstring& folder) {
    wchar_t final[1024];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, final, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 1024) return false;
    std::wstring shown(final, length);
    // "\\?\C:\..." and "\\?\UNC\server\share\...".
    if (shown.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
      shown = L"\\" + shown.substr(7);
    } else if (shown.compare(0, 4, L"\\\\?\\") == 0) {
      shown = shown.substr(4);
    }
    return CompareStringOrdinal(shown.c_str(), static_cast<int>(shown.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
  }

  std::vector<HANDLE> handles_;
};

// Where the last name of `path` begins (after its last separator).
std::size_t LastNameAt(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? 0 : separator + 1;
}

}  // namespace

bool AppendToLogFile(const char* path, const char* data, std::size_t length) {
  if (path == nullptr || length > MAXDWORD) return false;
  std::wstring wide;
  ProcessIdentity identity;
  LogFileSecurity security;
  HeldFolders folders;
  try {
    if (!WidePath(path, &wide) || !ReadProcessIdentity(&identity) || !security.Build(identity)) return false;
    // The folders stay held until the file is written.
    if (!folders.Open(wide, LastNameAt(wide))) return false;
  } catch (...) {
    return false;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself
  // instead of its target, so the checks below see it; append-only access
  // never overwrites what is there; others may read while a line is written.
  // The descriptor applies only when the file is created.
  UniqueHandle file(CreateFileW(wide.c_str(), FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE, FILE_SHARE_READ,
                                security.attributes(), OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
      info.nNumberOfLinks != 1) {
    return false;
  }
  // A file another user made at the name (to read what the provider logs,
  // or to have it fill that user's quota) is not written.
  try {
    if (!OwnedByProcess(file.get(), identity)) return false;
  } catch (...) {
    return false;
  }
  DWORD written = 0;
  return WriteFile(file.get(), data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

bool MakeLogDirectory(const char* path) {
  if (path == nullptr) return false;
  try {
    std::wstring wide;
    ProcessIdentity identity;
    LogFileSecurity security;
    if (!WidePath(path, &wide) || !ReadProcessIdentity(&identity) || !security.Build(identity)) return false;
    while (!wide.empty() && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    HeldFolders folders;
    if (!folders.Open(wide, LastNameAt(wide))) return false;
    // A new folder gets the file's descriptor, not its parent's (which may
    // let every user in, as C:\ProgramData does).
    if (!CreateDirectoryW(wide.c_str(), security.attributes()) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    HeldFolders all;
    return all.Open(wide, wide.size());
  } catch (...) {
    return false;
  }
}

// "C:\..." (or "C:/...") and "\\server\share\...": a path of a drive
// without its root, or of the current drive's root, depends on the process.
bool IsAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  if (letter && path[1] == ':' && separator(path[2])) return true;
  return separator(path[0]) && separator(path[1]);
}

}  // namespace vela::platform
