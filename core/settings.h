// The settings read from the registry at every acquire, into the new record
// and into the diagnostic log's process-wide state.
#pragma once

#include "core/card_context.h"

namespace vela {

// Fills the setting fields of a new record and the process-wide log state.
// Never fails: anything missing or malformed leaves the default.
void ReadSettings(CardContext* context);

}  // namespace vela
