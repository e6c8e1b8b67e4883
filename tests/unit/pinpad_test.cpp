#include <gtest/gtest.h>

#include "auth/pin_pad.h"
#include "core/card_context.h"
#include "fake_registry.h"
#include "fake_window.h"
#include "platform/pcsc.h"
#include "scripted_reader.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr DWORD kDirect = 0x00313528;
constexpr DWORD kStart = 0x42330001;
constexpr DWORD kFinish = 0x42330002;
const std::string kUserBlock = "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 04 00 00 00 00 20 00 03";

TEST(ReaderFeaturesTest, RepliesAreReadInSixByteEntries) {
  struct Case {
    const char* name;
    std::string reply;
    ReaderFeatures expected;
  };
  const Case cases[] = {
      {"direct only", FeatureEntry(0x06, kDirect), {kDirect, 0, 0, 0, 0, 0}},
      {"start without finish", FeatureEntry(0x01, kStart), {}},
      {"finish without start", FeatureEntry(0x02, kFinish), {}},
      {"start and finish", FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish), {0, kStart, kFinish, 0, 0, 0}},
      {"modify only", FeatureEntry(0x07, 0x11) + FeatureEntry(0x03, 0x12) + FeatureEntry(0x04, 0x13),
       {0, 0, 0, 0x11, 0x12, 0x13}},
      {"modify start without finish", FeatureEntry(0x07, 0x11) + FeatureEntry(0x03, 0x12), {0, 0, 0, 0x11, 0, 0}},
      {"unlisted tags between", FeatureEntry(0x05, 0x99) + FeatureEntry(0x06, kDirect) + FeatureEntry(0x0A, 0x98) +
                                    FeatureEntry(0x12, 0x97) + FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish),
       {kDirect, kStart, kFinish, 0, 0, 0}},
      {"big-endian code", "06 04 00 31 35 28", {0x00313528, 0, 0, 0, 0, 0}},
      {"length byte not consulted", "06 02 01 02 03 04", {0x01020304, 0, 0, 0, 0, 0}},
      {"later entry replaces", FeatureEntry(0x06, 1) + FeatureEntry(0x06, 2), {2, 0, 0, 0, 0, 0}},
      {"incomplete tail ignored", FeatureEntry(0x06, kDirect) + "01 04 00 00", {kDirect, 0, 0, 0, 0, 0}},
      {"incomplete only", "06 04 00 31 35", {}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    ScriptedReader reader;
    reader.Features(c.reply);
    TestHost host(reader.handle());
    const ReaderFeatures f = QueryReaderFeatures(host.get());
    EXPECT_EQ(f.verifyPinDirect, c.expected.verifyPinDirect) << c.name;
    EXPECT_EQ(f.verifyPinStart, c.expected.verifyPinStart) << c.name;
    EXPECT_EQ(f.verifyPinFinish, c.expected.verifyPinFinish) << c.name;
    EXPECT_EQ(f.modifyPinDirect, c.expected.modifyPinDirect) << c.name;
    EXPECT_EQ(f.modifyPinStart, c.expected.modifyPinStart) << c.name;
    EXPECT_EQ(f.modifyPinFinish, c.expected.modifyPinFinish) << c.name;
    const bool canVerify = c.expected.verifyPinDirect != 0 || c.expected.verifyPinStart != 0;
    EXPECT_EQ(ReaderCanVerifyPin(host.get()), canVerify) << c.name;
    ASSERT_FALSE(reader.calls().empty());
    EXPECT_EQ(reader.calls()[0].code, platform::FeatureRequestControlCode());
  }
}

TEST(ReaderFeaturesTest, RefusedRequestOrNoRecordMeansNoFeatures) {
  ScriptedReader reader;
  reader.RefuseFeatures(SCARD_E_UNSUPPORTED_FEATURE);
  TestHost host(reader.handle());
  EXPECT_FALSE(ReaderCanVerifyPin(host.get()));
  EXPECT_EQ(QueryReaderFeatures(nullptr).verifyPinDirect, 0u);
  EXPECT_EQ(VerifyPinOnPad(nullptr, 3), SCARD_E_UNSUPPORTED_FEATURE);
}

TEST(PinVerifyBlockTest, ExactBytesForBothPins) {
  EXPECT_EQ(ToHex(PinVerifyBlock(0x03)), kUserBlock);
  EXPECT_EQ(ToHex(PinVerifyBlock(0x04)), "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 04 00 00 00 00 20 00 04");
}

class VerifyOnPadTest : public ::testing::Test {
 protected:
  ScriptedReader reader_;
  TestHost host_{reader_.handle()};
};

TEST_F(VerifyOnPadTest, DirectCodeWinsInOneCall) {
  reader_.Features(FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish) + FeatureEntry(0x06, kDirect));
  reader_.ExpectControl(kDirect, kUserBlock, "90 00");
  EXPECT_EQ(VerifyPinOnPad(host_.get(), 0x03), 0x9000u);
  EXPECT_TRUE(reader_.controlsDone());
  EXPECT_EQ(reader_.calls().size(), 2u) << "feature request and one verify";
}

TEST_F(VerifyOnPadTest, StartThenFinishGivesTheFinishStatus) {
  reader_.Features(FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish));
  reader_.ExpectControl(kStart, "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 04 00 00 00 00 20 00 04", "");
  reader_.ExpectControl(kFinish, "", "63 C2");
  EXPECT_EQ(VerifyPinOnPad(host_.get(), 0x04), 0x63C2u);
  EXPECT_TRUE(reader_.controlsDone());
}

