// A host holding an acquired context on a scripted card. At the end the card
// must have received exactly what it expected and the host's heap must be
// back where it started.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "fake_card.h"
#include "fake_system.h"
#include "test_host.h"

namespace vela::test {

inline constexpr char kPinHex[] = "31 32 33 34 35 36";  // "123456"

class AcquiredCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveBefore_ = HostHeap::Live();
    // Container 7 (an optional signing key) is absent on this card.
    card_.ExpectAcquire(true, false);
    ASSERT_EQ(host_.Acquire(), 0u);
    context_ = ContextOf(host_.get());
  }

  void TearDown() override {
    card_.ExpectSelectApplication();  // the delete's
    host_.Release();
    EXPECT_TRUE(card_.done()) << card_.remaining() << " expected command(s) never sent";
    EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over";
    HostHeap::FailAllocations(0, 0);
    scriptedRandom.clear();
    randomFails = false;
  }

  // The entry's select, then `command` answered with `answer` or, when that
  // is null, failing in the transport as a pulled card does.
  void ExpectExchange(const std::string& command, const char* answer) {
    card_.ExpectSelectApplication();
    if (answer != nullptr) {
      card_.Expect(command, answer);
    } else {
      card_.ExpectError(command, SCARD_W_REMOVED_CARD);
    }
  }

  void ExpectVerify(BYTE pinRef, const std::string& pinHex, const char* answer) {
    ExpectExchange(VerifyCommand(pinRef, Hex(pinHex)), answer);
  }

  static std::string VerifyCommand(BYTE pinRef, const std::vector<BYTE>& pin) {
    const BYTE header[] = {0x00, 0x20, 0x00, pinRef, static_cast<BYTE>(pin.size())};
    return ToHex(header) + " " + ToHex(pin);
  }

  // Verifies the user PIN through the interface, as a host signs in.
  void SignIn() {
    ExpectVerify(0x03, kPinHex, "90 00");
    std::vector<BYTE> pin = Hex(kPinHex);
    ASSERT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, 0, pin.data(), static_cast<DWORD>(pin.size()), nullptr,
                                 nullptr, nullptr),
              0u);
    ASSERT_TRUE(context_->userAuthenticated);
  }

  ScriptedCard card_;
  TestHost host_{card_.handle()};
  CardContext* context_ = nullptr;
  std::size_t liveBefore_ = 0;
};

}  // namespace vela::test
