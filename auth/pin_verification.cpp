// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardAuthenticatePin(PCARD_DATA, LPWSTR, PBYTE, DWORD, PDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardAuthenticateEx(PCARD_DATA, PIN_ID, DWORD, PBYTE, DWORD, PBYTE*, PDWORD, PDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardDeauthenticate(PCARD_DATA, LPWSTR, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardDeauthenticateEx(PCARD_DATA, PIN_SET, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
