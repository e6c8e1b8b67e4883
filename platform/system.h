// Operating-system services other than PC/SC: random bytes, ids, clock and
// directories. One implementation per platform; the unit tests link fixed ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::platform {

// Fills `out` from the operating system's cryptographic random source.
// Returns false when the source failed; `out` is then unspecified.
bool RandomBytes(std::uint8_t* out, std::size_t count);

std::uint32_t ProcessId();
std::uint32_t ThreadId();

struct LocalTime {
  int year;    // e.g. 2024
  int month;   // 1 to 12
  int day;     // 1 to 31
  int hour;
  int minute;
  int second;
};
LocalTime Now();

// Creates the log folder `path` (its last level) as MakeLogDirectory does;
// the outcome is ignored by the callers.
void MakeDirectory(const char* path);

// The log directory before any setting, and the separator appended to a
// configured one.
const char* DefaultLogDirectory();
char PathSeparator();

}  // namespace vela::platform
