// The host's roads that the fuzz targets drive. Each ends with the context
// deleted and traps when a host block is left over.
#pragma once

#include "road_input.h"

namespace vela::fuzz {

// Acquire on a card whose every answer comes from `input`, then the host's
// operations in the order `input` chooses.
void DriveHostileCardRoad(RoadInput& input);

// A valid context on `card` (user PIN verified, one agreement made), then
// entries called with host records built from `input`.
void DriveHostRecordsRoad(RoadInput& input, test::CardEndpoint& card, std::uintptr_t cardHandle);

// The PKCS#11 module over an emulated card, called as applications call it,
// with every template, mechanism parameter, PIN and buffer length from `input`.
void DrivePkcs11Road(RoadInput& input);

// A road that went wrong: a failure of the running test when the unit tier
// replays a corpus, else (under a fuzzer) a trap.
void RoadFails(const char* what);

// Fails the road unless every host block taken since `liveBefore` (the host
// heap's count when the road began) was given back.
void CheckHostHeap(std::size_t liveBefore);

}  // namespace vela::fuzz
