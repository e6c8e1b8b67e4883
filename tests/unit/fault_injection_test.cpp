// For every host operation and every exchange it makes, that exchange fails
// (card removed, card reset, answer cut short): the entry returns what the
// rules below say a host may see, the context can still be used and deleted,
// and every host block comes back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_taps.h"
#include "core/card_context.h"
#include "emulated_card.h"
#include "host_operations.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr char kSelectApplication[] = "00 A4 08 0C 04 DF 02 80 FF";
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsManageSecurityEnvironment = 0x22;
constexpr std::uint8_t kInsPerformSecurityOperation = 0x2A;

// The command never reached the card.
bool IsTransportFault(Fault fault) { return fault == Fault::kRemovedCard || fault == Fault::kResetCard; }

enum class HostSees { kSuccess, kFailure, kSuccessOrFailure };

const char* Describe(HostSees sees) {
  switch (sees) {
    case HostSees::kSuccess: return "success";
    case HostSees::kFailure: return "a failure";
    default: return "success or a failure";
  }
}

// What a host may see when the exchange carrying `command` in `operation`
// breaks as `fault` says. The rule: an answer the command needed, lost or cut
// short, is never reported as success; an answer the command does not look
// at, or one that lost nothing it had, changes nothing.
HostSees Rule(const std::string& operation, const std::vector<std::uint8_t>& command, Fault fault) {
  // The context check's select is sent but its answer is not looked at. If
  // it never reached the card, the card stays where the last call left it
  // and the entry's own commands decide.
  if (ToHex(command) == ToHex(Hex(kSelectApplication))) {
    return IsTransportFault(fault) ? HostSees::kSuccessOrFailure : HostSees::kSuccess;
  }
  // The certificate listing leaves out a file it cannot select.
  if (operation == "CardEnumFiles mscp") return HostSees::kSuccess;
  // MANAGE SECURITY ENVIRONMENT's answer is not examined (the operation
  // after it reports a refusal); only a lost card fails it.
  if (command[1] == kInsManageSecurityEnvironment) {
    return IsTransportFault(fault) ? HostSees::kFailure : HostSees::kSuccess;
  }
  if (fault == Fault::kStatusOnly) {
    // A chunk without data is where a file ends: the first one leaves no
    // file, a later one a file of the whole chunks before it.
    if (command[1] == kInsReadBinary) {
      return command[2] == 0 && command[3] == 0 ? HostSees::kFailure : HostSees::kSuccess;
    }
    // The signature or the agreed secret is the answer's data.
    if (command[1] == kInsPerformSecurityOperation) return HostSees::kFailure;
    // SELECT, VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER: their
    // answers carry no data, so nothing was lost.
    return HostSees::kSuccess;
  }
  return HostSees::kFailure;
}

bool Allowed(HostSees sees, DWORD rc) {
  return sees == HostSees::kSuccessOrFailure || (rc == 0) == (sees == HostSees::kSuccess);
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = HostHeap::Live(); }
  void TearDown() override { EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over"; }
  std::size_t liveBefore_ = 0;
};

// At acquire only the serial number is essential: a broken select or read of
// it fails the acquire, except a read cut to its status word, which is a
// card that gave fewer serial bytes (the rest is zeros). A probe of an
// optional container that breaks leaves that container out, and nothing
// else; a select that lost nothing (its answer has no data) keeps it.
TEST_F(FaultInjection, AcquireReleasesWhatItTookOnEveryFault) {
  EmulatedCard counting;
  DWORD result = 1;
  const std::vector<Exchange> trace = TraceAcquire(&counting, &result);
  ASSERT_EQ(result, 0u);
  ASSERT_EQ(trace.size(), 6u) << "serial select and read, then select and read of two probes";
  for (std::size_t n = 1; n <= trace.size(); ++n) {
    const bool serial = n <= 2;
    const bool select = trace[n - 1].command[1] == 0xA4;
    for (Fault fault : kAllFaults) {
      SCOPED_TRACE(std::to_string(n) + " " + ToHex(trace[n - 1].command) + ": " + FaultName(fault));
      EmulatedCard card;
      FaultyCard faulty(&card);
      TestHost host(faulty.handle());
      faulty.Arm(n, fault);
      const DWORD rc = host.Acquire();
      EXPECT_TRUE(faulty.fired());
      const bool lostNothing = fault == Fault::kStatusOnly && (select || serial);
      if (serial && !lostNothing) {
        EXPECT_EQ(rc, SCARD_F_INTERNAL_ERROR);
        EXPECT_EQ(host->pvVendorSpecific, nullptr);
        EXPECT_EQ(host->pfnCardDeleteContext, nullptr) << "a failed acquire wrote the table";
        continue;
      }
      ASSERT_EQ(rc, 0u);
      // The trace probes container 6, then container 7.
      const std::size_t probed = n <= 4 ? 6 : 7;
      const CardProfile& profile = ContextOf(host.get())->profile;
      for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(profile.present(i), i != probed || serial || lostNothing) << "container " << i;
      }
      if (serial && !select) {
        EXPECT_EQ(ToHex({profile.serialNumber(), kSerialNumberLength}), ToHex(std::vector<BYTE>(10, 0)));
      }
      EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
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
      for (Fault fault : kAllFaults) {
        SCOPED_TRACE(std::string(op.name) + ", exchange " + std::to_string(n) + " (" +
                     ToHex(trace[n - 1].command).substr(0, 14) + "): " + FaultName(fault));
        EmulatedCard card;
        FaultyCard faulty(&card);
        TestHost host(faulty.handle());
        ASSERT_EQ(host.Acquire(), 0u);
        ASSERT_EQ(Prepare(host.get(), op.needs), 0u);
        faulty.Arm(n, fault);
        const DWORD rc = op.run(host.get());
        EXPECT_TRUE(faulty.fired());
        faulty.Disarm();
        const HostSees sees = Rule(op.name, trace[n - 1].command, fault);
        EXPECT_TRUE(Allowed(sees, rc)) << "returned " << std::hex << rc << ", may show " << Describe(sees);
        EXPECT_EQ(probe->run(host.get()), 0u) << "context unusable after the fault";
        EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
      }
    }
  }
}

}  // namespace
}  // namespace vela::test
