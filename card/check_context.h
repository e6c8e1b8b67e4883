// The gate every working entry passes first.
#pragma once

#include "core/card_context.h"

namespace vela {

// Validates the record and reselects the card application. Returns 0 or
// SCARD_E_INVALID_PARAMETER, whatever was wrong.
DWORD CheckContext(const CARD_DATA* cardData);

// Called first by nearly every entry; it has no effect.
void TraceHook(const CARD_DATA* cardData);

}  // namespace vela
