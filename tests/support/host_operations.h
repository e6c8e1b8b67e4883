// The host's operations, one row each, made through the function table as a
// provider makes them. The wire-cost, fault-injection and concurrency tests,
// the benchmarks and the fuzzers all run these rows: a new entry is one row.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "card_taps.h"
#include "core/minidriver_abi.h"

namespace vela::test {

// The secrets of an emulated card as personalised by default.
inline constexpr BYTE kUserPin[] = {'1', '2', '3', '4', '5', '6'};
inline constexpr BYTE kNewUserPin[] = {'6', '5', '4', '3', '2', '1'};
inline constexpr BYTE kUnblockCode[] = {'1', '2', '3', '4', '5', '6', '7', '8'};

// A valid P-256 point (the generator), as the peer of every agreement.
extern const BYTE kPeerPoint[64];
// The hash every signing row has signed.
extern const BYTE kSignHash[32];

// What a fresh context must hold before the operation runs.
enum class Needs {
  kNothing,
  kUserPin,    // the user PIN verified
  kAgreement,  // the user PIN verified and agreement slot 0 taken
};

struct HostOperation {
  const char* name;
  Needs needs;
  // Makes the call and gives back to the host heap whatever the module
  // handed out; returns the entry's code.
  DWORD (*run)(CARD_DATA* cardData);
  // Puts card and context back as they were before `run` (for repeated
  // runs); null when nothing needs undoing.
  void (*undo)(CARD_DATA* cardData);
};

// Every operation on an acquired context, CardDeleteContext excepted.
std::span<const HostOperation> HostOperations();
const HostOperation* FindHostOperation(std::string_view name);

// Brings an acquired context to what `needs` asks; 0 or the failing code.
DWORD Prepare(CARD_DATA* cardData, Needs needs);

// The user PIN verified through CardAuthenticateEx.
DWORD VerifyUserPin(CARD_DATA* cardData);
// An agreement with kPeerPoint on container `container`; its slot or 0xFF.
DWORD Agree(CARD_DATA* cardData, BYTE container, BYTE* slot);

// What reaches `card` when a host acquires a context on it (the context is
// deleted again, uncounted).
std::vector<Exchange> TraceAcquire(CardEndpoint* card, DWORD* result);
// What reaches `card` in one run of `op` on a freshly acquired and prepared
// context; acquiring, preparing, undoing and deleting are not counted.
std::vector<Exchange> TraceOperation(CardEndpoint* card, const HostOperation& op, DWORD* result);

}  // namespace vela::test
