// For every host operation and every exchange it makes, that exchange fails
// (card removed, card reset, answer cut short): the entry returns, the
// context can still be used and deleted, and every host block comes back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_taps.h"
#include "emulated_card.h"
#include "host_operations.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr char kSelectApplication[] = "00 A4 08 0C 04 DF 02 80 FF";

bool IsTransportFault(Fault fault) { return fault == Fault::kRemovedCard || fault == Fault::kResetCard; }

// Operations whose every command but the context check's select decides the
// result. The certificate listing is not one: it skips what it cannot select.
bool EveryCommandMatters(const std::string& name) { return name != "CardEnumFiles mscp"; }

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = HostHeap::Live(); }
  void TearDown() override { EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over"; }
  std::size_t liveBefore_ = 0;
};

TEST_F(FaultInjection, AcquireReleasesWhatItTookOnEveryFault) {
  EmulatedCard counting;
  DWORD result = 1;
  const std::size_t exchanges = TraceAcquire(&counting, &result).size();
  ASSERT_EQ(result, 0u);
  for (std::size_t n = 1; n <= exchanges; ++n) {
    for (Fault fault : kAllFaults) {
      SCOPED_TRACE(std::to_string(n) + ": " + FaultName(fault));
      EmulatedCard card;
      FaultyCard faulty(&card);
      TestHost host(faulty.handle());
      faulty.Arm(n, fault);
      const DWORD rc = host.Acquire();
      EXPECT_TRUE(faulty.fired());
      if (rc != 0) {
        EXPECT_EQ(host->pvVendorSpecific, nullptr);
        EXPECT_EQ(host->pfnCardDeleteContext, nullptr) << "a failed acquire wrote the table";
      } else {
        EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
      }
      // Only the serial number is essential; a failed probe leaves a container out.
      if (n <= 2 && IsTransportFault(fault)) {
        EXPECT_EQ(rc, SCARD_F_INTERNAL_ERROR);
      }
    }
  }
}

TEST_F(FaultInjection, DeleteContextReleasesEvenWhenTheCardIsGone) {
  for (Fault fault : kAllFaults) {
    SCOPED_TRACE(FaultName(fault));
    EmulatedCard card;
    FaultyCard faulty(&card);
    TestHost host(faulty.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    faulty.Arm(1, fault);
    EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
    EXPECT_EQ(host->pvVendorSpecific, nullptr);
  }
}

TEST_F(FaultInjection, EveryOperationSurvivesEveryFailedExchange) {
  const HostOperation* probe = FindHostOperation("CardReadFile cardid");
  ASSERT_NE(probe, nullptr);
  for (const HostOperation& op : HostOperations()) {
    EmulatedCard counting;
    DWORD result = 1;
    const std::vector<Exchange> trace = TraceOperation(&counting, op, &result);
    ASSERT_EQ(result, 0u) << op.name;
    for (std::size_t n = 1; n <= trace.size(); ++n) {
      const bool contextCheck = ToHex(trace[n - 1].command) == ToHex(Hex(kSelectApplication));
      for (Fault fault : kAllFaults) {
        SCOPED_TRACE(std::string(op.name) + ", exchange " + std::to_string(n) + ": " + FaultName(fault));
        EmulatedCard card;
        FaultyCard faulty(&card);
        TestHost host(faulty.handle());
        ASSERT_EQ(host.Acquire(), 0u);
        ASSERT_EQ(Prepare(host.get(), op.needs), 0u);
        faulty.Arm(n, fault);
        const DWORD rc = op.run(host.get());
        EXPECT_TRUE(faulty.fired());
        faulty.Disarm();
        if (IsTransportFault(fault) && !contextCheck && EveryCommandMatters(op.name)) {
          EXPECT_NE(rc, 0u) << "a lost card reported as success";
        }
        EXPECT_EQ(probe->run(host.get()), 0u) << "context unusable after the fault";
        EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
      }
    }
  }
}

}  // namespace
}  // namespace vela::test
