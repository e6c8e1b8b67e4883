#include "emulator/pin_pad_reader.h"

#include <algorithm>
#include <thread>

namespace vela::emu {

namespace {

constexpr std::uint32_t kInvalidParameter = 0x80100004;
constexpr std::uint32_t kUnsupportedFeature = 0x80100022;
constexpr std::uint32_t kRemovedCard = 0x80100069;

// PIN_VERIFY_STRUCTURE offsets.
constexpr std::size_t kMaxExtraDigit = 5;  // low byte maximum, high byte minimum
constexpr std::size_t kDataLength = 15;
constexpr std::size_t kData = 19;

void AppendFeature(Bytes& out, std::uint8_t tag) {
  const std::uint32_t code = kReaderControlBase + tag;
  out.insert(out.end(), {tag, 0x04, static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
                         static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)});
}

}  // namespace

PinPadReader::PinPadReader(VelaCard& card, PinPadOptions options) : card_(card), options_(std::move(options)) {}

std::size_t PinPadReader::verifications() const {
  std::lock_guard lock(mutex_);
  return verifications_;
}

std::uint32_t PinPadReader::Control(std::uint32_t code, std::span<const std::uint8_t> in, Bytes* out) {
  out->clear();
  if (code == kFeatureRequestLinux || code == kFeatureRequestWindows) {
    if (options_.features == PinPadFeatures::kVerifyDirect) AppendFeature(*out, kFeatureVerifyPinDirect);
    if (options_.features == PinPadFeatures::kStartFinish) {
      AppendFeature(*out, kFeatureVerifyPinStart);
      AppendFeature(*out, kFeatureVerifyPinFinish);
    }
    return 0;
  }
  const bool direct = options_.features == PinPadFeatures::kVerifyDirect;
  const bool startFinish = options_.features == PinPadFeatures::kStartFinish;
  if (direct && code == kReaderControlBase + kFeatureVerifyPinDirect) return VerifyOnPad(in, out);
  if (startFinish && code == kReaderControlBase + kFeatureVerifyPinStart) {
    if (const std::uint32_t rc = CheckStructure(in); rc != 0) return rc;
    std::lock_guard lock(mutex_);
    pending_ = Bytes(in.begin(), in.end());
    return 0;
  }
  if (startFinish && code == kReaderControlBase + kFeatureVerifyPinFinish) {
    std::optional<Bytes> structure;
    {
      std::lock_guard lock(mutex_);
      structure.swap(pending_);
    }
    if (!structure) return kInvalidParameter;
    return VerifyOnPad(*structure, out);
  }
  return kUnsupportedFeature;
}

std::uint32_t PinPadReader::CheckStructure(std::span<const std::uint8_t> in) const {
  if (in.size() < kData + 4) return kInvalidParameter;
  const std::uint32_t dataLength = in[kDataLength] | in[kDataLength + 1] << 8 | in[kDataLength + 2] << 16 |
                                   static_cast<std::uint32_t>(in[kDataLength + 3]) << 24;
  if (dataLength < 4 || in.size() != kData + dataLength) return kInvalidParameter;
  // abData is the VERIFY header (CLA INS P1 P2), optionally Lc and a PIN block.
  if (in[kData] != 0x00 || in[kData + 1] != 0x20 || in[kData + 2] != 0x00) return kInvalidParameter;
  return 0;
}

std::uint32_t PinPadReader::VerifyOnPad(std::span<const std::uint8_t> structure, Bytes* out) {
  if (const std::uint32_t rc = CheckStructure(structure); rc != 0) return rc;
  {
    std::lock_guard lock(mutex_);
    ++verifications_;
  }
  if (options_.delay.count() > 0) std::this_thread::sleep_for(options_.delay);
  if (options_.outcome != PinPadOutcome::kTyped) {
    *out = {0x64, static_cast<std::uint8_t>(options_.outcome == PinPadOutcome::kTimeout ? 0x00 : 0x01)};
    return 0;
  }
  const std::string pin = options_.pin.value_or(card_.PinValue(structure[kData + 3]));
  const std::size_t minDigits = structure[kMaxExtraDigit + 1];
  const std::size_t maxDigits = structure[kMaxExtraDigit];
  if (pin.size() < minDigits || pin.size() > maxDigits) {
    *out = {0x64, 0x03};
    return 0;
  }
  // The PIN goes in ASCII, left-justified, over the start of the PIN block
  // when the structure carries one.
  Bytes apdu(structure.begin() + kData, structure.begin() + kData + 4);
  const std::size_t blockStart = std::min(structure.size(), kData + 5);
  Bytes block(structure.begin() + static_cast<std::ptrdiff_t>(blockStart), structure.end());
  if (block.size() < pin.size()) block.resize(pin.size());
  std::copy(pin.begin(), pin.end(), block.begin());
  apdu.push_back(static_cast<std::uint8_t>(block.size()));
  apdu.insert(apdu.end(), block.begin(), block.end());
  const std::optional<Bytes> response = card_.Transmit(apdu);
  if (!response) return kRemovedCard;
  *out = response->size() >= 2 ? Bytes(response->end() - 2, response->end()) : *response;
  return 0;
}

}  // namespace vela::emu
