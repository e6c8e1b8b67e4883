// Builds the card profile at acquire: the fixed table of key containers, the
// serial number read from the card, the optional containers probed.
#pragma once

#include "card/profile_table.h"
#include "core/card_context.h"

namespace vela {

// Reads the serial number, probes the optional containers and fills `profile`.
// Returns 0, SCARD_F_INTERNAL_ERROR when the serial number cannot be read, or
// SCARD_E_INVALID_PARAMETER without a profile.
DWORD LoadCardProfile(const CARD_DATA* cardData, CardProfile* profile);

}  // namespace vela
