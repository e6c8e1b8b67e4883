#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "card/check_context.h"
#include "core/card_context.h"
#include "core/entry_points.h"
#include "fake_card.h"
#include "test_host.h"

namespace vela::test {
namespace {

class AcquireTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = HostHeap::Live(); }
  void TearDown() override {
    host_.Release();
    EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over";
    HostHeap::FailAllocations(0, 0);
  }
  ScriptedCard card_;
  TestHost host_{card_.handle()};
  std::size_t liveBefore_ = 0;
};

TEST_F(AcquireTest, ReadsSerialAndProbesBothOptionalContainers) {
  card_.ExpectAcquire(true, true, "0102030405060708090A").ExpectSelectApplication();
  ASSERT_EQ(host_.Acquire(), 0u);
  const CardContext* context = ContextOf(host_.get());
  ASSERT_NE(context, nullptr);
  const BYTE expectedStatus[16] = {3, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(context->profile.containerStatus, expectedStatus, 16));
  EXPECT_EQ(ToHex({context->profile.cardIdentifier, 16}), "00 00 00 00 00 00 01 02 03 04 05 06 07 08 09 0A");
  EXPECT_EQ(context->profile.profileMagic, 0x7315);
  EXPECT_EQ(context->profile.profileVersion, 1);
  EXPECT_EQ(context->profile.userPinRef, 0x03);
  EXPECT_EQ(context->profile.adminPinRef, 0x04);
  EXPECT_FALSE(context->userAuthenticated);
  EXPECT_EQ(context->cacheMode, 3);
}

TEST_F(AcquireTest, OptionalContainersFollowTheirProbes) {
  struct Case {
    const char* probe6;   // answer to the read of DF02/45B2, or null: select refused
    const char* probe7;   // answer to the read of DF01/45B2, or null: select refused
    BYTE status6, status7;
  };
  const Case cases[] = {
      {"00 00 90 00", "FF FF 90 00", 0, 0}, {"30 59 90 00", "00 FF 90 00", 1, 1},
      {nullptr, nullptr, 0, 0},             {"FF FF 90 00", "30 82 90 00", 0, 1},
      {"6A 82", "30 59 01 90 00", 0, 0},     // no data, then three data bytes
  };
  for (const Case& c : cases) {
    ScriptedCard card;
    card.Expect("00 A4 08 0C 02 2F 02", "9000").Expect("00 B0 00 02 0A", "00112233445566778899 9000");
    if (c.probe6 != nullptr) {
      card.Expect("00 A4 08 0C 04 DF 02 45 B2", "9000").Expect("00 B0 00 00 02", c.probe6);
    } else {
      card.Expect("00 A4 08 0C 04 DF 02 45 B2", "6A 82");
    }
    if (c.probe7 != nullptr) {
      card.Expect("00 A4 08 0C 04 DF 01 45 B2", "9000").Expect("00 B0 00 00 02", c.probe7);
    } else {
      card.Expect("00 A4 08 0C 04 DF 01 45 B2", "6A 82");
    }
    card.ExpectSelectApplication();
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    EXPECT_EQ(ContextOf(host.get())->profile.containerStatus[6], c.status6) << c.probe6;
    EXPECT_EQ(ContextOf(host.get())->profile.containerStatus[7], c.status7) << c.probe7;
  }
}

TEST_F(AcquireTest, ShortSerialIsPaddedWithZeros) {
  card_.Expect("00 A4 08 0C 02 2F 02", "9000").Expect("00 B0 00 02 0A", "0102030405060708 9000");
  card_.Expect("00 A4 08 0C 04 DF 02 45 B2", "6A82").Expect("00 A4 08 0C 04 DF 01 45 B2", "6A82");
  card_.ExpectSelectApplication();
  ASSERT_EQ(host_.Acquire(), 0u);
  EXPECT_EQ(ToHex({ContextOf(host_.get())->profile.cardIdentifier, 16}),
            "00 00 00 00 00 00 01 02 03 04 05 06 07 08 00 00");
}

