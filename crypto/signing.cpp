// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardSignData(PCARD_DATA, CARD_SIGNING_INFO*) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
