#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cache_file_road.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!vela::fuzz::DriveCacheFileRoad(data, size)) std::abort();
  return 0;
}
