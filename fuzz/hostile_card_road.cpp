#include <cstdlib>

#include "host_operations.h"
#include "roads.h"
#include "test_host.h"

namespace vela::fuzz {

void CheckHostHeap() {
  if (test::HostHeap::Live() != 0) std::abort();
}

void DriveHostileCardRoad(RoadInput& input) {
  {
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
