// The function table holds thin wrappers around the entries. While the log
// is off a wrapper calls its entry and does nothing else; while it is on, it
// times the call and, when the line's level is logged, writes one line: the
// entry's name, its arguments, the result and the duration, tagged INF, or
// ERR when the entry failed. Nothing is formatted for a line not written.
// Plain values (numbers, and of a pointer whether it is null) are shown as
// passed; what a pointer points to (a name, a record) only once the entry has
// read it whole and accepted it (AcceptArguments). Entries the
// module refuses read nothing, and their lines show nothing of their
// arguments.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <type_traits>

#include "core/log.h"
#include "core/minidriver_abi.h"
#include "platform/threads.h"

namespace vela {

// An entry's name as a template argument.
template <std::size_t N>
struct EntryName {
  char text[N];
  constexpr EntryName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// How each argument appears in the line. Buffers of PINs, keys and data are
// never read: a pointer shows only whether it is null; strings (file,
// directory, property and user names) and the records' key fields are shown
// when `contents` is true, else only whether they are null.
void AppendArgument(LogText* out, const CARD_DATA* cardData, bool contents);
void AppendArgument(LogText* out, const char* text, bool contents);
void AppendArgument(LogText* out, const char16_t* text, bool contents);
void AppendArgument(LogText* out, const CARD_SIGNING_INFO* info, bool contents);
void AppendArgument(LogText* out, const CARD_DH_AGREEMENT_INFO* info, bool contents);
void AppendArgument(LogText* out, const CARD_DERIVE_KEY* info, bool contents);
void AppendArgument(LogText* out, const void* pointer, bool contents);
void AppendNumber(LogText* out, std::uint64_t value, bool hexadecimal);

// Indices and container numbers (bytes) in decimal; flags, PIN ids and
// lengths in hexadecimal.
template <class T>
  requires std::integral<T> || std::is_enum_v<T>
void AppendArgument(LogText* out, T value, bool) {
  AppendNumber(out, static_cast<std::uint64_t>(value), sizeof(T) > 1);
}

// Whether a call with this result gets a line at the current level.
bool EntryLineWanted(DWORD result);
// The line of one call: INF on success, ERR with the result's name otherwise.
// Null `arguments`: the name and the result alone; incomplete ones: no line.
void WriteEntryLine(const char* name, const LogText* arguments, DWORD result, std::uint64_t elapsedMicroseconds);

template <auto Entry, EntryName Name, bool Refused>
struct Logged;

template <class... Args, DWORD(VELA_WINAPI* Entry)(Args...), EntryName Name, bool Refused>
struct Logged<Entry, Name, Refused> {
  static DWORD VELA_WINAPI Call(Args... args) {
    if (LogLevel() == kLogOff) [[likely]] return Entry(args...);
    ClearAcceptedArguments();
    const std::uint64_t start = platform::MonotonicMicroseconds();
    const DWORD result = Entry(args...);
    const std::uint64_t elapsed = platform::MonotonicMicroseconds() - start;
    if (!EntryLineWanted(result)) return result;
    // No entry fails because of its log line: one that finds no memory is lost.
    if constexpr (Refused) {
      WriteEntryLine(Name.text, nullptr, result, elapsed);
    } else {
      const bool contents = ArgumentsAccepted();
      LogText arguments;
      (AppendArgument(&arguments, args, contents), ...);
      WriteEntryLine(Name.text, &arguments, result, elapsed);
    }
    return result;
  }
};

// The wrapper that goes into the function table for `entry`, and for an entry
// the module refuses.
#define VELA_LOGGED(entry) ::vela::Logged<entry, #entry, false>::Call
#define VELA_LOGGED_REFUSED(entry) ::vela::Logged<entry, #entry, true>::Call

}  // namespace vela
