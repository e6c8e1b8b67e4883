#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"

namespace vela::test {

// What the unit tests' platform answers, and what it was asked.
extern platform::LocalTime fixedTime;
extern std::uint32_t fixedProcessId;
extern std::vector<std::string> createdDirectories;
// RandomBytes fails while set.
extern bool randomFails;
// Bytes RandomBytes hands out first, before real random ones.
extern std::vector<std::uint8_t> scriptedRandom;

}  // namespace vela::test
