// Command and response APDUs as small value types: built once, read by name.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/minidriver_abi.h"

namespace vela {

// A short-form command APDU with class byte 00, in a 256-byte buffer of its
// own. The buffer may hold PIN bytes, so it is wiped when the value dies.
class CommandApdu {
 public:
  static constexpr std::size_t kCapacity = 256;

  CommandApdu(BYTE ins, BYTE p1, BYTE p2);
  ~CommandApdu();
  CommandApdu(const CommandApdu&) = delete;
  CommandApdu& operator=(const CommandApdu&) = delete;

  // Appends to the data field; Lc is their sum. Fails (and the APDU becomes
  // unusable) when the data field would pass 255 bytes.
  CommandApdu& Data(std::span<const BYTE> bytes);
  CommandApdu& Data(std::initializer_list<BYTE> bytes);
  // Le comes last: data appended after it makes the APDU invalid.
  CommandApdu& Le(BYTE le);

  // False when the data did not fit; such an APDU is never sent.
  bool valid() const { return valid_; }
  // Header, Lc and data (when any), Le (when set).
  std::span<const BYTE> bytes() const;

 private:
  std::size_t HeaderAndDataLength() const;

  std::array<BYTE, kCapacity> buffer_{};
  std::size_t dataLength_ = 0;
  bool hasLe_ = false;
  bool valid_ = true;
};

// The card's answer: data and status word. Owns the transport's response copy
// and wipes it on release (an answer may echo secrets).
class ResponseApdu {
 public:
  ResponseApdu() = default;
  ~ResponseApdu();
  ResponseApdu(const ResponseApdu&) = delete;
  ResponseApdu& operator=(const ResponseApdu&) = delete;

  // Sends `command` through TransmitApdu. Returns the transport's result; on
  // 0 the response is readable.
  DWORD Exchange(const CARD_DATA* cardData, const CommandApdu& command);

  // At least the two status bytes arrived.
  bool hasStatus() const { return length_ >= 2; }
  WORD status() const { return status_; }
  // The response data without the status bytes (empty without them).
  std::span<const BYTE> data() const;

 private:
  void Release();
  BYTE* copy_ = nullptr;
  DWORD length_ = 0;
  WORD status_ = 0;
};

}  // namespace vela
