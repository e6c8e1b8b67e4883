// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardDeriveKey(PCARD_DATA, CARD_DERIVE_KEY*) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
