// The emulated VELA card as a CardEndpoint: what end-to-end unit tests attach
// to a TestHost (`TestHost host(card.handle());`).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "emulator/pin_pad_reader.h"
#include "emulator/vela_card.h"
#include "fake_card.h"

namespace vela::test {

class EmulatedCard : public CardEndpoint {
 public:
  explicit EmulatedCard(emu::Personalisation personalisation = {});
  ~EmulatedCard() override;
  EmulatedCard(const EmulatedCard&) = delete;
  EmulatedCard& operator=(const EmulatedCard&) = delete;

  // A dropped connection becomes SCARD_W_REMOVED_CARD.
  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;

  // SCardControl goes to the PIN-pad reader once one is attached; before, the
  // reader has no features.
  std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>* out) override;
  emu::PinPadReader& AttachPinPad(emu::PinPadOptions options = {});

  emu::VelaCard& card() { return card_; }
  emu::VelaCard* operator->() { return &card_; }
  std::uintptr_t handle() const { return handle_; }

 private:
  emu::VelaCard card_;
  std::unique_ptr<emu::PinPadReader> pinPad_;
  std::uintptr_t handle_;
};

}  // namespace vela::test
