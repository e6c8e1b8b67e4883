// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardUnblockPin(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardChangeAuthenticator(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD, PDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardChangeAuthenticatorEx(PCARD_DATA, DWORD, PIN_ID, PBYTE, DWORD, PIN_ID, PBYTE, DWORD, DWORD, PDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
