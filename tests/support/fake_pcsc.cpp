#include <gtest/gtest.h>

#include <map>

#include "core/minidriver_abi.h"
#include "fake_card.h"
#include "freed_memory.h"
#include "platform/pcsc.h"

namespace vela::test {

namespace {

std::mutex& RouteMutex() {
  static std::mutex m;
  return m;
}
std::map<std::uintptr_t, CardEndpoint*>& Routes() {
  static std::map<std::uintptr_t, CardEndpoint*> routes;
  return routes;
}
std::uintptr_t nextHandle = 0x1000;

CardEndpoint* Route(std::uintptr_t handle) {
  std::lock_guard lock(RouteMutex());
  auto it = Routes().find(handle);
  return it == Routes().end() ? nullptr : it->second;
}

}  // namespace

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::uint32_t CardEndpoint::Control(std::uint32_t, std::span<const std::uint8_t>, std::vector<std::uint8_t>* out) {
  out->clear();
  return 0;
}

std::uintptr_t AttachCard(CardEndpoint* endpoint) {
  std::lock_guard lock(RouteMutex());
  const std::uintptr_t handle = nextHandle++;
  Routes()[handle] = endpoint;
  return handle;
}

void DetachCard(std::uintptr_t handle) {
  std::lock_guard lock(RouteMutex());
  Routes().erase(handle);
}

ScriptedCard::ScriptedCard() : handle_(AttachCard(this)) {}

ScriptedCard::~ScriptedCard() {
  DetachCard(handle_);
  if (!allowLeftovers_ && !steps_.empty()) {
    ADD_FAILURE() << steps_.size() << " expected command(s) never sent, first: " << ToHex(steps_.front().command);
  }
}

ScriptedCard& ScriptedCard::Expect(const std::string& commandHex, const std::string& responseHex) {
  return Expect(Hex(commandHex), Hex(responseHex));
}

ScriptedCard& ScriptedCard::Expect(std::vector<std::uint8_t> command, std::vector<std::uint8_t> response) {
  std::lock_guard lock(mutex_);
  steps_.push_back({std::move(command), std::move(response), 0});
  return *this;
}

ScriptedCard& ScriptedCard::ExpectError(const std::string& commandHex, std::uint32_t error,
                                        const std::string& partialHex) {
  std::lock_guard lock(mutex_);
  steps_.push_back({Hex(commandHex), Hex(partialHex), error});
  return *this;
}

ScriptedCard& ScriptedCard::ExpectSelectApplication(const std::string& responseHex) {
  return Expect("00 A4 08 0C 04 DF 02 80 FF", responseHex);
}

ScriptedCard& ScriptedCard::ExpectAcquire(bool container6, bool container7, const std::string& serialHex) {
  Expect("00 A4 08 0C 02 2F 02", "9000");
  Expect("00 B0 00 02 0A", serialHex + " 9000");
  Expect("00 A4 08 0C 04 DF 02 45 B2", "9000");
  Expect("00 B0 00 00 02", container6 ? "30 59 90 00" : "00 00 90 00");
  Expect("00 A4 08 0C 04 DF 01 45 B2", "9000");
  Expect("00 B0 00 00 02", container7 ? "30 59 90 00" : "FF FF 90 00");
  return *this;
}

std::uint32_t ScriptedCard::Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) {
  std::lock_guard lock(mutex_);
  received_.emplace_back(command.begin(), command.end());
  if (steps_.empty()) {
    ADD_FAILURE() << "unexpected command " << ToHex(command);
    return SCARD_E_NOT_TRANSACTED;
  }
  Step step = std::move(steps_.front());
  steps_.pop_front();
  if (!std::equal(command.begin(), command.end(), step.command.begin(), step.command.end())) {
    ADD_FAILURE() << "command " << ToHex(command) << "\n expected " << ToHex(step.command);
    return SCARD_E_NOT_TRANSACTED;
  }
  *response = std::move(step.response);
  return step.error;
}

bool ScriptedCard::done() const {
  std::lock_guard lock(mutex_);
  return steps_.empty();
}

std::size_t ScriptedCard::remaining() const {
  std::lock_guard lock(mutex_);
  return steps_.size();
}

std::vector<std::vector<std::uint8_t>> ScriptedCard::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

}  // namespace vela::test

// The platform seam, routed to the endpoints above.
namespace vela::platform {

std::uint32_t PcscTransmit(std::uintptr_t card, const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength) {
  // What this stand-in and the card free is not the module's: a watch for
  // freed secrets looks past it (the pause outlives `answer`).
  const test::FreedMemoryWatch::Paused notTheModules;
  test::CardEndpoint* endpoint = test::Route(card);
  if (endpoint == nullptr) return SCARD_E_INVALID_HANDLE;
  std::vector<std::uint8_t> answer;
  const std::uint32_t rc = endpoint->Transmit({command, commandLength}, &answer);
  if (rc != 0) {
    // A failing reader may leave part of an answer behind, as real ones can.
    std::copy_n(answer.begin(), std::min<std::size_t>(answer.size(), *responseLength), response);
    return rc;
  }
  if (answer.size() > *responseLength) return SCARD_E_INSUFFICIENT_BUFFER;
  std::copy(answer.begin(), answer.end(), response);
  *responseLength = static_cast<std::uint32_t>(answer.size());
  return 0;
}

std::uint32_t PcscControl(std::uintptr_t card, std::uint32_t controlCode, const std::uint8_t* in,
                          std::uint32_t inLength, std::uint8_t* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned) {
  test::CardEndpoint* endpoint = test::Route(card);
  if (endpoint == nullptr) return SCARD_E_INVALID_HANDLE;
  std::vector<std::uint8_t> answer;
  const std::uint32_t rc = endpoint->Control(controlCode, {in, inLength}, &answer);
  if (rc != 0) return rc;
  if (answer.size() > outSize) return SCARD_E_INSUFFICIENT_BUFFER;
  std::copy(answer.begin(), answer.end(), out);
  if (bytesReturned != nullptr) *bytesReturned = static_cast<std::uint32_t>(answer.size());
  return 0;
}

// Linux's encoding; the module takes the code from here, whatever it is.
std::uint32_t FeatureRequestControlCode() { return 0x42000000u + 3400u; }

}  // namespace vela::platform
