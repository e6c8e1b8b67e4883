// A PIN-pad reader in front of the emulated card: answers SCardControl with
// the PC/SC part 10 feature list and runs VERIFY with a PIN "typed on the pad".
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "emulator/vela_card.h"

namespace vela::emu {

// CM_IOCTL_GET_FEATURE_REQUEST as pcsc-lite and as Windows encode it; the
// reader answers both.
inline constexpr std::uint32_t kFeatureRequestLinux = 0x42000D48;
inline constexpr std::uint32_t kFeatureRequestWindows = 0x00313520;
// Feature tags and the reader's control code for each: base + tag.
inline constexpr std::uint8_t kFeatureVerifyPinStart = 0x01;
inline constexpr std::uint8_t kFeatureVerifyPinFinish = 0x02;
inline constexpr std::uint8_t kFeatureVerifyPinDirect = 0x06;
inline constexpr std::uint32_t kReaderControlBase = 0x42330000;

enum class PinPadFeatures {
  kVerifyDirect,  // FEATURE_VERIFY_PIN_DIRECT only
  kStartFinish,   // FEATURE_VERIFY_PIN_START and FEATURE_VERIFY_PIN_FINISH
  kNone,          // an ordinary reader: an empty feature list
};

enum class PinPadOutcome {
  kTyped,    // the PIN is typed and sent to the card
  kTimeout,  // the reader answers 64 00 without asking the card
  kCancel,   // 64 01
};

struct PinPadOptions {
  PinPadFeatures features = PinPadFeatures::kVerifyDirect;
  // What the user types; when not set, the card's current value of the PIN
  // the VERIFY names (the user PIN for 03).
  std::optional<std::string> pin;
  // How long the user takes, so a test can look at the host's notice meanwhile.
  std::chrono::milliseconds delay{0};
  PinPadOutcome outcome = PinPadOutcome::kTyped;
};

class PinPadReader {
 public:
  PinPadReader(VelaCard& card, PinPadOptions options);

  // SCardControl: 0 with `out` filled, or a PC/SC error code
  // (SCARD_E_UNSUPPORTED_FEATURE for a code the reader does not offer,
  // SCARD_E_INVALID_PARAMETER for a malformed PIN_VERIFY_STRUCTURE,
  // SCARD_W_REMOVED_CARD when the card's connection dropped).
  std::uint32_t Control(std::uint32_t code, std::span<const std::uint8_t> in, Bytes* out);

  // Verifications run on the pad so far.
  std::size_t verifications() const;

 private:
  std::uint32_t CheckStructure(std::span<const std::uint8_t> in) const;
  std::uint32_t VerifyOnPad(std::span<const std::uint8_t> structure, Bytes* out);

  VelaCard& card_;
  PinPadOptions options_;
  mutable std::mutex mutex_;
  std::optional<Bytes> pending_;  // the structure of a started verification
  std::size_t verifications_ = 0;
};

}  // namespace vela::emu
