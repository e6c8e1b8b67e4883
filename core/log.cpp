#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/log_file.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace vela {

namespace {

constexpr std::size_t kMaxLogPath = 255;
constexpr std::size_t kMaxSourceName = 79;

// Every acquire writes these from its own thread; last writer wins.
platform::Mutex directoryMutex;
char directory[kMaxLogPath + 2] = {};  // the path, its separator, the zero
// The file is opened for each line with sharing for readers only (Windows),
// so the writers of one process take turns instead of losing lines.
platform::Mutex fileMutex;

const char* Tag(int lineLevel) {
  static const char* const tags[] = {"OFF", "ERR", "DBG", "INF", "---"};
  return lineLevel >= 0 && lineLevel < 4 ? tags[lineLevel] : tags[4];
}

// After the last separator of either kind: sources are built on both.
std::string SourceName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return std::string(name, std::min(std::strlen(name), kMaxSourceName));
}

std::string Format(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

void WriteLine(int lineLevel, const char* sourcePath, int sourceLine, bool blankLine, const std::string& message) {
  const platform::LocalTime now = platform::Now();
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%s%02d:%02d:%02d %u/%u [%s] %s:%04d ", blankLine ? "\r\n" : "", now.hour,
                now.minute, now.second, platform::ProcessId(), platform::ThreadId(), Tag(lineLevel),
                SourceName(sourcePath).c_str(), sourceLine);
  const std::string line = prefix + message + "\r\n";
  const std::string name = LogFileName();
  platform::MutexLock lock(fileMutex);
  (void)platform::AppendToLogFile(name.c_str(), line.data(), line.size());
}

// A ".." component could climb out of whatever directory the path names.
bool ClimbsUp(const char* path) {
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  for (const char* p = path; *p != '\0'; ++p) {
    if ((p == path || separator(p[-1])) && p[0] == '.' && p[1] == '.' && (p[2] == '\0' || separator(p[2]))) {
      return true;
    }
  }
  return false;
}

}  // namespace

namespace log_state {
std::atomic<int> level{kLogOff};
}  // namespace log_state

void SetLogDirectory(const char* path) {
  if (path == nullptr) return;
  const std::size_t length = std::strlen(path);
  // An empty path would name the root directory: keep the current one.
  if (length == 0 || length > kMaxLogPath) return;
  // A relative path would put the log in the host's working directory.
  if (!platform::IsAbsolutePath(path) || ClimbsUp(path)) return;
  const char separator = platform::PathSeparator();
  char updated[sizeof directory];
  std::memcpy(updated, path, length);
  std::size_t end = length;
  if (updated[end - 1] != separator) updated[end++] = separator;
  updated[end] = '\0';
  platform::MutexLock lock(directoryMutex);
  std::memcpy(directory, updated, end + 1);
}

void CreateLogDirectory() {
  const std::string path = LogDirectory();
  platform::MakeDirectory(path.c_str());
}

std::string LogDirectory() {
  platform::MutexLock lock(directoryMutex);
  return directory[0] == '\0' ? std::string(platform::DefaultLogDirectory()) : std::string(directory);
}

void ClearAcceptedArguments() { platform::SetThreadMark(0); }

void AcceptArguments() {
  if (LogLevel() != kLogOff) platform::SetThreadMark(1);
}

bool ArgumentsAccepted() { return platform::ThreadMark() != 0; }

void SetLogLevel(int newLevel) { log_state::level.store(newLevel, std::memory_order_relaxed); }

std::string LogFileName() {
  const platform::LocalTime now = platform::Now();
  char name[64];
  std::snprintf(name, sizeof name, "vela3ro-%04d%02d%02d-%06u.txt", now.year, now.month, now.day,
                platform::ProcessId());
  return LogDirectory() + name;
}

void WriteLogLine(int lineLevel, const char* sourcePath, int sourceLine, bool blankLine, const char* format, ...) {
  if (sourcePath == nullptr || format == nullptr || lineLevel > LogLevel()) return;
  try {
    std::va_list args;
    va_start(args, format);
    const std::string message = Format(format, args);
    va_end(args);
    WriteLine(lineLevel, sourcePath, sourceLine, blankLine, message);
  } catch (...) {
    // No operation fails because of its log line.
  }
}

void AppendHex(std::string* out, const std::uint8_t* bytes, std::size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  out->reserve(out->size() + 2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    *out += digits[bytes[i] >> 4];
    *out += digits[bytes[i] & 15];
  }
}

void WriteLogHex(int lineLevel, const char* sourcePath, int sourceLine, const char* format, const std::uint8_t* bytes,
                 std::size_t count) {
  if (sourcePath == nullptr || format == nullptr || lineLevel > LogLevel()) return;
  if (bytes == nullptr) count = 0;
  try {
    std::string hex;
    AppendHex(&hex, bytes, count);
    WriteLogLine(lineLevel, sourcePath, sourceLine, false, format, hex.c_str());
  } catch (...) {
  }
}

}  // namespace vela
