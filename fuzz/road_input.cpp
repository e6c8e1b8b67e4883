#include "road_input.h"

#include <algorithm>

#include "core/minidriver_abi.h"

namespace vela::fuzz {

namespace {

constexpr std::uint32_t kTransportErrors[8] = {
    SCARD_W_REMOVED_CARD, SCARD_W_RESET_CARD,     SCARD_E_NOT_TRANSACTED,    SCARD_W_UNRESPONSIVE_CARD,
    SCARD_E_TIMEOUT,      SCARD_E_NO_SMARTCARD,   SCARD_E_INSUFFICIENT_BUFFER, SCARD_F_INTERNAL_ERROR};
constexpr std::size_t kFirstErrorCode = 0xFFF8;
// Longer than the module's receive buffer, so oversized answers are tried.
constexpr std::size_t kLongestAnswer = 1100;

void PutLength(std::vector<std::uint8_t>& out, std::size_t length) {
  out.push_back(static_cast<std::uint8_t>(length & 0xFF));
  out.push_back(static_cast<std::uint8_t>(length >> 8));
}

}  // namespace

std::size_t ByteInput::Choose(std::size_t count) {
  if (exhausted()) return 0;
  return data_[next_++] % count;
}

std::vector<std::uint8_t> ByteInput::Bytes(std::size_t count) {
  const std::size_t n = std::min(count, data_.size() - std::min(next_, data_.size()));
  std::vector<std::uint8_t> out(data_.begin() + next_, data_.begin() + next_ + n);
  next_ += n;
  return out;
}

std::uint32_t ByteInput::Answer(std::span<const std::uint8_t>, std::vector<std::uint8_t>* response) {
  if (exhausted()) return SCARD_W_REMOVED_CARD;
  const std::vector<std::uint8_t> prefix = Bytes(2);
  const std::size_t code = prefix[0] | (prefix.size() > 1 ? prefix[1] << 8 : 0);
  if (code >= kFirstErrorCode) return kTransportErrors[code - kFirstErrorCode];
  *response = Bytes(code % (kLongestAnswer + 1));
  return 0;
}

std::size_t SeedWriter::Choose(std::size_t count) {
  const std::size_t choice = choices_.at(nextChoice_++) % count;
  seed_.push_back(static_cast<std::uint8_t>(choice));
  return choice;
}

std::vector<std::uint8_t> SeedWriter::Bytes(std::size_t count) {
  std::vector<std::uint8_t> out(count, 0);
  const std::size_t n = std::min(count, supplied_.size());
  std::copy_n(supplied_.begin(), n, out.begin());
  supplied_.erase(supplied_.begin(), supplied_.begin() + n);
  seed_.insert(seed_.end(), out.begin(), out.end());
  return out;
}

std::uint32_t SeedWriter::Answer(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  return Record(card_->Transmit(command, response), *response);
}

std::uint32_t SeedWriter::ControlAnswer(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                        std::vector<std::uint8_t>* out) {
  return Record(card_->Control(controlCode, in, out), *out);
}

std::uint32_t SeedWriter::Record(std::uint32_t rc, const std::vector<std::uint8_t>& response) {
  if (rc != 0) {
    const auto* found = std::find(std::begin(kTransportErrors), std::end(kTransportErrors), rc);
    PutLength(seed_, kFirstErrorCode + static_cast<std::size_t>(found - std::begin(kTransportErrors)) % 8);
    return rc;
  }
  PutLength(seed_, response.size());
  seed_.insert(seed_.end(), response.begin(), response.end());
  return 0;
}

HostileCard::HostileCard(RoadInput* input) : input_(input), handle_(test::AttachCard(this)) {}
HostileCard::~HostileCard() { test::DetachCard(handle_); }

std::uint32_t HostileCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  return input_->Answer(command, response);
}

std::uint32_t HostileCard::Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                   std::vector<std::uint8_t>* out) {
  return input_->ControlAnswer(controlCode, in, out);
}

}  // namespace vela::fuzz
