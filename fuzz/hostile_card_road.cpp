#include <gtest/gtest.h>

#include <cstdlib>

#include "fake_registry.h"
#include "host_operations.h"
#include "roads.h"
#include "test_host.h"

namespace vela::fuzz {

void RoadFails(const char* what) {
  if (::testing::UnitTest::GetInstance()->current_test_info() == nullptr) std::abort();
  ADD_FAILURE() << what;
}

void CheckHostHeap(std::size_t liveBefore) {
  if (test::HostHeap::Live() != liveBefore) RoadFails("host blocks left over");
}

void DriveHostileCardRoad(RoadInput& input) {
  const std::size_t liveBefore = test::HostHeap::Live();
  {
    // One road in four has PIN-pad mode asked for: the reader's feature list
    // and its verification replies come from the input too.
    test::RegistryScope registry;
    if (input.Choose(4) == 0) test::SetRegistryString(test::kSettingsKey, "usePinPad", "TRUE");
    HostileCard card(&input);
    test::TestHost host(card.handle());
    if (host.Acquire() == 0) {
      const auto operations = test::HostOperations();
      // Bounded, so one input cannot run for long.
      for (int i = 0; i < 40 && !input.exhausted(); ++i) operations[input.Choose(operations.size())].run(host.get());
    }
  }
  CheckHostHeap(liveBefore);
}

}  // namespace vela::fuzz
