#include <cstddef>
#include <cstdint>

#include "reg_file_road.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vela::fuzz::DriveRegFileRoad(data, size);
  return 0;
}