TEST_F(VerifyOnPadTest, ReaderAnswersAndFaults) {
  struct Case {
    const char* name;
    const char* reply;  // of the direct call
    DWORD error;
    DWORD expected;
  };
  const Case cases[] = {
      {"time-out", "64 00", 0, 0x6400},
      {"cancelled", "64 01", 0, 0x6401},
      {"status after data", "01 02 90 00", 0, 0x9000},
      {"reader error", "", SCARD_E_TIMEOUT, SCARD_E_TIMEOUT},
      {"no status word", "90", 0, SCARD_F_INTERNAL_ERROR},
      {"empty reply", "", 0, SCARD_F_INTERNAL_ERROR},
  };
  for (const Case& c : cases) {
    ScriptedReader reader;
    TestHost host(reader.handle());
    reader.Features(FeatureEntry(0x06, kDirect)).ExpectControl(kDirect, kUserBlock, c.reply, c.error);
    EXPECT_EQ(VerifyPinOnPad(host.get(), 0x03), c.expected) << c.name;
  }
}

TEST_F(VerifyOnPadTest, ErrorOnStartSkipsFinish) {
  reader_.Features(FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish));
  reader_.ExpectControl(kStart, kUserBlock, "", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(VerifyPinOnPad(host_.get(), 0x03), SCARD_W_REMOVED_CARD);
  EXPECT_EQ(reader_.calls().size(), 2u);
}

TEST_F(VerifyOnPadTest, NoVerifyFeatureIsUnsupportedWithoutAsking) {
  reader_.Features(FeatureEntry(0x01, kStart) + FeatureEntry(0x07, 0x11));
  EXPECT_EQ(VerifyPinOnPad(host_.get(), 0x03), SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_EQ(reader_.calls().size(), 1u) << "only the feature request";
}

class NoticeTest : public VerifyOnPadTest {
 protected:
  void SetUp() override { ClearNoticeEvents(); }
  void TearDown() override { ClearNoticeEvents(); }
};

TEST_F(NoticeTest, ShownAroundTheVerificationAndClosedWhateverItsResult) {
  struct Case {
    const char* name;
    const char* reply;
    DWORD error;
    DWORD expected;
  };
  const Case cases[] = {
      {"success", "90 00", 0, 0x9000},
      {"wrong PIN", "63 C1", 0, 0x63C1},
      {"reader error", "", SCARD_E_NO_SMARTCARD, SCARD_E_NO_SMARTCARD},
  };
  HWND owner = reinterpret_cast<HWND>(0x4242);
  for (const Case& c : cases) {
    ClearNoticeEvents();
    ScriptedReader reader;
    TestHost host(reader.handle());
    reader.Features(FeatureEntry(0x06, kDirect)).ExpectControl(kDirect, kUserBlock, c.reply, c.error);
    EXPECT_EQ(VerifyPinOnPadWithNotice(host.get(), owner, 0x03, false), c.expected) << c.name;
    EXPECT_EQ(NoticeLifecycle(), "create show text destroy") << c.name;
    const std::vector<NoticeEvent> events = NoticeEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].owner, owner);
    EXPECT_NE(events[0].notice, nullptr);
    EXPECT_EQ(events[2].text, u"Bitte geben Sie eine PIN auf dem PinPad ein.");
    EXPECT_EQ(events[3].notice, events[0].notice);
  }
}

TEST_F(NoticeTest, SilentContextShowsNothingButVerifies) {
  reader_.Features(FeatureEntry(0x06, kDirect)).ExpectControl(kDirect, kUserBlock, "90 00");
  EXPECT_EQ(VerifyPinOnPadWithNotice(host_.get(), nullptr, 0x03, true), 0x9000u);
  EXPECT_EQ(NoticeLifecycle(), "");
  EXPECT_TRUE(reader_.controlsDone());
}

TEST_F(NoticeTest, VerificationRunsWhenTheNoticeCannotBeCreated) {
  FailNoticeCreation(true);
  reader_.Features(FeatureEntry(0x06, kDirect)).ExpectControl(kDirect, kUserBlock, "90 00");
  EXPECT_EQ(VerifyPinOnPadWithNotice(host_.get(), nullptr, 0x03, false), 0x9000u);
  EXPECT_EQ(NoticeLifecycle(), "create");
}

// PIN-pad mode is fixed at acquire from the setting and the reader together.
TEST(PinPadModeTest, SettingAndReaderDecideAtAcquire) {
  struct Case {
    const char* name;
    const char* setting;  // usePinPad, or null for none
    std::string features;
    bool expected;
    bool readerAsked;
  };
  const Case cases[] = {
      {"setting on, direct", "TRUE", FeatureEntry(0x06, kDirect), true, true},
      {"setting on, pair", "true", FeatureEntry(0x01, kStart) + FeatureEntry(0x02, kFinish), true, true},
      {"setting on, start only", "TRUE", FeatureEntry(0x01, kStart), false, true},
      {"setting on, modify only", "TRUE", FeatureEntry(0x07, 0x11), false, true},
      {"setting on, no features", "TRUE", "", false, true},
      {"setting off", "FALSE", FeatureEntry(0x06, kDirect), false, false},
      {"no setting", nullptr, FeatureEntry(0x06, kDirect), false, false},
  };
  for (const Case& c : cases) {
    RegistryScope registry;
    if (c.setting != nullptr) SetRegistryString(kSettingsKey, "usePinPad", c.setting);
    ScriptedReader reader;
    reader.Features(c.features);
    reader.ExpectAcquire().ExpectSelectApplication();
    TestHost host(reader.handle());
    ASSERT_EQ(host.Acquire(), 0u) << c.name;
    EXPECT_EQ(ContextOf(host.get())->pinPadInUse, c.expected) << c.name;
    EXPECT_EQ(!reader.calls().empty(), c.readerAsked) << c.name;
  }
}

}  // namespace
}  // namespace vela::test
