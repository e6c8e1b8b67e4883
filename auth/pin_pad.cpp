#include "auth/pin_pad.h"

namespace vela {

// Not built yet: no reader is taken for a PIN pad.
bool ReaderCanVerifyPin(const CARD_DATA*) { return false; }

}  // namespace vela
