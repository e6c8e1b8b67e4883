// A registry held in the text format of the Windows registry editor's exports
// ("Windows Registry Editor Version 5.00" or "REGEDIT4"), so that an
// administrator can bring a key exported on Windows to a Linux machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela::platform {

// Where the Linux module's HKEY_LOCAL_MACHINE lives.
inline constexpr const char* kLinuxRegistryFile = "/etc/vela3ro/registry.reg";
// Far above any real export of one key; a bigger file is not read.
inline constexpr std::size_t kMaxRegFileSize = 1 << 20;

class RegFile {
 public:
  // Reads an export in UTF-8/ANSI or UTF-16LE with its byte-order mark.
  // Nothing when the text lacks the editor's header line. Lines it cannot
  // read are skipped, as the registry editor skips them.
  static std::optional<RegFile> Parse(std::span<const std::uint8_t> bytes);

  // Whether the key exists; `path` is a full path such as
  // "HKEY_LOCAL_MACHINE\SOFTWARE\X", compared without regard to case. A key
  // exists also when only keys below it were listed.
  bool HasKey(std::string_view path) const;

  // The value's bytes as a narrow ("A") query returns them: strings in the
  // file's characters with their terminating zero, other types raw. Null when
  // the key or the value is missing; the name "" is the default value (@).
  const std::vector<std::uint8_t>* Value(std::string_view keyPath, std::string_view name) const;

 private:
  using Values = std::map<std::string, std::vector<std::uint8_t>>;
  std::map<std::string, Values> keys_;  // upper-case paths, upper-case value names

  friend class RegFileParser;
};

// What was found at a registry file's path.
enum class RegFileStatus {
  kRead,         // an export, parsed
  kAbsent,       // nothing at the path
  kUnreadable,   // there, but it could not be opened or read
  kNotRegular,   // a directory, a pipe, a device: never read
  kTooLarge,     // more than kMaxRegFileSize bytes: not read
  kNotAnExport,  // read, but without the editor's header line
};

struct LoadedRegFile {
  RegFileStatus status = RegFileStatus::kAbsent;
  std::optional<RegFile> file;  // set with kRead only
};

// Reads and parses the file at `path` without ever blocking: it is opened
// non-blocking and read only when it is a regular file of at most
// kMaxRegFileSize bytes. The module and vela3ro-tool both read through here,
// so the tool shows what the module uses. (Linux only.)
LoadedRegFile ReadRegFile(const char* path);

}  // namespace vela::platform
