// PIN-pad readers (PC/SC part 10).
#pragma once

#include "frontend/minidriver_abi.h"

namespace vela {

// Whether the reader behind the card handle can verify a PIN on its keypad.
bool ReaderCanVerifyPin(const CARD_DATA* cardData);

}  // namespace vela