TEST_F(AcquireTest, CardWithoutSerialFileIsRefusedAndReleased) {
  card_.Expect("00 A4 08 0C 02 2F 02", "6A 82");
  EXPECT_EQ(host_.Acquire(), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(host_->pvVendorSpecific, nullptr);
  EXPECT_EQ(host_->pfnCardDeleteContext, nullptr) << "table written on failure";
}

TEST_F(AcquireTest, RemovedCardDuringSerialReadIsRefused) {
  card_.Expect("00 A4 08 0C 02 2F 02", "9000").ExpectError("00 B0 00 02 0A", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(host_.Acquire(), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(host_->pvVendorSpecific, nullptr);
}

TEST_F(AcquireTest, NullRecordAndMissingAllocator) {
  EXPECT_EQ(CardAcquireContext(nullptr, 0), SCARD_E_INVALID_PARAMETER);
  host_->pfnCspAlloc = nullptr;
  const std::size_t before = HostHeap::allocations();
  EXPECT_EQ(host_.Acquire(), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(HostHeap::allocations(), before);
}

TEST_F(AcquireTest, AllocatorFailureIsNoMemory) {
  HostHeap::FailAllocations(0, 1);
  EXPECT_EQ(host_.Acquire(), SCARD_E_NO_MEMORY);
  EXPECT_EQ(host_->pvVendorSpecific, nullptr);
}

// Each row breaks one thing in an otherwise valid record; the checks run in
// this order, so a record broken twice reports the earlier fault.
TEST_F(AcquireTest, HostRecordChecksInOrder) {
  struct Case {
    const char* name;
    void (*breakIt)(CARD_DATA&, DWORD& flags);
    DWORD expected;
  };
  const Case cases[] = {
      {"flags", [](CARD_DATA&, DWORD& f) { f = 1; }, SCARD_E_INVALID_PARAMETER},
      {"realloc", [](CARD_DATA& d, DWORD&) { d.pfnCspReAlloc = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"free", [](CARD_DATA& d, DWORD&) { d.pfnCspFree = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"atr null", [](CARD_DATA& d, DWORD&) { d.pbAtr = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"atr 0", [](CARD_DATA& d, DWORD&) { d.cbAtr = 0; }, SCARD_E_INVALID_PARAMETER},
      {"atr 33", [](CARD_DATA& d, DWORD&) { d.cbAtr = 33; }, SCARD_E_INVALID_PARAMETER},
      {"name", [](CARD_DATA& d, DWORD&) { d.pwszCardName = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"context", [](CARD_DATA& d, DWORD&) { d.hSCardCtx = 0; }, SCARD_E_INVALID_HANDLE},
      {"card", [](CARD_DATA& d, DWORD&) { d.hScard = 0; }, SCARD_E_INVALID_HANDLE},
      {"card and version", [](CARD_DATA& d, DWORD&) { d.hScard = 0; d.dwVersion = 5; }, SCARD_E_INVALID_HANDLE},
      {"version 5", [](CARD_DATA& d, DWORD&) { d.dwVersion = 5; }, ERROR_REVISION_MISMATCH},
      {"flags and version", [](CARD_DATA& d, DWORD& f) { f = 2; d.dwVersion = 5; }, SCARD_E_INVALID_PARAMETER},
      {"atr", [](CARD_DATA& d, DWORD&) { d.pbAtr[d.cbAtr - 2] = 0x01; }, SCARD_E_UNKNOWN_CARD},
  };
  for (const Case& c : cases) {
    ScriptedCard card;  // nothing may reach the card
    TestHost host(card.handle());
    DWORD flags = 0;
    c.breakIt(host.data, flags);
    const std::size_t live = HostHeap::Live();
    EXPECT_EQ(CardAcquireContext(host.get(), flags), c.expected) << c.name;
    EXPECT_EQ(host->pvVendorSpecific, nullptr) << c.name;
    EXPECT_EQ(host->pfnCardDeleteContext, nullptr) << c.name;
    // Without a free callback the record cannot go back; otherwise it must.
    if (host->pfnCspFree != nullptr) {
      EXPECT_EQ(HostHeap::Live(), live) << c.name;
    } else {
      // The record had no way back; return it so the heap stays balanced.
      HostHeap::Free(HostHeap::LastBlock());
    }
    EXPECT_TRUE(card.received().empty()) << c.name;
  }
}

TEST(CheckAtrTest, StatusBytesLastOrFollowedByOneByte) {
  struct Case {
    const char* atr;
    bool accepted;
  };
  const Case cases[] = {
      {"3B 02 14 90 00", true},       {"3B 02 14 90 00 7B", true},  {"3B 02 14 90 00 00", true},
      {"3B 02 14 12 00 00", false},   {"3B 02 14 90 01", false},    {"3B 02 90 00 7B 7C", false},
      {"3B 90 00", false},            {"3B 8A 01 80 56 45 4C 41 47 33 00 90 00 F1", true},
      {"90 00 00 00", false},         {"3B 90 00 00", true},
  };
  for (const Case& c : cases) {
    ScriptedCard card;
    card.AllowLeftovers();
    if (c.accepted) card.ExpectAcquire().ExpectSelectApplication();
    TestHost host(card.handle());
    host.atr = Hex(c.atr);
    host->cbAtr = static_cast<DWORD>(host.atr.size());
    EXPECT_EQ(host.Acquire(), c.accepted ? 0u : SCARD_E_UNKNOWN_CARD) << c.atr;
  }
}

TEST_F(AcquireTest, FunctionTableFollowsHostVersion) {
  for (DWORD version : {6u, 7u, 9u}) {
    ScriptedCard card;
    card.ExpectAcquire().ExpectSelectApplication();  // the select of the final delete
    TestHost host(card.handle(), version);
    ASSERT_EQ(host.Acquire(), 0u);
    EXPECT_EQ(host->dwVersion, std::min<DWORD>(version, 7));
    EXPECT_NE(host->pfnCardDeleteContext, nullptr);
    EXPECT_NE(host->pfnCardReadFile, nullptr);
    EXPECT_NE(host->pfnCardDeriveKey, nullptr);
    EXPECT_NE(host->pfnCardAuthenticateEx, nullptr);
    EXPECT_NE(host->pfnCardSetProperty, nullptr);
    EXPECT_EQ(host->pfnCardRSADecrypt, nullptr);
    EXPECT_EQ(host->pvUnused3, nullptr);
    EXPECT_EQ(host->pvUnused4, nullptr);
    EXPECT_EQ(host->pfnCspUnpadData, nullptr) << "the host's member is left alone";
    EXPECT_EQ(host->pfnCspGetDHAgreement, nullptr);
    const bool seven = version >= 7;
    EXPECT_EQ(host->pfnMDImportSessionKey != nullptr, seven) << version;
    EXPECT_EQ(host->pfnCardCreateContainerEx != nullptr, seven) << version;
    EXPECT_EQ(host->pfnCardProcessEncryptedData != nullptr, seven) << version;
  }
}

TEST_F(AcquireTest, DeleteReleasesOnceThenRefuses) {
  card_.ExpectAcquire().ExpectSelectApplication();
  ASSERT_EQ(host_.Acquire(), 0u);
  PFN_CARD_DELETE_CONTEXT del = host_->pfnCardDeleteContext;
  EXPECT_EQ(del(host_.get()), 0u);
  EXPECT_EQ(host_->pvVendorSpecific, nullptr);
  EXPECT_EQ(del(host_.get()), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(del(nullptr), SCARD_E_INVALID_PARAMETER);
}

TEST_F(AcquireTest, CheckContextRefusesRecordsWithoutValidProfile) {
  card_.ExpectAcquire();
  ASSERT_EQ(host_.Acquire(), 0u);
  CardContext* context = ContextOf(host_.get());
  context->profile.profileVersion = 0;
  EXPECT_EQ(CheckContext(host_.get()), SCARD_E_INVALID_PARAMETER);
  context->profile.profileVersion = 1;
  context->profile.profileMagic = 0x7316;
  EXPECT_EQ(CheckContext(host_.get()), SCARD_E_INVALID_PARAMETER);
  context->profile.profileMagic = 0x7315;
  card_.ExpectSelectApplication("6A 82");  // the select's outcome is not reported
  EXPECT_EQ(CheckContext(host_.get()), 0u);
  card_.ExpectSelectApplication();  // the delete's
}

TEST(UnsupportedEntriesTest, RefuseEvenWithoutRecord) {
  const DWORD expected = SCARD_E_UNSUPPORTED_FEATURE;
  EXPECT_EQ(CardDeleteContainer(nullptr, 0, 0), expected);
  EXPECT_EQ(CardCreateContainer(nullptr, 0, 0, 0, 0, nullptr), expected);
  EXPECT_EQ(CardCreateContainerEx(nullptr, 0, 0, 0, 0, nullptr, 0), expected);
  EXPECT_EQ(CardGetChallenge(nullptr, nullptr, nullptr), expected);
  EXPECT_EQ(CardGetChallengeEx(nullptr, 0, nullptr, nullptr, 0), expected);
  EXPECT_EQ(CardAuthenticateChallenge(nullptr, nullptr, 0, nullptr), expected);
  EXPECT_EQ(CardCreateDirectory(nullptr, nullptr, InvalidDirAc), expected);
  EXPECT_EQ(CardDeleteDirectory(nullptr, nullptr), expected);
  EXPECT_EQ(CardCreateFile(nullptr, nullptr, nullptr, 0, InvalidAc), expected);
  EXPECT_EQ(CardWriteFile(nullptr, nullptr, nullptr, 0, nullptr, 0), expected);
  EXPECT_EQ(CardDeleteFile(nullptr, nullptr, nullptr, 0), expected);
  EXPECT_EQ(CardSetContainerProperty(nullptr, 0, nullptr, nullptr, 0, 0), expected);
  EXPECT_EQ(MDImportSessionKey(nullptr, nullptr, nullptr, nullptr, nullptr, 0), expected);
  EXPECT_EQ(MDEncryptData(nullptr, 0, nullptr, nullptr, 0, 0, nullptr, nullptr), expected);
  EXPECT_EQ(CardImportSessionKey(nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, 0), expected);
  EXPECT_EQ(CardGetSharedKeyHandle(nullptr, nullptr, 0, nullptr, nullptr, nullptr), expected);
  EXPECT_EQ(CardGetAlgorithmProperty(nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0), expected);
  EXPECT_EQ(CardGetKeyProperty(nullptr, 0, nullptr, nullptr, 0, nullptr, 0), expected);
  EXPECT_EQ(CardSetKeyProperty(nullptr, 0, nullptr, nullptr, 0, 0), expected);
  EXPECT_EQ(CardDestroyKey(nullptr, 0), expected);
  EXPECT_EQ(CardProcessEncryptedData(nullptr, 0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0), expected);
}

}  // namespace
}  // namespace vela::test
