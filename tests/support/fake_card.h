// The unit tests' PC/SC: each card handle is routed to a CardEndpoint, a
// scripted card or the emulated one.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vela::test {

std::vector<std::uint8_t> Hex(const std::string& text);
std::string ToHex(std::span<const std::uint8_t> bytes);

class CardEndpoint {
 public:
  virtual ~CardEndpoint() = default;
  // Returns 0 with the response (data and status word), or a PC/SC error.
  virtual std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) = 0;
  // SCardControl; by default the reader has no features.
  virtual std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                std::vector<std::uint8_t>* out);
};

// Routes a new card handle to `endpoint` until DetachCard.
std::uintptr_t AttachCard(CardEndpoint* endpoint);
void DetachCard(std::uintptr_t handle);

// A card that expects an exact list of command APDUs and gives a scripted
// answer (or a transport error) to each. Anything else fails the test.
class ScriptedCard : public CardEndpoint {
 public:
  ScriptedCard();
  ~ScriptedCard() override;

  ScriptedCard& Expect(const std::string& commandHex, const std::string& responseHex);
  ScriptedCard& Expect(std::vector<std::uint8_t> command, std::vector<std::uint8_t> response);
  // The exchange fails with `error`; a reader may have written part of an
  // answer (`partialHex`) into the receive buffer before it failed.
  ScriptedCard& ExpectError(const std::string& commandHex, std::uint32_t error, const std::string& partialHex = "");
  // The SELECT of the card application that every working entry starts with.
  ScriptedCard& ExpectSelectApplication(const std::string& responseHex = "9000");
  // The exchanges of an acquire on a card with both optional containers
  // (`container6`, `container7` choose the probe answers).
  ScriptedCard& ExpectAcquire(bool container6 = true, bool container7 = true,
                              const std::string& serialHex = "00112233445566778899");

  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;

  bool done() const;
  std::size_t remaining() const;
  // Every command received, in order.
  std::vector<std::vector<std::uint8_t>> received() const;
  // Leftover expectations are not a failure (the test checks done() itself).
  void AllowLeftovers() { allowLeftovers_ = true; }

  std::uintptr_t handle() const { return handle_; }

 private:
  struct Step {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> response;
    std::uint32_t error = 0;
  };
  mutable std::mutex mutex_;
  std::deque<Step> steps_;
  std::vector<std::vector<std::uint8_t>> received_;
  bool allowLeftovers_ = false;
  std::uintptr_t handle_;
};

}  // namespace vela::test
