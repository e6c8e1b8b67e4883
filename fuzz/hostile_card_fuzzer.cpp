// A hostile card: every answer to every command of the host's roads comes
// from the fuzzer.
#include "roads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vela::fuzz::ByteInput input({data, size});
  vela::fuzz::DriveHostileCardRoad(input);
  return 0;
}
