#include "card_taps.h"

#include <algorithm>

#include "core/minidriver_abi.h"

namespace vela::test {

RecordingCard::RecordingCard(CardEndpoint* inner) : inner_(inner), handle_(AttachCard(this)) {}
RecordingCard::~RecordingCard() { DetachCard(handle_); }

std::uint32_t RecordingCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  const std::uint32_t rc = inner_->Transmit(command, response);
  std::lock_guard lock(mutex_);
  exchanges_.push_back({{command.begin(), command.end()}, rc == 0 ? *response : std::vector<std::uint8_t>{}, rc});
  return rc;
}

std::uint32_t RecordingCard::Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                     std::vector<std::uint8_t>* out) {
  return inner_->Control(controlCode, in, out);
}

std::vector<Exchange> RecordingCard::exchanges() const {
  std::lock_guard lock(mutex_);
  return exchanges_;
}

void RecordingCard::Clear() {
  std::lock_guard lock(mutex_);
  exchanges_.clear();
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kRemovedCard: return "removed card";
    case Fault::kResetCard: return "reset card";
    case Fault::kOneByte: return "one byte";
    case Fault::kNoAnswer: return "no answer";
    case Fault::kStatusOnly: return "status only";
  }
  return "?";
}

FaultyCard::FaultyCard(CardEndpoint* inner) : inner_(inner), handle_(AttachCard(this)) {}
FaultyCard::~FaultyCard() { DetachCard(handle_); }

void FaultyCard::Arm(std::size_t n, Fault fault) {
  std::lock_guard lock(mutex_);
  armedAt_ = n;
  fault_ = fault;
  seen_ = 0;
  fired_ = false;
}

void FaultyCard::Disarm() { Arm(0, Fault::kRemovedCard); }

bool FaultyCard::fired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

std::size_t FaultyCard::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::uint32_t FaultyCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    ++seen_;
    if (armedAt_ == 0 || seen_ != armedAt_) return inner_->Transmit(command, response);
    fired_ = true;
    fault = fault_;
  }
  switch (fault) {
    case Fault::kRemovedCard: return SCARD_W_REMOVED_CARD;
    case Fault::kResetCard: return SCARD_W_RESET_CARD;
    default: break;
  }
  // The card did see the command (a PIN try may be spent); only the answer is lost.
  const std::uint32_t rc = inner_->Transmit(command, response);
  if (rc != 0) return rc;
  if (fault == Fault::kOneByte) response->resize(std::min<std::size_t>(response->size(), 1));
  if (fault == Fault::kNoAnswer) response->clear();
  if (fault == Fault::kStatusOnly && response->size() > 2) response->erase(response->begin(), response->end() - 2);
  return 0;
}

std::uint32_t FaultyCard::Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                  std::vector<std::uint8_t>* out) {
  return inner_->Control(controlCode, in, out);
}

ReplayCard::ReplayCard(std::vector<Exchange> trace) : trace_(std::move(trace)), handle_(AttachCard(this)) {}
ReplayCard::~ReplayCard() { DetachCard(handle_); }

std::uint32_t ReplayCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  if (trace_.empty()) return SCARD_E_NOT_TRANSACTED;
  const Exchange& step = trace_[next_];
  next_ = (next_ + 1) % trace_.size();
  if (!std::equal(command.begin(), command.end(), step.command.begin(), step.command.end())) {
    ++mismatches_;
    *response = {0x6F, 0x00};
    return 0;
  }
  if (step.error != 0) return step.error;
  *response = step.response;
  return 0;
}

WireCost CostOf(const std::vector<Exchange>& exchanges) {
  WireCost cost;
  for (const Exchange& e : exchanges) {
    ++cost.apdus;
    cost.bytesOut += e.command.size();
    cost.bytesIn += e.response.size();
  }
  return cost;
}

}  // namespace vela::test
