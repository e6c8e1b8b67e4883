// Endpoints that sit between the module and another card: one records what
// crosses the wire, one breaks a chosen exchange, one replays a recording.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fake_card.h"

namespace vela::test {

struct Exchange {
  std::vector<std::uint8_t> command;
  std::vector<std::uint8_t> response;  // empty when the exchange failed
  std::uint32_t error = 0;
};

// Forwards to `inner` and keeps every exchange, for wire-cost tables and
// for recording a trace to replay.
class RecordingCard : public CardEndpoint {
 public:
  explicit RecordingCard(CardEndpoint* inner);
  ~RecordingCard() override;
  RecordingCard(const RecordingCard&) = delete;
  RecordingCard& operator=(const RecordingCard&) = delete;

  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>* out) override;

  std::vector<Exchange> exchanges() const;
  void Clear();
  std::uintptr_t handle() const { return handle_; }

 private:
  CardEndpoint* inner_;
  mutable std::mutex mutex_;
  std::vector<Exchange> exchanges_;
  std::uintptr_t handle_;
};

// How the broken exchange fails.
enum class Fault {
  kRemovedCard,  // SCardTransmit reports SCARD_W_REMOVED_CARD
  kResetCard,    // SCardTransmit reports SCARD_W_RESET_CARD
  kOneByte,      // the answer is cut to its first byte: no status word
  kNoAnswer,     // the exchange completes with nothing received
  kStatusOnly,   // the data are dropped, the status word stays
};
const char* FaultName(Fault fault);
inline constexpr Fault kAllFaults[] = {Fault::kRemovedCard, Fault::kResetCard, Fault::kOneByte, Fault::kNoAnswer,
                                       Fault::kStatusOnly};

// Forwards to `inner` until armed; then the `n`th exchange (1-based) after
// arming fails as `fault` says, and the others pass.
class FaultyCard : public CardEndpoint {
 public:
  explicit FaultyCard(CardEndpoint* inner);
  ~FaultyCard() override;
  FaultyCard(const FaultyCard&) = delete;
  FaultyCard& operator=(const FaultyCard&) = delete;

  void Arm(std::size_t n, Fault fault);
  void Disarm();
  // The armed exchange has happened.
  bool fired() const;
  // Exchanges seen since the last Arm or Disarm.
  std::size_t seen() const;

  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>* out) override;
  std::uintptr_t handle() const { return handle_; }

 private:
  CardEndpoint* inner_;
  mutable std::mutex mutex_;
  std::size_t armedAt_ = 0;  // 0: disarmed
  std::size_t seen_ = 0;
  Fault fault_ = Fault::kRemovedCard;
  bool fired_ = false;
  std::uintptr_t handle_;
};

// Answers from a recording, in order and round and round, at the cost of a
// copy: a card that takes no time, so benchmarks see the module's own work.
// A command other than the recorded one is answered 6F 00 and counted.
class ReplayCard : public CardEndpoint {
 public:
  explicit ReplayCard(std::vector<Exchange> trace);
  ~ReplayCard() override;
  ReplayCard(const ReplayCard&) = delete;
  ReplayCard& operator=(const ReplayCard&) = delete;

  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override;
  std::size_t mismatches() const { return mismatches_; }
  std::uintptr_t handle() const { return handle_; }

 private:
  std::vector<Exchange> trace_;
  std::size_t next_ = 0;
  std::size_t mismatches_ = 0;
  std::uintptr_t handle_;
};

// Command and response bytes of a list of exchanges.
struct WireCost {
  std::size_t apdus = 0;
  std::size_t bytesOut = 0;  // commands
  std::size_t bytesIn = 0;   // responses, status words included
};
WireCost CostOf(const std::vector<Exchange>& exchanges);

}  // namespace vela::test
