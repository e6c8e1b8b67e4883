#include <gtest/gtest.h>

#include "pcsc_card.h"

namespace vela::pcsc_test {
namespace {

using AcquireOverPcsc = PcscCardTest;

// What the wire carries is the point of this tier: the card sees the profile
// build and nothing else, and a delete costs one SELECT.
TEST_F(AcquireOverPcsc, CardSeesTheProfileBuildThenOneSelectOnDelete) {
  trace_.Mark();
  Acquire();
  const std::vector<std::string> acquire = {
      "00A4080C022F02",      // serial number file
      "00B000020A",          // its ten serial bytes
      "00A4080C04DF0245B2",  // probe of container 6
      "00B0000002",
      "00A4080C04DF0145B2",  // probe of container 7
      "00B0000002",
  };
  EXPECT_EQ(trace_.CommandsSinceMark(acquire.size()), acquire);
  EXPECT_EQ(host()->dwVersion, CARD_DATA_VERSION_SEVEN);
  ASSERT_NE(host()->pfnCardDeleteContext, nullptr);

  trace_.Mark();
  ASSERT_EQ(host().Delete(), 0u);
  EXPECT_EQ(host()->pvVendorSpecific, nullptr);
  EXPECT_EQ(trace_.CommandsSinceMark(1), std::vector<std::string>{"00A4080C04DF0280FF"});
}

// Two hosts on one card through pcscd: each context is its own and deleting
// one leaves the other working.
TEST_F(AcquireOverPcsc, SecondContextOnTheSameCardIsIndependent) {
  Acquire();
  host::PcscConnection other;
  ASSERT_EQ(other.Establish(), 0u);
  ASSERT_EQ(other.Connect(ReaderName()), 0u);
  host::CardHost second(*module_, other.context(), other.card(), other.atr());
  ASSERT_EQ(second.Acquire(), 0u);
  EXPECT_NE(second->pvVendorSpecific, host()->pvVendorSpecific);
  ASSERT_EQ(second.Delete(), 0u);

  trace_.Mark();
  ASSERT_EQ(host().Delete(), 0u);
  EXPECT_EQ(trace_.CommandsSinceMark(1), std::vector<std::string>{"00A4080C04DF0280FF"});
}

}  // namespace
}  // namespace vela::pcsc_test
