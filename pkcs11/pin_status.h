// What the card says of its user PIN when asked with a VERIFY without data:
// verified, or the tries left. The question costs no try and any program
// may ask it. The minidriver has no such question (its verification takes a
// PIN, and none of its properties holds the counter), so the module asks
// the card itself here, as it does for the cache's proofs.
#pragma once

#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

struct PinStatus {
  bool answered = false;  // the card gave one of the answers below
  bool verified = false;  // 90 00: verified (a verification that succeeded also filled the counter)
  int tries = 0;          // 63 Cx: x tries left; 69 83: blocked, 0
};

// Inside a transaction the caller holds.
PinStatus ReadUserPinStatus(CardLink& link);

// Whether the user PIN is verified on the card, asked in a transaction of
// its own; a reset by another program is taken up first. For the end of a
// connection, whose token goes.
bool UserPinVerified(CardLink& link);

}  // namespace vela::pkcs11
