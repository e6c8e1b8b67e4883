#include "core/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/log_file.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace vela {

namespace {

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
const char* SourceName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return name;
}

void AppendPrefix(LogText* line, int lineLevel, const char* sourcePath, int sourceLine, bool blankLine) {
  const platform::LocalTime now = platform::Now();
  const char* source = SourceName(sourcePath);
  line->AppendFormat("%s%02d:%02d:%02d %u/%u [%s] %.*s:%04d ", blankLine ? "\r\n" : "", now.hour, now.minute,
                     now.second, platform::ProcessId(), platform::ThreadId(), Tag(lineLevel),
                     static_cast<int>(std::min(std::strlen(source), kMaxSourceName)), source, sourceLine);
}

void WriteLine(const LogText& line) {
  if (!line.complete()) return;
  const LogPath name = LogFileName();
  platform::MutexLock lock(fileMutex);
  (void)platform::AppendToLogFile(name.c_str(), line.c_str(), line.size());
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
  const LogPath path = LogDirectory();
  platform::MakeDirectory(path.c_str());
}

LogPath LogDirectory() {
  LogPath path;
  platform::MutexLock lock(directoryMutex);
  std::snprintf(path.text, sizeof path.text, "%s", directory[0] == '\0' ? platform::DefaultLogDirectory() : directory);
  return path;
}

void ClearAcceptedArguments() { platform::SetThreadMark(0); }

void AcceptArguments() {
  if (LogLevel() != kLogOff) platform::SetThreadMark(1);
}

bool ArgumentsAccepted() { return platform::ThreadMark() != 0; }

void SetLogLevel(int newLevel) { log_state::level.store(newLevel, std::memory_order_relaxed); }

LogPath LogFileName() {
  const platform::LocalTime now = platform::Now();
  LogPath path = LogDirectory();
  const std::size_t used = std::strlen(path.text);
  std::snprintf(path.text + used, sizeof path.text - used, "vela3ro-%04d%02d%02d-%06u.txt", now.year, now.month,
                now.day, platform::ProcessId());
  return path;
}

void WriteLogLine(int lineLevel, const char* sourcePath, int sourceLine, bool blankLine, const char* format, ...) {
  if (sourcePath == nullptr || format == nullptr || lineLevel > LogLevel()) return;
  LogText line;
  AppendPrefix(&line, lineLevel, sourcePath, sourceLine, blankLine);
  std::va_list args;
  va_start(args, format);
  line.AppendFormatList(format, args);
  va_end(args);
  line += "\r\n";
  WriteLine(line);
}

void AppendHex(LogText* out, const std::uint8_t* bytes, std::size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < count; ++i) {
    const char pair[2] = {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    out->Append(pair, 2);
  }
}

void WriteLogHex(int lineLevel, const char* sourcePath, int sourceLine, const char* format, const std::uint8_t* bytes,
                 std::size_t count) {
  if (sourcePath == nullptr || format == nullptr || lineLevel > LogLevel()) return;
  if (bytes == nullptr) count = 0;
  LogText hex;
  AppendHex(&hex, bytes, count);
  if (hex.complete()) WriteLogLine(lineLevel, sourcePath, sourceLine, false, format, hex.c_str());
}

// ---- LogText ------------------------------------------------------------------

LogText::~LogText() { platform::ReleaseMemory(bytes_); }

bool LogText::Reserve(std::size_t length) {
  if (!complete_) return false;
  if (length < capacity_) return true;
  std::size_t capacity = capacity_ == 0 ? 256 : capacity_;
  while (capacity <= length) {
    if (capacity > static_cast<std::size_t>(-1) / 2) {
      complete_ = false;
      return false;
    }
    capacity *= 2;
  }
  auto* grown = static_cast<char*>(platform::AllocateMemory(capacity));
  if (grown == nullptr) {
    complete_ = false;
    return false;
  }
  if (length_ > 0) std::memcpy(grown, bytes_, length_);
  grown[length_] = '\0';
  platform::ReleaseMemory(bytes_);
  bytes_ = grown;
  capacity_ = capacity;
  return true;
}

void LogText::Append(const char* text, std::size_t length) {
  if (length == 0 || !Reserve(length_ + length)) return;
  std::memcpy(bytes_ + length_, text, length);
  length_ += length;
  bytes_[length_] = '\0';
}

LogText& LogText::operator+=(const char* text) {
  Append(text, std::strlen(text));
  return *this;
}

LogText& LogText::operator+=(const LogText& other) {
  if (!other.complete()) complete_ = false;
  Append(other.c_str(), other.size());
  return *this;
}

void LogText::AppendFormat(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  AppendFormatList(format, args);
  va_end(args);
}

void LogText::AppendFormatList(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) complete_ = false;
  if (length <= 0 || !Reserve(length_ + static_cast<std::size_t>(length))) return;
  std::vsnprintf(bytes_ + length_, capacity_ - length_, format, args);
  length_ += static_cast<std::size_t>(length);
}

}  // namespace vela
