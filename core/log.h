// The diagnostic log: a text file per day and process in the log directory,
// one tagged line per call. The directory and level are process-wide and
// follow the most recent acquire. Nothing secret is ever handed to it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vela {

inline constexpr int kLogOff = 0;
inline constexpr int kLogError = 1;
inline constexpr int kLogDebug = 2;
inline constexpr int kLogInfo = 3;

inline constexpr std::size_t kMaxLogPath = 255;

// The log's directory or file name, built in a buffer of its own.
struct LogPath {
  char text[kMaxLogPath + 2 + 32] = {};  // the directory, its separator, the file's name, the zero
  const char* c_str() const { return text; }
  std::string_view view() const { return text; }
};

// Sets the directory (a separator is appended unless the path ends in one).
// A null, empty, relative or 256-character path, or one with a ".."
// component, changes nothing.
void SetLogDirectory(const char* path);
LogPath LogDirectory();
// Creates the last level of the log directory; done only when logging is on.
void CreateLogDirectory();

namespace log_state {
extern std::atomic<int> level;
}  // namespace log_state

void SetLogLevel(int level);
// One relaxed atomic load: all an entry pays for the log while it is off.
inline int LogLevel() { return log_state::level.load(std::memory_order_relaxed); }

// The text of a line being built, in the module's heap (platform/memory.h).
// Building never throws: an append that finds no room marks the text
// incomplete, and a line built from it is dropped.
class LogText {
 public:
  LogText() = default;
  ~LogText();
  LogText(const LogText&) = delete;
  LogText& operator=(const LogText&) = delete;

  void Append(const char* text, std::size_t length);
  LogText& operator+=(const char* text);
  LogText& operator+=(char c) { Append(&c, 1); return *this; }
  LogText& operator+=(const LogText& other);
  [[gnu::format(printf, 2, 3)]] void AppendFormat(const char* format, ...);
  void AppendFormatList(const char* format, std::va_list args);

  bool empty() const { return length_ == 0; }
  std::size_t size() const { return length_; }
  // The text so far, zero-terminated.
  const char* c_str() const { return bytes_ != nullptr ? bytes_ : ""; }
  // False once an append found no room.
  bool complete() const { return complete_; }

 private:
  bool Reserve(std::size_t length);

  char* bytes_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
  bool complete_ = true;
};

// Appends one line when `level` is at most the process-wide level; the line
// is lost silently when the file cannot be written or the heap has no room
// for it.
[[gnu::format(printf, 5, 6)]] void WriteLogLine(int level, const char* sourcePath, int sourceLine, bool blankLine,
                                                const char* format, ...);
// Appends the bytes in uppercase hexadecimal without separators.
void AppendHex(LogText* out, const std::uint8_t* bytes, std::size_t count);
// One line whose only argument (for a %s in `format`) is the bytes in
// uppercase hexadecimal without separators.
void WriteLogHex(int level, const char* sourcePath, int sourceLine, const char* format, const std::uint8_t* bytes,
                 std::size_t count);

// The file the lines of this process go to today.
LogPath LogFileName();

// An entry's log line shows what its arguments point to (names, records) only
// once the entry has read and accepted them: an entry whose checks of them
// passed calls AcceptArguments. The mark is per thread; the function table's
// wrapper clears it before each call. With the log off it costs one load.
void ClearAcceptedArguments();
void AcceptArguments();
bool ArgumentsAccepted();

}  // namespace vela
