#include <windows.h>
#include <aclapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "platform/log_file.h"

namespace vela::platform {

namespace {

// Nothing here takes memory from the heap: a host thread short of it gets
// false (the line is dropped), never an exception, which the C++ runtime
// could not raise in such a thread without ending the process. Paths, SIDs,
// the ACL and the held folders live in fixed buffers of the sizes below.

// The longest path handled, in UTF-16 units with its zero: room to spare for
// every path the log builds (a folder of at most 255 bytes, its separator
// and the file's name; one byte never gives more than one unit). A longer
// path is refused.
constexpr int kMaxPathUnits = 512;
// Folders held at once: every level of a path takes a name and a separator,
// so no path of kMaxPathUnits goes deeper than this; a deeper one is refused.
constexpr std::size_t kMaxDepth = kMaxPathUnits / 2;

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

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A path in UTF-16 with its zero.
struct WidePath {
  wchar_t text[kMaxPathUnits];
  std::size_t length = 0;
};

// The path in UTF-16, from the ANSI code page the registry value came in.
bool ToWidePath(const char* path, WidePath* wide) {
  const int units = MultiByteToWideChar(CP_ACP, 0, path, -1, wide->text, kMaxPathUnits);
  if (units <= 0) return false;  // none, or longer than the buffer
  wide->length = static_cast<std::size_t>(units) - 1;
  return true;
}

// A SID in a buffer of the largest size a SID has.
struct Sid {
  alignas(DWORD) std::uint8_t bytes[SECURITY_MAX_SID_SIZE];
  PSID get() { return bytes; }
};

// The process's own identity: its user, and the owner its new objects get
// (the token's default owner: the user, or Administrators for a service
// running as SYSTEM and for an elevated administrator).
struct ProcessIdentity {
  Sid user;
  Sid defaultOwner;
};

bool TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, Sid* sid) {
  // TOKEN_USER and TOKEN_OWNER both begin with the SID's pointer; the SID
  // follows in the same buffer.
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    std::uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  if (!GetTokenInformation(token, kind, &buffer, sizeof buffer, &size)) return false;
  PSID found = kind == TokenUser ? buffer.user.User.Sid : buffer.owner.Owner;
  if (found == nullptr || !IsValidSid(found) || GetLengthSid(found) > sizeof sid->bytes) return false;
  std::memcpy(sid->bytes, found, GetLengthSid(found));
  return true;
}

bool ReadProcessIdentity(ProcessIdentity* identity) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  UniqueHandle owned(token);
  return TokenSid(token, TokenUser, &identity->user) && TokenSid(token, TokenOwner, &identity->defaultOwner);
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, Sid* sid) {
  DWORD size = sizeof sid->bytes;
  return CreateWellKnownSid(type, nullptr, sid->get(), &size);
}

// A new log file's descriptor: full access for the process's user, SYSTEM
// and Administrators, nothing inherited from the directory (which may let
// every user read, as C:\Windows\Temp does). The owner is left to the
// token's default.
class LogFileSecurity {
 public:
  LogFileSecurity() = default;
  LogFileSecurity(const LogFileSecurity&) = delete;
  LogFileSecurity& operator=(const LogFileSecurity&) = delete;

  bool Build(ProcessIdentity& identity) {
    Sid system, administrators;
    if (!WellKnownSid(WinLocalSystemSid, &system) || !WellKnownSid(WinBuiltinAdministratorsSid, &administrators)) {
      return false;
    }
    PSID sids[kAces] = {identity.user.get(), system.get(), administrators.get()};
    DWORD aclSize = sizeof(ACL);
    for (PSID sid : sids) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    auto* acl = reinterpret_cast<PACL>(acl_);
    if (aclSize > sizeof acl_ || !InitializeAcl(acl, aclSize, ACL_REVISION)) return false;
    for (PSID sid : sids) {
      if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return false;
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
  static constexpr std::size_t kAces = 3;
  // The ACL's header and its ACEs, each SID of the largest size.
  alignas(DWORD) std::uint8_t
      acl_[sizeof(ACL) + kAces * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE)] = {};
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Whether the open file belongs to this process: owned by its user, or by
// the owner its own new files get.
bool OwnedByProcess(HANDLE file, ProcessIdentity& identity) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool ours = owner != nullptr && IsValidSid(owner) &&
                    (EqualSid(owner, identity.user.get()) || EqualSid(owner, identity.defaultOwner.get()));
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
    for (std::size_t i = 0; i < count_; ++i) CloseHandle(handles_[i]);
  }

