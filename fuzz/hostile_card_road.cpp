#include <cstdlib>

#include "fake_registry.h"
#include "host_operations.h"
#include "roads.h"
#include "test_host.h"

namespace vela::fuzz {

void CheckHostHeap() {
  if (test::HostHeap::Live() != 0) std::abort();
}

void DriveHostileCardRoad(RoadInput& input) {
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
  CheckHostHeap();
}

}  // namespace vela::fuzz
