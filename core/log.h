// The diagnostic log: a text file per day and process in the log directory,
// one tagged line per call. The directory and level are process-wide and
// follow the most recent acquire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vela {

inline constexpr int kLogOff = 0;
inline constexpr int kLogError = 1;
inline constexpr int kLogDebug = 2;
inline constexpr int kLogInfo = 3;

// Sets the directory (a separator is appended unless the path ends in one)
// and creates its last level. A null, empty or 256-character path changes
// nothing.
void SetLogDirectory(const char* path);
std::string LogDirectory();

void SetLogLevel(int level);
int LogLevel();

// Appends one line when `level` is at most the process-wide level; the line
// is lost silently when the file cannot be written.
[[gnu::format(printf, 5, 6)]] void WriteLogLine(int level, const char* sourcePath, int sourceLine, bool blankLine,
                                                const char* format, ...);
// One line whose only argument (for a %s in `format`) is the bytes in
// uppercase hexadecimal without separators.
void WriteLogHex(int level, const char* sourcePath, int sourceLine, const char* format, const std::uint8_t* bytes,
                 std::size_t count);

// The file the lines of this process go to today.
std::string LogFileName();

}  // namespace vela
