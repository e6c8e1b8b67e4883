// Every allocation of the module's own heap, one at a time, fails inside
// acquire and inside each host operation, with the log off and on: the entry
// answers an error code (or succeeds where the block was not needed, as a
// lost log line), the context still works, and neither the module's heap
// nor the host's keeps a block. In the DLL such a failure once threw, and a
// throw in a thread without memory ends the host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/log.h"
#include "emulated_card.h"
#include "fake_memory.h"
#include "fake_registry.h"
#include "full_log.h"
#include "host_operations.h"
#include "platform/system.h"
#include "test_host.h"

namespace vela::test {
namespace {

// The codes of a missing buffer, and the operations whose answer to any
// failure is fixed otherwise: a certificate that could not be read is not
// there, and an unblock that failed reports the unblocking code as wrong.
bool Answered(std::string_view operation, DWORD rc) {
  if (rc == 0 || rc == SCARD_E_NO_MEMORY || rc == SCARD_F_INTERNAL_ERROR) return true;
  if (operation.starts_with("CardReadFile mscp/k")) return rc == SCARD_E_FILE_NOT_FOUND;
  return operation == "CardUnblockPin" && rc == SCARD_W_WRONG_CHV;
}

class AllocationFailure : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) log_.emplace();
    hostBefore_ = HostHeap::Live();
    moduleBefore_ = ModuleHeapLive();
  }
  void TearDown() override {
    EXPECT_EQ(HostHeap::Live(), hostBefore_) << "host blocks left over";
    EXPECT_EQ(ModuleHeapLive(), moduleBefore_) << "module heap blocks left over";
    log_.reset();
  }

  RegistryScope registry_;
  std::optional<FullLog> log_;
  std::size_t hostBefore_ = 0;
  std::size_t moduleBefore_ = 0;
};

TEST_P(AllocationFailure, AcquireAnswersEachFailedAllocation) {
  std::size_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    EmulatedCard card;
    TestHost host(card.handle());
    DWORD rc = 0;
    bool fired = false;
    {
      ModuleHeapFailure failure(n);
      rc = host.Acquire();
      fired = failure.fired();
    }
    if (!fired) {
      EXPECT_EQ(rc, 0u);
      break;
    }
    EXPECT_TRUE(Answered("CardAcquireContext", rc)) << std::hex << rc;
    if (rc != 0) {
      EXPECT_EQ(host->pvVendorSpecific, nullptr);
      continue;
    }
    EXPECT_EQ(FindHostOperation("CardReadFile cardid")->run(host.get()), 0u);
  }
  EXPECT_GT(n, 1u) << "acquire allocated nothing of the module's heap";
}

// With every allocation of the thread failing, as a low-resource simulation
// has it, each operation answers at once and the next call works again.
TEST_P(AllocationFailure, EveryOperationAnswersEachFailedAllocation) {
  const HostOperation* probe = FindHostOperation("CardReadFile cardid");
  ASSERT_NE(probe, nullptr);
  std::size_t failedSomewhere = 0;
  for (const HostOperation& op : HostOperations()) {
    for (std::size_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(op.name) + ", allocation " + std::to_string(n));
      EmulatedCard card;
      TestHost host(card.handle());
      ASSERT_EQ(host.Acquire(), 0u);
      ASSERT_EQ(Prepare(host.get(), op.needs), 0u);
      DWORD rc = 0;
      bool fired = false;
      {
        ModuleHeapFailure failure(n);
        rc = op.run(host.get());
        fired = failure.fired();
      }
      EXPECT_TRUE(Answered(op.name, rc)) << std::hex << rc;
      if (op.undo != nullptr && rc == 0) op.undo(host.get());
      EXPECT_EQ(probe->run(host.get()), 0u) << "context unusable after the failure";
      EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
      if (!fired) break;
      ++failedSomewhere;
    }
    SCOPED_TRACE(op.name);
    EmulatedCard card;
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    ASSERT_EQ(Prepare(host.get(), op.needs), 0u);
    {
      ModuleHeapFailure all(1, true);
      const DWORD rc = op.run(host.get());
      EXPECT_TRUE(Answered(op.name, rc)) << std::hex << rc;
    }
    EXPECT_EQ(probe->run(host.get()), 0u) << "context unusable after a thread without memory";
    EXPECT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
  }
  EXPECT_GT(failedSomewhere, 0u);
}

INSTANTIATE_TEST_SUITE_P(LogOffAndOn, AllocationFailure, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "LogOn" : "LogOff"; });

}  // namespace
}  // namespace vela::test
