#include "emulated_card.h"

#include "frontend/minidriver_abi.h"

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

}  // namespace vela::test
