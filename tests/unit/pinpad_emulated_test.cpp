// The PIN pad from the host's call to the card: CardAuthenticateEx in PIN-pad
// mode on the emulated card behind an emulated PIN-pad reader.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/entry_points.h"
#include "emulated_card.h"
#include "fake_registry.h"
#include "fake_window.h"
#include "test_host.h"

namespace vela::test {
namespace {

using emu::PinPadFeatures;
using emu::PinPadOutcome;


TEST(PinPadEndToEndTest, TheReaderSendsTheTypedPinAsVerify) {
  struct Case {
    const char* name;
    PinPadFeatures features;
    const char* typed;  // null: the card's user PIN
    PinPadOutcome outcome;
    DWORD flags;
    DWORD expected;
    DWORD attempts;       // when the PIN was refused
    const char* verify;   // the VERIFY the card receives, null: none
    const char* notice;
  };
  const Case cases[] = {
      {"direct", PinPadFeatures::kVerifyDirect, nullptr, PinPadOutcome::kTyped, 0, 0, 0,
       "00 20 00 03 06 31 32 33 34 35 36", "create show text destroy"},
      {"start and finish, silent", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kTyped,
       CARD_PIN_SILENT_CONTEXT, 0, 0, "00 20 00 03 06 31 32 33 34 35 36", ""},
      {"wrong PIN typed", PinPadFeatures::kVerifyDirect, "654321", PinPadOutcome::kTyped, 0, SCARD_W_WRONG_CHV, 2,
       "00 20 00 03 06 36 35 34 33 32 31", "create show text destroy"},
      {"time-out at the reader", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kTimeout, 0,
       SCARD_W_WRONG_CHV, 3, nullptr, "create show text destroy"},
  };
  for (const Case& c : cases) {
    RegistryScope registry;
    SetRegistryString(kSettingsKey, "usePinPad", "TRUE");
    EmulatedCard card;
    card.AttachPinPad({c.features, c.typed ? std::optional<std::string>(c.typed) : std::nullopt,
                       std::chrono::milliseconds(0), c.outcome});
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u) << c.name;
    HWND none = nullptr;
    ASSERT_EQ(host->pfnCardSetProperty(host.get(), u"Parent Window", reinterpret_cast<PBYTE>(&none), sizeof none, 0),
              0u)
        << c.name;
    ClearNoticeEvents();
    card->ClearTrace();

    // The host's PIN bytes play no part in PIN-pad mode.
    DWORD attempts = 99;
    EXPECT_EQ(host->pfnCardAuthenticateEx(host.get(), ROLE_USER, c.flags, nullptr, 0, nullptr, nullptr, &attempts),
              c.expected)
        << c.name;
    if (c.expected != 0) {
      EXPECT_EQ(attempts, c.attempts) << c.name;
    }
    EXPECT_EQ(card->Verified(0x03), c.expected == 0) << c.name;

    const std::vector<std::string> trace = card->Trace();
    const auto verify = std::find_if(trace.begin(), trace.end(), [](const std::string& line) {
      return line.rfind("> 00 20 00 03", 0) == 0;
    });
    if (c.verify == nullptr) {
      EXPECT_EQ(verify, trace.end()) << c.name;
    } else {
      ASSERT_NE(verify, trace.end()) << c.name;
      EXPECT_EQ(*verify, std::string("> ") + c.verify) << c.name;
    }

    EXPECT_EQ(NoticeLifecycle(), c.notice) << c.name;
    if (!NoticeEvents().empty()) {
      EXPECT_EQ(NoticeEvents().front().owner, platform::DesktopWindow()) << "owned by the parent window set";
    }
  }
  ClearNoticeEvents();
}

}  // namespace
}  // namespace vela::test
