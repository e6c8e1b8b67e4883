// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardConstructDHAgreement(PCARD_DATA, CARD_DH_AGREEMENT_INFO*) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardDestroyDHAgreement(PCARD_DATA, BYTE, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
