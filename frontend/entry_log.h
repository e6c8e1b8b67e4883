// The function table holds thin wrappers around the entries. While the log
// is off a wrapper calls its entry and does nothing else; while it is on, it
// times the call and writes one line: the entry's name, its arguments, the
// result and the duration, tagged INF, or ERR when the entry failed.
#pragma once

#include <algorithm>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/log.h"
#include "core/minidriver_abi.h"

namespace vela {

// An entry's name as a template argument.
template <std::size_t N>
struct EntryName {
  char text[N];
  constexpr EntryName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// How each argument appears in the line. Buffers of PINs, keys and data are
// never read: a pointer shows only whether it is null; strings (file,
// directory, property and user names) and the records' key fields are shown.
void AppendArgument(std::string* out, const CARD_DATA* cardData);
void AppendArgument(std::string* out, const char* text);
void AppendArgument(std::string* out, const char16_t* text);
void AppendArgument(std::string* out, const CARD_SIGNING_INFO* info);
void AppendArgument(std::string* out, const CARD_DH_AGREEMENT_INFO* info);
void AppendArgument(std::string* out, const CARD_DERIVE_KEY* info);
void AppendArgument(std::string* out, const void* pointer);
void AppendNumber(std::string* out, std::uint64_t value, bool hexadecimal);

// Indices and container numbers (bytes) in decimal; flags, PIN ids and
// lengths in hexadecimal.
template <class T>
  requires std::integral<T> || std::is_enum_v<T>
void AppendArgument(std::string* out, T value) {
  AppendNumber(out, static_cast<std::uint64_t>(value), sizeof(T) > 1);
}

// The line of one call: INF on success, ERR with the result's name otherwise.
void WriteEntryLine(const char* name, const std::string& arguments, DWORD result,
                    std::chrono::steady_clock::duration elapsed);

template <auto Entry, EntryName Name>
struct Logged;

template <class... Args, DWORD(VELA_WINAPI* Entry)(Args...), EntryName Name>
struct Logged<Entry, Name> {
  static DWORD VELA_WINAPI Call(Args... args) {
    if (LogLevel() == kLogOff) [[likely]] return Entry(args...);
    const auto start = std::chrono::steady_clock::now();
    const DWORD result = Entry(args...);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    try {
      std::string arguments;
      (AppendArgument(&arguments, args), ...);
      WriteEntryLine(Name.text, arguments, result, elapsed);
    } catch (...) {
      // No entry fails because of its log line.
    }
    return result;
  }
};

// The wrapper that goes into the function table for `entry`.
#define VELA_LOGGED(entry) ::vela::Logged<entry, #entry>::Call

}  // namespace vela
