// The read-only virtual file system the host sees: the root files, the mscp
// directory with cmapfile and one certificate file per container.
#pragma once

#include <array>
#include <cstddef>

#include "card/card_profile.h"
#include "core/heap_block.h"
#include "core/minidriver_abi.h"

namespace vela {

inline constexpr std::size_t kContainerMapRecordLength = 86;
inline constexpr std::size_t kContainerMapLength = kMaxContainers * kContainerMapRecordLength;  // 1376
// An entry index that names no entry.
inline constexpr BYTE kNoEntry = 0xFF;

// Names of a directory listing, each ended by a zero byte. Bounded by what the
// module lists (16 certificate names and cmapfile), so it never allocates.
class FileNameList {
 public:
  // Ignores a null or empty name; false when the name does not fit.
  bool Append(const char* name);
  // Ends the list with one more zero byte. Returns the byte count, final zero
  // included, or 0 when nothing was appended ("no list").
  std::size_t Finish();
  const char* bytes() const { return buffer_.data(); }

 private:
  std::array<char, 128> buffer_{};
  std::size_t length_ = 0;
};

// Present, 1 to 8 characters, none of " * / : < > ? \ | and none below 0x20.
bool IsValidFileName(const char* name);

// "kscXX" / "kxcXX" (prefix case-sensitive) to the entry index XX; kNoEntry
// for any other name.
BYTE CertificateIndexFromName(const char* name);

// A file's content in the module's own heap.
struct FileContent {
  HeapArray<BYTE> bytes;
  DWORD length = 0;
};

// Reads the selected file whole into `content`, sized to the bytes read.
DWORD ReadSelectedFile(const CARD_DATA* cardData, FileContent* content);

// Fills the 1376 bytes of cmapfile. A smaller `size` zeroes `size` bytes and
// gives SCARD_E_INVALID_PARAMETER.
DWORD BuildContainerMap(const CardProfile& profile, BYTE* out, std::size_t size);

// Appends "kscNN" / "kxcNN" for every certificate file the card holds.
DWORD ListCertificateFiles(const CARD_DATA* cardData, FileNameList* list);

// The certificate file of entry `index`, byte for byte as the card holds it;
// SCARD_F_INTERNAL_ERROR and no content on any failure.
DWORD ReadCertificateFile(const CARD_DATA* cardData, std::size_t index, FileContent* content);

}  // namespace vela
