// The diagnostic log: a text file per day and process in the log directory,
// one tagged line per call. The directory and level are process-wide and
// follow the most recent acquire. Nothing secret is ever handed to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vela {

inline constexpr int kLogOff = 0;
inline constexpr int kLogError = 1;
inline constexpr int kLogDebug = 2;
inline constexpr int kLogInfo = 3;

// Sets the directory (a separator is appended unless the path ends in one).
// A null, empty, relative or 256-character path, or one with a ".."
// component, changes nothing.
void SetLogDirectory(const char* path);
std::string LogDirectory();
// Creates the last level of the log directory; done only when logging is on.
void CreateLogDirectory();

namespace log_state {
extern std::atomic<int> level;
}  // namespace log_state

void SetLogLevel(int level);
// One relaxed atomic load: all an entry pays for the log while it is off.
inline int LogLevel() { return log_state::level.load(std::memory_order_relaxed); }

// Appends one line when `level` is at most the process-wide level; the line
// is lost silently when the file cannot be written.
[[gnu::format(printf, 5, 6)]] void WriteLogLine(int level, const char* sourcePath, int sourceLine, bool blankLine,
                                                const char* format, ...);
// Appends the bytes in uppercase hexadecimal without separators.
void AppendHex(std::string* out, const std::uint8_t* bytes, std::size_t count);
// One line whose only argument (for a %s in `format`) is the bytes in
// uppercase hexadecimal without separators.
void WriteLogHex(int level, const char* sourcePath, int sourceLine, const char* format, const std::uint8_t* bytes,
                 std::size_t count);

// The file the lines of this process go to today.
std::string LogFileName();

// An entry's log line shows what its arguments point to (names, records) only
// once the entry has read and accepted them: an entry whose checks of them
// passed calls AcceptArguments. The mark is per thread; the function table's
// wrapper clears it before each call. With the log off it costs one load.
void ClearAcceptedArguments();
void AcceptArguments();
bool ArgumentsAccepted();

}  // namespace vela