  // Opens every folder of `path` up to `end` (exclusive), which ends at a separator or the string's end.
  bool Open(const WidePath& path, std::size_t end) {
    const wchar_t* text = path.text;
    const std::size_t size = path.length;
    std::size_t at = 0;
    WidePath walked;  // the folders so far, one backslash between names
    if (size > 2 && text[1] == L':' && IsSeparator(text[2])) {
      at = 3;  // "C:\"
      Append(&walked, L"", text, 2);
    } else if (size > 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
      // "\\server\share\": the share is where the walk starts.
      at = 2;
      Append(&walked, L"\\", text, 0);
      for (int names = 0; names < 2; ++names) {
        const std::size_t name = at;
        while (at < size && !IsSeparator(text[at])) ++at;
        if (!Append(&walked, L"\\", text + name, at - name)) return false;
        if (at < size) ++at;
      }
    } else {
      return false;
    }
    while (at < end) {
      std::size_t next = at;
      while (next < end && !IsSeparator(text[next])) ++next;
      if (next > at) {
        if (!Append(&walked, L"\\", text + at, next - at) || !OpenOne(walked)) return false;
      }
      at = next + 1;
    }
    return true;
  }

 private:
  // Adds `prefix` and `count` units of `name` to `path`; false when they do not fit.
  static bool Append(WidePath* path, const wchar_t* prefix, const wchar_t* name, std::size_t count) {
    const std::size_t prefixLength = std::wcslen(prefix);
    if (path->length + prefixLength + count >= kMaxPathUnits) return false;
    std::wmemcpy(path->text + path->length, prefix, prefixLength);
    std::wmemcpy(path->text + path->length + prefixLength, name, count);
    path->length += prefixLength + count;
    path->text[path->length] = L'\0';
    return true;
  }

  bool OpenOne(const WidePath& folder) {
    if (count_ == kMaxDepth) return false;
    HANDLE handle = CreateFileW(folder.text, FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handles_[count_++] = handle;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && FinalPathIs(handle, folder);
  }

  static bool FinalPathIs(HANDLE handle, const WidePath& folder) {
    constexpr DWORD kUnits = 1024;
    wchar_t final[kUnits];
    const DWORD length = GetFinalPathNameByHandleW(handle, final, kUnits, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= kUnits) return false;
    // "\\?\C:\..." and "\\?\UNC\server\share\...".
    const wchar_t* shown = final;
    DWORD shownLength = length;
    if (length >= 8 && std::wmemcmp(final, L"\\\\?\\UNC\\", 8) == 0) {
      final[6] = L'\\';  // "\\server\share\..."
      shown = final + 6;
      shownLength = length - 6;
    } else if (length >= 4 && std::wmemcmp(final, L"\\\\?\\", 4) == 0) {
      shown = final + 4;
      shownLength = length - 4;
    }
    return CompareStringOrdinal(shown, static_cast<int>(shownLength), folder.text, static_cast<int>(folder.length),
                                TRUE) == CSTR_EQUAL;
  }

  HANDLE handles_[kMaxDepth] = {};
  std::size_t count_ = 0;
};

// Where the last name of `path` begins (after its last separator).
std::size_t LastNameAt(const WidePath& path) {
  for (std::size_t at = path.length; at > 0; --at) {
    if (IsSeparator(path.text[at - 1])) return at;
  }
  return 0;
}

}  // namespace

bool AppendToLogFile(const char* path, const char* data, std::size_t length) {
  if (path == nullptr || length > MAXDWORD) return false;
  WidePath wide;
  ProcessIdentity identity;
  LogFileSecurity security;
  if (!ToWidePath(path, &wide) || !ReadProcessIdentity(&identity) || !security.Build(identity)) return false;
  // The folders stay held until the file is written.
  HeldFolders folders;
  if (!folders.Open(wide, LastNameAt(wide))) return false;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself
  // instead of its target, so the checks below see it; append-only access
  // never overwrites what is there; others may read while a line is written.
  // The descriptor applies only when the file is created.
  UniqueHandle file(CreateFileW(wide.text, FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE, FILE_SHARE_READ,
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
  if (!OwnedByProcess(file.get(), identity)) return false;
  DWORD written = 0;
  return WriteFile(file.get(), data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

bool MakeLogDirectory(const char* path) {
  if (path == nullptr) return false;
  WidePath wide;
  ProcessIdentity identity;
  LogFileSecurity security;
  if (!ToWidePath(path, &wide) || !ReadProcessIdentity(&identity) || !security.Build(identity)) return false;
  while (wide.length > 0 && IsSeparator(wide.text[wide.length - 1])) wide.text[--wide.length] = L'\0';
  HeldFolders folders;
  if (!folders.Open(wide, LastNameAt(wide))) return false;
  // A new folder gets the file's descriptor, not its parent's (which may
  // let every user in, as C:\ProgramData does).
  if (!CreateDirectoryW(wide.text, security.attributes()) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  HeldFolders all;
  return all.Open(wide, wide.length);
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
