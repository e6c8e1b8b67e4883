#include "emulated_card.h"

#include "core/minidriver_abi.h"

namespace vela::test {

EmulatedCard::EmulatedCard(emu::Personalisation personalisation)
    : card_(std::move(personalisation)), handle_(AttachCard(this)) {}

EmulatedCard::~EmulatedCard() { DetachCard(handle_); }

std::uint32_t EmulatedCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  std::optional<emu::Bytes> answer = card_.Transmit(command);
  if (!answer) return SCARD_W_REMOVED_CARD;
  *response = std::move(*answer);
  return 0;
}

std::uint32_t EmulatedCard::Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                    std::vector<std::uint8_t>* out) {
  if (!pinPad_) return CardEndpoint::Control(controlCode, in, out);
  return pinPad_->Control(controlCode, in, out);
}

emu::PinPadReader& EmulatedCard::AttachPinPad(emu::PinPadOptions options) {
  pinPad_ = std::make_unique<emu::PinPadReader>(card_, std::move(options));
  return *pinPad_;
}

}  // namespace vela::test
