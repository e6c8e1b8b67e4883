#include <windows.h>

#include <string>

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
  return MultiByteToWideChar(CP_ACP, 0, path, -1, wide->data(), units) == units;
}

}  // namespace

bool AppendToLogFile(const char* path, const char* data, std::size_t length) {
  if (path == nullptr || length > MAXDWORD) return false;
  std::wstring wide;
  try {
    if (!WidePath(path, &wide)) return false;
  } catch (...) {
    return false;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself
  // instead of its target, so the checks below see it; append-only access
  // never overwrites what is there; others may read while a line is written.
  UniqueHandle file(CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
      info.nNumberOfLinks != 1) {
    return false;
  }
  DWORD written = 0;
  return WriteFile(file.get(), data, static_cast<DWORD>(length), &written, nullptr) && written == length;
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
